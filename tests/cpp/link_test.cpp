// Link and Module against a scripted peer (FakePeer) and corvalith-sim:
// connection rules, raw packets, the packet log, automatic networking, and
// malformed or unexpected replies, which must stay queued or be refused
// within the exchange's time-out.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/aDebug.h"
#include "cpp/LinkImpl.h"
#include "cpp/Module.h"
#include "cpp/SystemClass.h"
#include "cpp_test_support.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

using namespace Tessaron::Corvalith;

namespace {

constexpr uint32_t kPeerSerial = 0x7C000001;
// Upper bound of one exchange with a 1000 ms time-out on a busy machine.
constexpr long kReplyBoundMs = 1400;

uint16_t sClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

TEST(LinkTest, NamesAndDefaults) {
  Link named("Bench");
  EXPECT_STREQ(named.getName(), "Bench");
  Link unnamed(nullptr);
  EXPECT_EQ(unnamed.getName(), nullptr);
  const std::string longName(2000, 'n');
  Link longOne(longName.c_str());
  EXPECT_EQ(std::string(longOne.getName()), std::string(kLinkMaxName, 'n'));

  aWeftConfig c;
  EXPECT_EQ(named.getConfig(&c), aErrNone);
  EXPECT_EQ(c.enabled, 1);
  EXPECT_EQ(c.fallback, 1);
  EXPECT_EQ(c.localOnly, 1);
  EXPECT_EQ(c.assignedPort, 0);
  EXPECT_EQ(c.networkInterface, 0x0100007Fu);
  EXPECT_EQ(named.getConfig(nullptr), aErrParam);

  linkSpec spec;
  EXPECT_EQ(named.getLinkSpecifier(&spec), aErrNotFound);
  Link withSpec(TcpSpec(42, 7), "Spec");
  ASSERT_EQ(withSpec.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.serialNumber, 42u);
  EXPECT_EQ(spec.t.ip.ipPort, 7u);

  Module module(2, 0);
  EXPECT_STREQ(module.getLink()->getName(), "Link");
  EXPECT_TRUE(module.getNetworkingMode());
  EXPECT_FALSE(Module(2, false, 0).getNetworkingMode());
}

TEST(LinkTest, ConnectRefusesWhatItCannotMake) {
  Link link("L");
  EXPECT_EQ(link.connect(), aErrConfiguration) << "no spec";
  ASSERT_EQ(link.setConfig(DirectConfig()), aErrNone);
  for (uint32_t type : {0u, 8u, 200u}) {
    linkSpec spec = TcpSpec(1, 1);
    spec.type = static_cast<linkType>(type);
    ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(link.connect(), aErrMode) << type;
  }
  linkSpec shared = TcpSpec(1, 1);
  shared.type = AWEFT_USB;
  ASSERT_EQ(link.setLinkSpecifier(shared), aErrNone);
  EXPECT_EQ(link.connect(), aErrConfiguration) << "a shared type without sharing";

  ASSERT_EQ(link.setLinkSpecifier(TcpSpec(kPeerSerial, sClosedPort())), aErrNone);
  EXPECT_EQ(link.connect(), aErrConnection) << "nobody listens";
  EXPECT_EQ(link.getLinkRef(), 0u);
  EXPECT_EQ(link.connect(), aErrConnection) << "still nothing";

  aWeftConfig sharing;
  ASSERT_EQ(link.setConfig(sharing), aErrNone);
  EXPECT_EQ(link.connect(), aErrConnection) << "sharing on: no device link to share";

  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.getStatus(), kLinkStatusError);
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(link.reset(), aErrNone);
  EXPECT_EQ(link.enablePacketLog("/tmp/never"), aErrConfiguration);
  EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
  uint8_t address = 9;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  const uint8_t byte = 1;
  EXPECT_EQ(link.sendPacket(2, 1, 1, &byte), aErrConnection);
  uei u{};
  u.module = 2;
  EXPECT_EQ(link.sendUEI(u), aErrConnection);
  EXPECT_EQ(link.receiveUEI(2, 3, 1, 0, &u), aErrConnection);
  EXPECT_EQ(link.dropMatchingUEIPackets(2, 3, 1, 0), aErrConnection);
}

class PeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.start());
    ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(TcpSpec(kPeerSerial, peer.port())), aErrNone);
    ASSERT_EQ(module.getModuleAddress(), 6);
    link = module.getLink();
    entity.init(&module, kSystemClass, 0);
  }
  void TearDown() override {
    (void)module.disconnect();
    peer.stop();
  }
  // Nothing at all is queued on the link.
  bool queueEmpty() {
    aPacket* p = aLink_GetFirst(link->getLinkRef(), nullptr, nullptr);
    if (p == nullptr) return true;
    (void)aPacket_Destroy(&p);
    return false;
  }

  FakePeer peer{6};
  Module module{2, 0};
  Link* link = nullptr;
  EntityClass entity;
};

TEST_F(PeerTest, ConnectedLinkRefusesChangesAndASecondConnect) {
  EXPECT_EQ(link->connect(), aErrConnection);
  EXPECT_EQ(link->setConfig(DirectConfig()), aErrMode);
  EXPECT_EQ(link->setLinkSpecifier(TcpSpec(1, 1)), aErrBusy);
  linkSpec spec;
  ASSERT_EQ(link->getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.t.ip.ipPort, peer.port());
  EXPECT_EQ(module.connectFromSpec(spec), aErrBusy);
  EXPECT_EQ(link->enablePooledPackets(true), aErrNone);
  EXPECT_EQ(link->enablePooledPackets(false), aErrNone);

  // A link that failed keeps its identifier: connect refuses until disconnect.
  peer.stop();
  ASSERT_TRUE(WaitFor([&] { return !link->isConnected(); }, 3000));
  EXPECT_EQ(link->connect(), aErrConnection);
  EXPECT_NE(link->getLinkRef(), 0u);
  EXPECT_EQ(link->disconnect(), aErrNone);
  EXPECT_EQ(link->getLinkRef(), 0u);
  EXPECT_EQ(module.reconnect(), aErrConnection) << "the peer is gone";
}

TEST_F(PeerTest, RawPacketsCheckTheirArguments) {
  uint8_t data[28] = {1, 2, 3};
  EXPECT_EQ(link->sendPacket(6, 0x30, 28, data), aErrParam);
  EXPECT_EQ(link->sendPacket(3, 0x30, 1, data), aErrPacket);
  EXPECT_EQ(link->sendPacket(0, 0x30, 1, data), aErrPacket);
  EXPECT_EQ(link->sendPacket(6, 0x30, 2, nullptr), aErrParam);
  ASSERT_EQ(link->sendPacket(6, 0x30, 27, data), aErrNone);
  ASSERT_EQ(link->sendPacket(6, 0x31, 0, nullptr), aErrNone);
  ASSERT_TRUE(WaitFor([&] { return peer.received().size() == 2; }, 2000));
  const std::vector<RawPacket> in = peer.received();
  EXPECT_EQ(in[0].address, 6);
  ASSERT_EQ(in[0].data.size(), 28u);
  EXPECT_EQ(in[0].data[0], 0x30);
  EXPECT_EQ(in[0].data[1], 1);
  EXPECT_EQ(in[0].data[3], 3);
  EXPECT_EQ(in[1].data, std::vector<uint8_t>{0x31});

  // The first packet whose first bytes match, whatever its address; the
  // others keep their place.
  peer.send({{6, {0x40, 1, 2}}, {8, {0x41, 5}}, {6, {0x41, 9, 9, 9}}});
  uint8_t out[28];
  const uint8_t match41[] = {0x41};
  uint8_t length = 1;
  ASSERT_EQ(link->receivePacket(6, match41, &length, out), aErrNone);
  EXPECT_EQ(length, 2);
  EXPECT_EQ(out[0], 0x41);
  EXPECT_EQ(out[1], 5);
  const uint8_t match4199[] = {0x41, 9};
  length = 2;
  ASSERT_EQ(link->receivePacket(6, match4199, &length, out), aErrNone);
  EXPECT_EQ(length, 4);
  length = 0;
  ASSERT_EQ(link->receivePacket(6, nullptr, &length, out), aErrNone) << "an empty match takes any packet";
  EXPECT_EQ(out[0], 0x40);

  const auto start = std::chrono::steady_clock::now();
  length = 1;
  EXPECT_EQ(link->receivePacket(6, match41, &length, out), aErrTimeout);
  EXPECT_GE(ElapsedMs(start), 950);
  EXPECT_LT(ElapsedMs(start), kReplyBoundMs);
  EXPECT_EQ(link->receivePacket(5, match41, &length, out), aErrPacket);
  length = 29;
  EXPECT_EQ(link->receivePacket(6, match41, &length, out), aErrParam);
}

