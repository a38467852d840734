// Every SystemClass operation against corvalith-sim over TCP, the module's
// error replies, the module queries and the UEI-bytes transfers as they
// arrive at the module.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/aVersion.h"
#include "cpp/Module.h"
#include "cpp/SystemClass.h"
#include "cpp_test_support.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

using namespace Tessaron::Corvalith;

namespace {

constexpr uint32_t kSerial = 0x5A000001;

// The system-class packets the module received, without heartbeat answers.
std::vector<std::string> sSystemRx(const std::string& record) {
  std::vector<std::string> out;
  for (const std::string& line : RecordedRx(record, kSerial)) {
    if (line.size() > 8 && line.compare(6, 2, "03") == 0) out.push_back(line);
  }
  return out;
}

class SystemClassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record = tmp.write("record", "");
    // Heartbeats every 100 ms interleave with every exchange below.
    ASSERT_TRUE(sim.start({"--module",
                           "serial=5A000001,tcp=0,model=23,address=4,version=2.15.7,build=4242,"
                           "name=Bench hub,heartbeat-ms=100,reboot-ms=200",
                           "--record", record, "--lifetime", "120"}));
    ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(TcpSpec(kSerial, sim.tcpPort("5A000001"))), aErrNone);
    system.init(&module, 0);
  }
  void TearDown() override {
    (void)module.disconnect();
    sim.stop();
  }

  SimProcess sim;
  TempDir tmp;
  std::string record;
  Module module{2, 0};
  SystemClass system;
};

TEST_F(SystemClassTest, ConnectingLearnsTheModuleAddress) {
  EXPECT_EQ(module.getModuleAddress(), 4);
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getStatus(), kLinkStatusRunning);
}

TEST_F(SystemClassTest, ReadsIdentityAndMeasurements) {
  uint8_t b = 0;
  uint32_t u = 0;
  int32_t s = 0;
  EXPECT_EQ(system.getModule(&b), aErrNone);
  EXPECT_EQ(b, 4);
  EXPECT_EQ(system.getModel(&b), aErrNone);
  EXPECT_EQ(b, 23);
  EXPECT_EQ(system.getSerialNumber(&u), aErrNone);
  EXPECT_EQ(u, kSerial);
  EXPECT_EQ(system.getVersion(&u), aErrNone);
  EXPECT_EQ(u, aVersion_Pack(2, 15, 7));
  EXPECT_EQ(system.getBuild(&u), aErrNone);
  EXPECT_EQ(u, 4242u);
  EXPECT_EQ(system.getModuleBaseAddress(&b), aErrNone);
  EXPECT_EQ(b, 4);
  EXPECT_EQ(system.getModuleHardwareOffset(&b), aErrNone);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(system.getRouterAddressSetting(&b), aErrNone);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(system.getInputVoltage(&u), aErrNone);
  EXPECT_EQ(u, 5000000u);
  EXPECT_EQ(system.getInputCurrent(&u), aErrNone);
  EXPECT_EQ(u, 250000u);
  EXPECT_EQ(system.getMaximumTemperature(&s), aErrNone);
  EXPECT_EQ(s, 45000000);
  EXPECT_EQ(system.getMinimumTemperature(&s), aErrNone);
  EXPECT_EQ(s, 20000000);
  EXPECT_EQ(system.getTemperature(&s), aErrNone);
  EXPECT_EQ(s, 35000000);
  EXPECT_EQ(system.getUnregulatedVoltage(&s), aErrNone);
  EXPECT_EQ(s, 12000000);
  EXPECT_EQ(system.getUnregulatedCurrent(&s), aErrNone);
  EXPECT_EQ(s, 100000);
  EXPECT_EQ(system.getInputPowerSource(&b), aErrNone);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(system.getPowerLimit(&u), aErrNone);
  EXPECT_EQ(u, 10000000u);
  EXPECT_EQ(system.getPowerLimitState(&u), aErrNone);
  EXPECT_EQ(u, 0u);
  EXPECT_EQ(system.getHardwareVersion(&u), aErrNone);
  EXPECT_EQ(u, 1u);
  EXPECT_EQ(system.getErrors(&u), aErrNone);
  EXPECT_EQ(u, 0u);
  EXPECT_EQ(system.getProtocolFeatures(&u), aErrNone);
  EXPECT_EQ(u, 0x80000001u) << "bit 31: pooled packets";

  uint32_t first = 0, second = 0;
  ASSERT_EQ(system.getUptime(&first), aErrNone);
  ASSERT_TRUE(WaitFor([&] { return system.getUptime(&second) == aErrNone && second > first; }, 2000));
}