// Requests and the replies the peer gives them.
std::vector<RawPacket> sScriptedReplies(const RawPacket& in) {
  const std::vector<uint8_t>& d = in.data;
  if (d.size() < 3 || d[0] != 3) {
    if (!d.empty() && d[0] == 92) return {{in.address, {92, static_cast<uint8_t>(d[1] | 0x40), 0}}};
    return {};
  }
  const uint8_t a = in.address;
  if (d[1] & 0x80) {
    if ((d[1] & 0x3F) == 9) return {{a, {3, 9, 0}}};  // a set answered like a get
    return {{a, {3, static_cast<uint8_t>(d[1] | 0x40), 0}}};
  }
  std::vector<uint8_t> full(24);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i);
  switch (d[1] & 0x3F) {
    case 1:
      return {{a, {3, 1, 0, 1, 2, 3}}};  // 6 bytes: no known value type
    case 2:
      return {{a, {3, 3, 0, 7}}};  // the wrong option
    case 4:
      return {{a, {3, 4, 0x80, aErrUnimplemented}}};
    case 5:
      return {{static_cast<uint8_t>(a + 2), {3, 5, 0, 1}}};  // another module
    case 6:
      return {{a, {3, 6, 0x80}}};  // an error without its code
    case 7:
      return {{a, {3, 7, 1, 5}}};  // another index
    case 8:
      return {{a, {3, 8, 0, 0x12, 0x34}}};
    case 10: {
      RawPacket first{a, {3, 10, 0}};
      first.data.insert(first.data.end(), full.begin(), full.end());
      first.data.push_back(0x80);
      return {first, {a, {3, 10, 0, 'x', 0x02}}};  // sequence 2 where 1 is due
    }
    case 11:
      return {{a, {3, 11, 0, 'a', 'b', 0x80}}, {a, {3, 11, 0x80, aErrSize}}};
    case 12:
      return {{a, {3, 12, 0}}};  // a byte-array reply without trailer
    case 13:
      return {{a, {3, 13}}};  // too short for a UEI
    case 16:
      return {{a, {3, 16, 0x80, 0}}};  // an error reply whose code is 0
    case 15:
      return {{a, {3, 15, 0, static_cast<uint8_t>(d.size() > 3 ? d[3] + 1 : 0)}}};
    default:
      return {};
  }
}

TEST_F(PeerTest, MalformedRepliesAreRefusedOrLeftQueued) {
  peer.setHandler(sScriptedReplies);
  auto timed = [&](const std::function<aErr()>& exchange) {
    const auto start = std::chrono::steady_clock::now();
    const aErr err = exchange();
    EXPECT_LT(ElapsedMs(start), kReplyBoundMs);
    return err;
  };

  uei u{};
  u.type = VOID;
  EXPECT_EQ(entity.getUEI(1, &u), aErrNone) << "a 6-byte reply is taken";
  EXPECT_EQ(u.type, VOID) << "but carries no value type";
  uint8_t b = 0xAB;
  uint8_t buffer[64];
  size_t count = 0;
  EXPECT_EQ(entity.getUEI8(1, &b), aErrSize);
  EXPECT_EQ(b, 0xAB);

  EXPECT_EQ(timed([&] { return entity.getUEI8(2, &b); }), aErrTimeout);
  uei wrong{};
  wrong.module = 6;
  wrong.command = 3;
  wrong.option = 3;
  wrong.specifier = 0;
  wrong.type = VOID;
  ASSERT_EQ(timed([&] { return link->receiveUEI(6, 3, 3, 0, &wrong); }), aErrNone) << "it stayed queued";
  EXPECT_EQ(wrong.type, BYTE);
  EXPECT_EQ(wrong.v.byteVal, 7);

  uint32_t value = 0x11111111;
  EXPECT_EQ(entity.getUEI32(4, &value), aErrUnimplemented);
  EXPECT_EQ(value, 0x11111111u);
  EXPECT_EQ(timed([&] { return entity.getUEI8(5, &b); }), aErrTimeout) << "another module's reply";
  EXPECT_EQ(entity.getUEI8(6, &b), aErrUnknown);
  EXPECT_EQ(entity.getUEI8(16, &b), aErrUnknown) << "an error reply never reads as success";
  EXPECT_EQ(entity.getUEIBytes(16, buffer, sizeof buffer, &count), aErrUnknown);
  EXPECT_EQ(timed([&] { return entity.getUEI8(7, &b); }), aErrTimeout) << "another index";
  uint16_t s = 0;
  EXPECT_EQ(entity.getUEI16(8, &s), aErrNone);
  EXPECT_EQ(s, 0x1234);
  EXPECT_EQ(timed([&] { return entity.setUEI8(9, 1); }), aErrTimeout) << "a set reply needs 0xC0";
  EXPECT_EQ(timed([&] { return entity.getUEI8(13, &b); }), aErrTimeout);

  count = 99;
  EXPECT_EQ(timed([&] { return entity.getUEIBytes(10, buffer, sizeof buffer, &count); }), aErrTimeout);
  EXPECT_EQ(count, 24u) << "the first packet was taken";
  EXPECT_EQ(buffer[23], 23);
  EXPECT_EQ(entity.getUEIBytes(11, buffer, sizeof buffer, &count), aErrSize);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(timed([&] { return entity.getUEIBytes(12, buffer, sizeof buffer, &count); }), aErrTimeout);

  // Everything refused above is still queued; draining removes it by reply.
  EXPECT_FALSE(queueEmpty());
  for (uint8_t option : {9, 10, 12, 13}) EXPECT_EQ(entity.drainUEI(option), aErrNone);
  // Two data bytes are no UEI, so no UEI drain takes them; a raw receive does.
  const uint8_t tooShort[] = {3, 13};
  uint8_t length = 2;
  uint8_t raw[28];
  EXPECT_EQ(link->receivePacket(6, tooShort, &length, raw), aErrNone);
  EXPECT_EQ(link->dropMatchingUEIPackets(8, 3, 5, 0), aErrNone);
  EntityClass index1;
  index1.init(&module, kSystemClass, 1);
  EXPECT_EQ(index1.drainUEI(7), aErrNone);
  aPacket* left = aLink_GetFirst(link->getLinkRef(), nullptr, nullptr);
  EXPECT_EQ(left, nullptr) << (left ? Hex(std::vector<uint8_t>(left->data, left->data + left->length)) : "");
  if (left) (void)aPacket_Destroy(&left);
}

TEST_F(PeerTest, DrainRemovesEveryMatchingErrorReply) {
  // Packets arrive in order: once the marker is taken the others are queued.
  peer.send(
      {{6, {3, 21, 0x80, 5}}, {6, {3, 21, 0x80, 6}}, {6, {3, 22, 0, 1}}, {6, {3, 21, 0, 2}}, {6, {0x60}}});
  const uint8_t marker[] = {0x60};
  uint8_t length = 1;
  uint8_t out[28];
  ASSERT_EQ(link->receivePacket(6, marker, &length, out), aErrNone);
  EXPECT_EQ(entity.drainUEI(21), aErrNone);
  uei other{};
  other.module = 6;
  other.command = 3;
  other.option = 22;
  other.type = VOID;
  ASSERT_EQ(link->receiveUEI(6, 3, 22, 0, &other), aErrNone) << "another option is kept";
  EXPECT_EQ(other.v.byteVal, 1);
  EXPECT_TRUE(queueEmpty());
}