TEST_F(SystemClassTest, SettableOptionsRoundTrip) {
  struct ByteOption {
    const char* name;
    aErr (SystemClass::*set)(uint8_t);
    aErr (SystemClass::*get)(uint8_t*);
    uint8_t value;
  };
  const ByteOption options[] = {
      {"router", &SystemClass::setRouter, &SystemClass::getRouter, 6},
      {"hb interval", &SystemClass::setHBInterval, &SystemClass::getHBInterval, 25},
      {"LED", &SystemClass::setLED, &SystemClass::getLED, 1},
      {"boot slot", &SystemClass::setBootSlot, &SystemClass::getBootSlot, 3},
      {"software offset", &SystemClass::setModuleSoftwareOffset, &SystemClass::getModuleSoftwareOffset, 8},
      {"power behaviour", &SystemClass::setInputPowerBehavior, &SystemClass::getInputPowerBehavior, 2},
      {"link interface", &SystemClass::setLinkInterface, &SystemClass::getLinkInterface, 1},
      {"LED brightness", &SystemClass::setLEDMaxBrightness, &SystemClass::getLEDMaxBrightness, 0x80},
  };
  for (const ByteOption& o : options) {
    EXPECT_EQ((system.*o.set)(o.value), aErrNone) << o.name;
    uint8_t back = 0;
    EXPECT_EQ((system.*o.get)(&back), aErrNone) << o.name;
    EXPECT_EQ(back, o.value) << o.name;
  }
  EXPECT_EQ(system.setPowerLimitMax(0x01020304), aErrNone);
  uint32_t limit = 0;
  EXPECT_EQ(system.getPowerLimitMax(&limit), aErrNone);
  EXPECT_EQ(limit, 0x01020304u);

  EXPECT_EQ(system.routeToMe(1), aErrNone);
  EXPECT_EQ(system.routeToMe(0), aErrNone);
  EXPECT_EQ(system.save(), aErrNone);
  EXPECT_EQ(system.logEvents(), aErrNone);

  // Factory defaults undo the settings above.
  EXPECT_EQ(system.resetDeviceToFactoryDefaults(), aErrNone);
  uint8_t b = 0;
  EXPECT_EQ(system.getLEDMaxBrightness(&b), aErrNone);
  EXPECT_EQ(b, 255);
  EXPECT_EQ(system.getPowerLimitMax(&limit), aErrNone);
  EXPECT_EQ(limit, 10000000u);
}

TEST_F(SystemClassTest, ErrorRepliesComeBackAsTheModulesCode) {
  EntityClass entity;
  entity.init(&module, kSystemClass, 0);
  uint32_t value = 0xCAFEF00D;
  EXPECT_EQ(entity.getUEI32(50, &value), aErrUnimplemented);
  EXPECT_EQ(value, 0xCAFEF00Du) << "an error reply leaves the value untouched";
  EXPECT_EQ(entity.setUEI8(kSystemModel, 9), aErrInvalidOption) << "model is read-only";
  EXPECT_EQ(entity.callUEI(kSystemModule), aErrInvalidOption);
  EXPECT_EQ(entity.setUEI32(kSystemLED, 1), aErrSize) << "LED takes one byte";
  uint8_t b = 0x5A;
  EXPECT_EQ(entity.getUEI8(kSystemSerialNumber, &b), aErrSize) << "a 32-bit reply to a byte get";
  EXPECT_EQ(b, 0x5A);
  EXPECT_EQ(entity.getUEI32(kSystemModel, nullptr), aErrParam);

  SystemClass second;
  second.init(&module, 1);
  EXPECT_EQ(second.getSerialNumber(&value), aErrIndexRange);
  EXPECT_EQ(second.getIndex(), 1);

  SystemClass unbound;
  EXPECT_EQ(unbound.getSerialNumber(&value), aErrResource);
  EXPECT_EQ(unbound.setLED(1), aErrResource);
  uint8_t name[4];
  size_t count = 9;
  EXPECT_EQ(unbound.getName(name, sizeof name, &count), aErrResource);
  EXPECT_EQ(count, 0u);

  // The link is still in step after the errors.
  EXPECT_EQ(system.getSerialNumber(&value), aErrNone);
  EXPECT_EQ(value, kSerial);
}