TEST_F(PeerTest, ModuleQueriesTakeOnlyRepliesThatEchoTheRequest) {
  // The peer answers each module query with the reply its class byte picks:
  // one with a changed echo byte, one too short, one too long, and a good one.
  peer.setHandler([](const RawPacket& p) -> std::vector<RawPacket> {
    if (p.data.size() < 3 || p.data[0] != kModuleQueryCommand) return {};
    std::vector<uint8_t> reply = p.data;
    if (reply[1] == kModuleQueryHasUEI) reply.pop_back();  // the flags are not echoed
    switch (reply[2]) {
      case 10:
        reply[2] = 11;
        break;
      case 12:
        reply.pop_back();
        break;
      case 13:
        reply.push_back(0);
        break;
    }
    reply.push_back(0x2A);
    return {{6, reply}};
  });
  struct Case {
    uint8_t entityClass;
    aErr result;
    uint8_t answer;
  };
  const Case cases[] = {
      {9, aErrNone, 0x2A}, {10, aErrUnknown, 0}, {12, aErrUnknown, 0}, {13, aErrUnknown, 0}};
  for (const Case& c : cases) {
    uint8_t answer = 0xEE;
    EXPECT_EQ(module.classQuantity(c.entityClass, &answer), c.result) << int(c.entityClass);
    EXPECT_EQ(answer, c.answer) << int(c.entityClass);
    answer = 0xEE;
    EXPECT_EQ(module.subClassQuantity(c.entityClass, 1, &answer), c.result) << int(c.entityClass);
    EXPECT_EQ(answer, c.answer) << int(c.entityClass);
    answer = 0xEE;
    EXPECT_EQ(module.entityGroup(c.entityClass, 1, &answer), c.result) << int(c.entityClass);
    EXPECT_EQ(answer, c.answer) << int(c.entityClass);
    answer = 0xEE;
    EXPECT_EQ(module.hasUEI(c.entityClass, 1, 0, kHasUEIGet, &answer), c.result) << int(c.entityClass);
    EXPECT_EQ(answer, c.result == aErrNone ? c.answer : 0xEE) << int(c.entityClass);
  }
}

TEST_F(PeerTest, SubindexRequestsAndEntityStoreCarryTheirBytes) {
  peer.setHandler(sScriptedReplies);
  ASSERT_EQ(entity.setUEI8(14, 3, 0x7E), aErrNone);
  ASSERT_EQ(entity.setUEI16(14, 4, 0xBEEF), aErrNone);
  ASSERT_EQ(entity.setUEI32(14, 5, 0x01020304), aErrNone);
  uei none{};
  none.type = VOID;
  ASSERT_EQ(entity.setUEI(14, 6, &none), aErrNone);
  uei bytes{};
  bytes.type = BYTES;
  const uint8_t payload[] = {9, 9};
  bytes.v.bytesVal.data = payload;
  bytes.v.bytesVal.length = 2;
  ASSERT_EQ(entity.setUEI(14, 7, &bytes), aErrNone);
  uint8_t b = 0;
  ASSERT_EQ(entity.getUEI8(15, 41, &b), aErrNone);
  EXPECT_EQ(b, 42);

  EntityClass target;
  target.init(&module, 5, 2);
  ASSERT_EQ(target.saveEntityToStore(), aErrNone);
  ASSERT_EQ(target.resetEntityToFactoryDefaults(), aErrNone);
  ASSERT_EQ(target.loadEntityFromStore(), aErrNone);

  const std::vector<RawPacket> in = peer.received();
  std::vector<std::string> seen;
  for (const RawPacket& p : in) seen.push_back(Hex(p.data));
  const std::vector<std::string> expected = {
      "03 8E 20 03 7E",       "03 8E 20 04 BE EF",    "03 8E 20 05 01 02 03 04",
      "03 8E 20 06",          "03 8E 20 07",          "03 4F 20 29",
      "5C 80 20 00 00 05 02", "5C 81 20 00 00 05 02", "5C 82 20 00 00 05 02",
  };
  EXPECT_EQ(seen, expected);
}