TEST_F(SystemClassTest, ModuleQueries) {
  uint32_t build = 0;
  EXPECT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 4242u);
  EXPECT_EQ(module.getBuild(nullptr), aErrParam);

  // The transport result and the module's answer byte are separate: 0 is
  // "has it", anything else the module's own code.
  const struct {
    uint8_t command, option, flags, answer;
    const char* why;
  } kHasUEICases[] = {
      {kSystemClass, kSystemSerialNumber, kHasUEIGet, aErrNone, "serial number get"},
      {kSystemClass, kSystemSerialNumber, kHasUEISet, aErrUnimplemented, "serial number is get-only"},
      {kSystemClass, kSystemLED, kHasUEISet, aErrNone, "LED set"},
      {kSystemClass, 50, 0, aErrUnimplemented, "no option 50"},
  };
  for (const auto& c : kHasUEICases) {
    uint8_t answer = 0xEE;
    EXPECT_EQ(module.hasUEI(c.command, c.option, 0, c.flags, &answer), aErrNone) << c.why;
    EXPECT_EQ(answer, c.answer) << c.why;
  }
  uint8_t answer = 0xEE;
  for (uint8_t flags : {0xC0, 0x01, 0x3F, 0x41}) {
    EXPECT_EQ(module.hasUEI(kSystemClass, kSystemLED, 0, flags, &answer), aErrParam) << int(flags);
  }
  EXPECT_EQ(module.hasUEI(kSystemClass, kSystemLED, 0, kHasUEISet, nullptr), aErrParam);
  EXPECT_EQ(answer, 0xEE) << "refused queries leave the answer alone";

  uint8_t q = 0xFF;
  EXPECT_EQ(module.classQuantity(kSystemClass, &q), aErrNone);
  EXPECT_EQ(q, 1);
  EXPECT_EQ(module.classQuantity(40, &q), aErrNone);
  EXPECT_EQ(q, 0);
  q = 0xFF;
  EXPECT_EQ(module.subClassQuantity(kSystemClass, 0, &q), aErrNone);
  EXPECT_EQ(q, 0);
  q = 0xFF;
  EXPECT_EQ(module.entityGroup(kSystemClass, 0, &q), aErrNone);
  EXPECT_EQ(q, 0);

  const uint8_t echo[] = {1, 2, 3, 0, 0xFF};
  EXPECT_EQ(module.debug(echo, sizeof echo), aErrNone);
  EXPECT_EQ(module.debug(nullptr, 0), aErrNone);
  uint8_t big[28] = {};
  EXPECT_EQ(module.debug(big, 28), aErrParam);
}

TEST_F(SystemClassTest, ResetRebootsTheModuleAndTheLinkComesBack) {
  EXPECT_EQ(system.reset(), aErrNone);
  // The socket stream reconnects once the module listens again.
  uint32_t serial = 0;
  EXPECT_TRUE(WaitFor([&] { return system.getSerialNumber(&serial) == aErrNone; }, 8000));
  EXPECT_EQ(serial, kSerial);
}

// ---- UEI bytes, checked on the module's side of the wire.

std::vector<uint8_t> sNameBytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>('A' + i % 26);
  return v;
}

TEST_F(SystemClassTest, NameTransfersCut24BytesPerPacket) {
  struct Case {
    size_t length;
    std::vector<uint8_t> trailers;
  };
  const Case cases[] = {
      {24, {0x00}}, {25, {0x80, 0x01}}, {0, {0x00}}, {48, {0x80, 0x01}}, {49, {0x80, 0x81, 0x02}}};
  size_t seen = sSystemRx(record).size();
  for (const Case& c : cases) {
    const std::vector<uint8_t> name = sNameBytes(c.length);
    ASSERT_EQ(system.setName(name.data(), name.size()), aErrNone) << c.length;
    const std::vector<std::string> rx = sSystemRx(record);
    ASSERT_EQ(rx.size(), seen + c.trailers.size()) << c.length;
    size_t offset = 0;
    for (size_t i = 0; i < c.trailers.size(); ++i) {
      const size_t part = std::min<size_t>(24, c.length - offset);
      std::vector<uint8_t> wire{4, static_cast<uint8_t>(part + 4), 3, 0xA0, 0x20};
      for (size_t k = 0; k < part; ++k) wire.push_back(name[offset + k]);
      wire.push_back(c.trailers[i]);
      EXPECT_EQ(rx[seen + i], Hex(wire)) << c.length << " packet " << i;
      offset += part;
    }
    uint8_t back[64];
    size_t count = 99;
    ASSERT_EQ(system.getName(back, sizeof back, &count), aErrNone) << c.length;
    ASSERT_EQ(count, c.length);
    EXPECT_EQ(std::vector<uint8_t>(back, back + count), name);
    seen = sSystemRx(record).size();
  }
}