TEST_F(PeerTest, AwaitTakesAValueWithoutSending) {
  peer.send({{6, {3, 20, 0, 0, 0, 1, 0}}});
  uint32_t value = 0;
  EXPECT_EQ(entity.awaitUEI32Val(20, &value), aErrNone);
  EXPECT_EQ(value, 256u);
  peer.send({{6, {3, 20, 0x80, aErrBusy}}, {6, {3, 20, 0, 1}}});
  EXPECT_EQ(entity.awaitUEI32Val(20, &value), aErrBusy);
  EXPECT_EQ(entity.awaitUEI32Val(20, &value), aErrSize) << "a byte where 32 bits are due";
  EXPECT_EQ(value, 256u);
  EXPECT_EQ(entity.awaitUEI32Val(20, nullptr), aErrParam);
  EXPECT_TRUE(peer.received().empty()) << "nothing was sent";
}

TEST_F(PeerTest, UEIArgumentsAreChecked) {
  uei u{};
  u.module = 5;
  u.command = 3;
  EXPECT_EQ(link->sendUEI(u), aErrPacket);
  EXPECT_EQ(link->sendUEI(u, 1), aErrPacket);
  u.module = 6;
  u.type = static_cast<ueiType>(3);
  EXPECT_EQ(link->sendUEI(u), aErrParam) << "type 3 is not used";
  u.type = BYTES;
  u.v.bytesVal.data = nullptr;
  u.v.bytesVal.length = 4;
  EXPECT_EQ(link->sendUEI(u), aErrParam);
  EXPECT_EQ(link->receiveUEI(6, 3, 1, 0, nullptr), aErrParam);
  EXPECT_EQ(link->receiveUEI(0, 3, 1, 0, &u), aErrPacket);

  // A large byte array set waits longer for its reply.
  aCorvalithDebuggingEnable = true;
  aCorvalithDebuggingLevel = aDEBUG_LINK;
  testing::internal::CaptureStdout();
  u.type = BYTES;
  u.v.bytesVal.length = 1001;
  u.option = 40;
  u.specifier = 0;
  const auto start = std::chrono::steady_clock::now();
  const aErr err = link->receiveUEI(6, 3, 40, 0, &u);
  const long waited = ElapsedMs(start);
  aCorvalithDebuggingEnable = false;
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(err, aErrTimeout);
  EXPECT_GE(waited, 3900);
  EXPECT_LT(waited, 4400);
  EXPECT_NE(out.find("receiveUEI - Expanding timeout for large payload: 4000\n"), std::string::npos) << out;
}

// ---- Against the simulator.

TEST(SimLinkTest, AutomaticNetworkingGivesUpAfterFourSilentAttempts) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=7C000002,tcp=0,address=8,mute-after=0", "--lifetime", "60"}));
  Module module(2, 0);
  ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(module.connectFromSpec(TcpSpec(0x7C000002, sim.tcpPort("7C000002"))), aErrNotReady);
  const long waited = ElapsedMs(start);
  EXPECT_GE(waited, 3900) << "four attempts of 1000 ms";
  EXPECT_LT(waited, 5000);
  EXPECT_EQ(module.getModuleAddress(), 2) << "unchanged without an answer";
  EXPECT_TRUE(module.isConnected()) << "the link itself is up";
}