TEST_F(SystemClassTest, TwoHundredPacketSeriesWrapsItsSequenceNumbers) {
  // 1200 words = 4800 bytes = 200 packets of 24 bytes, both directions.
  std::vector<uint32_t> words(1200);
  for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint32_t>(0x01000000u * (i % 7) + i);
  const size_t before = sSystemRx(record).size();
  ASSERT_EQ(system.setInputPowerBehaviorConfig(words.data(), words.size()), aErrNone);
  const std::vector<std::string> rx = sSystemRx(record);
  ASSERT_EQ(rx.size(), before + 200);
  for (size_t i = 0; i < 200; ++i) {
    const std::string& line = rx[before + i];
    const unsigned trailer = static_cast<unsigned>(std::stoul(line.substr(line.size() - 2), nullptr, 16));
    const unsigned expected = static_cast<unsigned>((i % 128) | (i < 199 ? 0x80 : 0));
    ASSERT_EQ(trailer, expected) << "packet " << i;
  }
  // The first word goes most significant byte first.
  EXPECT_EQ(rx[before].substr(0, 26), "04 1C 03 9F 20 00 00 00 00");

  std::vector<uint32_t> back(1300, 0);
  size_t count = 0;
  ASSERT_EQ(system.getInputPowerBehaviorConfig(back.data(), back.size(), &count), aErrNone);
  ASSERT_EQ(count, words.size());
  back.resize(count);
  EXPECT_EQ(back, words);
}

TEST_F(SystemClassTest, SeriesLongerThanTheOutboundQueueArrivesWhole) {
  // 9000 words = 1500 packets, more than the outbound queue holds at once.
  std::vector<uint32_t> words(9000);
  for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint32_t>(i * 2654435761u);
  const size_t before = sSystemRx(record).size();
  ASSERT_EQ(system.setInputPowerBehaviorConfig(words.data(), words.size()), aErrNone);
  EXPECT_EQ(sSystemRx(record).size(), before + 1500);
  std::vector<uint32_t> back(words.size(), 0);
  size_t count = 0;
  ASSERT_EQ(system.getInputPowerBehaviorConfig(back.data(), back.size(), &count), aErrNone);
  ASSERT_EQ(count, words.size());
  EXPECT_EQ(back, words);
}

TEST_F(SystemClassTest, ByteArrayLargerThanTheBufferGivesCodeOne) {
  const std::vector<uint8_t> name = sNameBytes(30);
  ASSERT_EQ(system.setName(name.data(), name.size()), aErrNone);
  uint8_t small[10];
  size_t count = 77;
  EXPECT_EQ(system.getName(small, sizeof small, &count), 1);
  EXPECT_EQ(count, 0u);
  // The rest of the series stays queued until drained; then the next get is clean.
  EXPECT_EQ(system.drainUEI(kSystemName), aErrNone);
  uint8_t back[40];
  ASSERT_EQ(system.getName(back, sizeof back, &count), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(back, back + count), name);

  // Exactly full fits.
  ASSERT_EQ(system.getName(back, 30, &count), aErrNone);
  EXPECT_EQ(count, 30u);
  // One packet fits, the second does not: code 1 after the first packet.
  EXPECT_EQ(system.getName(back, 25, &count), 1);
  EXPECT_EQ(count, 24u);
  EXPECT_EQ(system.drainUEI(kSystemName), aErrNone);

  EXPECT_EQ(system.getName(nullptr, 10, &count), aErrParam);
  EXPECT_EQ(system.getName(back, 0, &count), aErrParam);
  EXPECT_EQ(system.getName(back, 10, nullptr), aErrParam);

  uint32_t words[4];
  const uint8_t odd[7] = {1, 2, 3, 4, 5, 6, 7};
  EntityClass raw;
  raw.init(&module, kSystemClass, 0);
  EXPECT_EQ(raw.setUEIBytes(kSystemInputPowerBehaviorConfig, odd, sizeof odd), aErrSize)
      << "the module wants whole words";
  EXPECT_EQ(raw.setUEIBytes(kSystemName, nullptr, 3), aErrParam);
  EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrNone);
}

TEST_F(SystemClassTest, ConnectNeedsASerialNumber) {
  Module other(2, 0);
  EXPECT_EQ(other.connect(USB, 0), aErrParam);
  EXPECT_FALSE(other.isConnected());
  linkSpec spec;
  EXPECT_EQ(other.getLinkSpecifier(&spec), aErrNotFound) << "the link was not touched";
  EXPECT_EQ(module.connectFromSpec(TcpSpec(kSerial, 1)), aErrBusy) << "already connected";
}

}  // namespace