TEST(SimLinkTest, NetworkingModeDecidesWhetherTheAddressIsLearnt) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=7C000003,tcp=0,address=12", "--lifetime", "60"}));
  const linkSpec spec = TcpSpec(0x7C000003, sim.tcpPort("7C000003"));
  Module fixed(2, false, 0);
  ASSERT_EQ(fixed.setConfig(DirectConfig()), aErrNone);
  ASSERT_EQ(fixed.connectFromSpec(spec), aErrNone);
  EXPECT_EQ(fixed.getModuleAddress(), 2);
  uint8_t address = 0;
  EXPECT_EQ(fixed.getLink()->getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, 12);
  (void)fixed.disconnect();

  Module learning(2, 0);
  ASSERT_EQ(learning.setConfig(DirectConfig()), aErrNone);
  ASSERT_EQ(learning.connectFromSpec(spec), aErrNone);
  EXPECT_EQ(learning.getModuleAddress(), 12);
  // Reconnecting learns it again.
  learning.setModuleAddress(2);
  ASSERT_EQ(learning.disconnect(), aErrNone);
  ASSERT_EQ(learning.reconnect(), aErrNone);
  EXPECT_EQ(learning.getModuleAddress(), 12);
}

TEST(SimLinkTest, PacketLogWritesOneLinePerRecord) {
  SimProcess sim;
  ASSERT_TRUE(sim.start(
      {"--module", "serial=7C000004,tcp=0,address=4,build=258,heartbeat-ms=0", "--lifetime", "60"}));
  TempDir tmp;
  const std::string path = tmp.write("packets.log", "");
  Module module(2, 0);
  ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
  ASSERT_EQ(module.connectFromSpec(TcpSpec(0x7C000004, sim.tcpPort("7C000004"))), aErrNone);
  ASSERT_EQ(module.enablePacketLog(path.c_str()), aErrNone);
  uint32_t build = 0;
  ASSERT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 258u);
  const std::string request = "4 > 0x4 0x2 0x49 0xFF \r\n";
  const std::string reply = "8 < 0x4 0x6 0x49 0xFF 0x0 0x0 0x1 0x2 \r\n";
  std::string text;
  auto readLog = [&] {
    text = ReadText(path);
    return text.find(reply) != std::string::npos;
  };
  EXPECT_TRUE(WaitFor(readLog, 3000)) << text;
  EXPECT_EQ(text.rfind(std::string("6 < START\0\r\n", 12), 0), 0u) << text;
  EXPECT_NE(text.find(request), std::string::npos) << text;
  EXPECT_LT(text.find(request), text.find(reply));
  EXPECT_EQ(module.disablePacketLog(), aErrNone);
  EXPECT_EQ(module.disconnect(), aErrNone);
  EXPECT_EQ(module.disablePacketLog(), aErrConfiguration);
}

TEST(SimLinkTest, ConcurrentExchangesOnOneLinkEachSeeTheirOwnReplies) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=7C000005,tcp=0,address=4,heartbeat-ms=50", "--lifetime", "60"}));
  Module module(2, 0);
  ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
  ASSERT_EQ(module.connectFromSpec(TcpSpec(0x7C000005, sim.tcpPort("7C000005"))), aErrNone);
  std::atomic<int> failures{0};
  std::thread reader([&] {
    SystemClass s;
    s.init(&module, 0);
    for (int i = 0; i < 150; ++i) {
      uint32_t serial = 0;
      if (s.getSerialNumber(&serial) != aErrNone || serial != 0x7C000005) ++failures;
    }
  });
  std::thread names([&] {
    SystemClass s;
    s.init(&module, 0);
    for (int i = 0; i < 60; ++i) {
      const std::string name = "name " + std::to_string(i);
      uint8_t back[64];
      size_t count = 0;
      if (s.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()) != aErrNone ||
          s.getName(back, sizeof back, &count) != aErrNone ||
          std::string(reinterpret_cast<char*>(back), count) != name) {
        ++failures;
      }
    }
  });
  SystemClass s;
  s.init(&module, 0);
  for (int i = 0; i < 150; ++i) {
    uint8_t led = 0;
    if (s.getModel(&led) != aErrNone || led != 17) ++failures;
  }
  reader.join();
  names.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
