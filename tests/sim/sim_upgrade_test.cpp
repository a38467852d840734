// The simulated module's side of the firmware upgrade, driven in-process with
// hand-made upgrade packets: the stages, the flash it writes, the firmware it
// reboots into and each fault it can be told to play.
#include <gtest/gtest.h>

#include "common/aErr.h"
#include "sim/SimConfig.h"
#include "sim/SimModule.h"
#include "support/TempFiles.h"
#include "support/TestBird.h"

using sim::Packet;
using sim::SimModule;
typedef std::vector<uint8_t> Bytes;
typedef std::vector<Bytes> Replies;

namespace {

constexpr uint8_t kAddr = 4;
constexpr uint8_t U = 0x5F;

struct Sim {
  explicit Sim(const sim::UpgradeConfig& u) : module(Config(u)) {}
  static sim::ModuleConfig Config(const sim::UpgradeConfig& u) {
    sim::ModuleConfig c;
    c.address = kAddr;
    c.upgrade = u;
    return c;
  }
  Replies Ask(const Bytes& data) {
    last = module.handle(Packet{kAddr, data}, 1000);
    Replies out;
    for (const Packet& p : last.replies) out.push_back(p.data);
    return out;
  }
  SimModule module;
  sim::Response last;
};

Bytes Prepare(uint32_t address) {
  return {U, 3, 0, uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
}
Bytes Data(const Bytes& payload) {
  Bytes d{U, 1};
  d.insert(d.end(), payload.begin(), payload.end());
  return d;
}
Bytes Sum(uint32_t s) {
  return {U, 7, 0, uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)};
}
uint32_t SumOf(const Bytes& b) {
  uint32_t s = 0;
  for (uint8_t x : b) s += x;
  return s;
}
// The payload as a UEI-bytes set of option 10: 24 bytes a packet.
std::vector<Bytes> UeiSeries(const Bytes& payload) {
  std::vector<Bytes> out;
  size_t pos = 0;
  uint8_t seq = 0;
  do {
    const size_t n = std::min<size_t>(24, payload.size() - pos);
    const bool more = pos + n < payload.size();
    Bytes p{U, 0x8A, 0x20};
    p.insert(p.end(), payload.begin() + long(pos), payload.begin() + long(pos + n));
    p.push_back(uint8_t((more ? 0x80 : 0) | (seq++ & 0x7F)));
    out.push_back(p);
    pos += n;
  } while (pos < payload.size());
  return out;
}
Bytes Write(size_t n) {
  return {U, 5, uint8_t(n >> 8), uint8_t(n)};
}

}  // namespace

TEST(SimUpgrade, LoaderThenFirmwareLandsInFlashAndRebootsIntoTheNewBuild) {
  TempDir dir;
  TestBird next;
  next.build = 1250;
  next.version = "2.16.4";
  next.write(dir / "next.bird");
  sim::UpgradeConfig u;
  u.flashFile = dir / "flash.bin";
  u.rebootBird = dir / "next.bird";
  u.blockSize = 64;
  Sim s(u);

  // Running firmware refuses the transfer steps until INIT.
  EXPECT_EQ(s.Ask(Prepare(0x100)), (Replies{{U, 7, 1, 0, 0}}));
  EXPECT_EQ(s.Ask({U, 0}), (Replies{{U, 0, 0x20, 0, 0, 0}}));
  // A loader block into RAM, in DATA packets of up to 26 bytes.
  const Bytes loader = TestPayload(40, 1);
  EXPECT_EQ(s.Ask(Prepare(0x20000400)), (Replies{{U, 7, 0, 0, 64}}));
  EXPECT_EQ(s.Ask(Data(Bytes(loader.begin(), loader.begin() + 26))), (Replies{{U, 1, 26}}));
  EXPECT_EQ(s.Ask(Data(Bytes(loader.begin() + 26, loader.end()))), (Replies{{U, 1, 14}}));
  EXPECT_EQ(s.Ask({U, 4}), (Replies{Sum(SumOf(loader))}));
  EXPECT_EQ(s.Ask(Write(40)), (Replies{{U, 7, 1}})) << "the boot stage writes no flash";
  EXPECT_EQ(s.Ask({U, 2}), (Replies{{U, 2}}));
  EXPECT_FALSE(s.last.reboot);
  ASSERT_EQ(s.module.upgrade().loaderBlocks().size(), 1u);
  EXPECT_EQ(s.module.upgrade().loaderBlocks()[0].first, 0x20000400u);
  EXPECT_EQ(s.module.upgrade().loaderBlocks()[0].second, loader);

  // One firmware block of 100 bytes at 0x10: a 64-byte chunk as DATA, the
  // rest as a UEI-bytes set; each summed, then written.
  const Bytes fw = TestPayload(100, 2);
  EXPECT_EQ(s.Ask(Prepare(0x10)), (Replies{{U, 7, 0, 0, 64}}));
  s.Ask(Data(Bytes(fw.begin(), fw.begin() + 26)));
  s.Ask(Data(Bytes(fw.begin() + 26, fw.begin() + 52)));
  EXPECT_EQ(s.Ask(Data(Bytes(fw.begin() + 52, fw.begin() + 65))), (Replies{{U, 1, 0}}))
      << "past the granted block size";
  EXPECT_EQ(s.Ask(Data(Bytes(fw.begin() + 52, fw.begin() + 64))), (Replies{{U, 1, 12}}));
  EXPECT_EQ(s.Ask({U, 4}), (Replies{Sum(SumOf(Bytes(fw.begin(), fw.begin() + 64)))}));
  EXPECT_EQ(s.Ask(Write(64)), (Replies{{U, 7, 0}}));
  const std::vector<Bytes> series = UeiSeries(Bytes(fw.begin() + 64, fw.end()));
  ASSERT_EQ(series.size(), 2u);
  EXPECT_TRUE(s.Ask(series[0]).empty()) << "no reply before the last part";
  EXPECT_EQ(s.Ask(series[1]), (Replies{{U, 0xCA, 0}}));
  EXPECT_EQ(s.Ask({U, 4}), (Replies{Sum(SumOf(Bytes(fw.begin() + 64, fw.end())))}));
  EXPECT_EQ(s.Ask(Write(35)), (Replies{{U, 7, 1}})) << "length differs from the chunk";
  EXPECT_EQ(s.Ask({U, 4}), (Replies{Sum(0)})) << "a refused WRITE drops the chunk";
  for (const Bytes& p : series) s.Ask(p);
  EXPECT_EQ(s.Ask(Write(36)), (Replies{{U, 7, 0}}));
  EXPECT_EQ(ReadBytes(dir / "flash.bin"), FlashImage({{0x10, fw}})) << "rewritten after each WRITE";

  // REBOOT: no reply, the link drops, and the module comes back as 1250.
  EXPECT_TRUE(s.Ask({U, 6}).empty());
  EXPECT_TRUE(s.last.reboot);
  s.module.reboot(2000);
  EXPECT_EQ(s.Ask({3, 0x40 | 7, 0x20}), (Replies{{3, 7, 0, 0x2F, 2, 16, 4}}));
  EXPECT_EQ(s.Ask({3, 0x40 | 43, 0x20}), (Replies{{3, 43, 0, 0, 0, 0x04, 0xE2}}));
  EXPECT_EQ(s.Ask({0x49, 0xFF}), (Replies{{0x49, 0xFF, 0, 0, 0x04, 0xE2}}));
  EXPECT_EQ(s.Ask(Prepare(0x10)), (Replies{{U, 7, 1, 0, 0}})) << "out of the loader again";
}

TEST(SimUpgrade, AnnouncesTheUeiDataOptionAndPooledPackets) {
  struct Case {
    bool ueiData, pooled;
    uint8_t hasSet, hasGet;
    Bytes features;
  };
  const Case cases[] = {
      {true, true, aErrNone, aErrUnimplemented, {3, 45, 0, 0x80, 0, 0, 1}},
      {false, false, aErrUnimplemented, aErrUnimplemented, {3, 45, 0, 0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    sim::UpgradeConfig u;
    u.ueiData = c.ueiData;
    u.pooled = c.pooled;
    Sim s(u);
    EXPECT_EQ(s.Ask({0x49, 1, U, 10, 0, 0x80}), (Replies{{0x49, 1, U, 10, 0, c.hasSet}}));
    EXPECT_EQ(s.Ask({0x49, 1, U, 10, 0, 0x40}), (Replies{{0x49, 1, U, 10, 0, c.hasGet}}));
    EXPECT_EQ(s.Ask({0x49, 1, U, 10, 1, 0x80}), (Replies{{0x49, 1, U, 10, 1, aErrUnimplemented}}));
    EXPECT_EQ(s.Ask({3, 0x40 | 45, 0x20}), (Replies{c.features}));
    if (!c.ueiData) {
      s.Ask({U, 0});
      s.Ask({U, 2});
      s.Ask(Prepare(0));
      EXPECT_EQ(s.Ask(UeiSeries({1, 2, 3})[0]), (Replies{{U, 0xCA, 0x80, aErrUnimplemented}}));
    }
  }
}

TEST(SimUpgrade, UeiSeriesWithALostPartFailsOnceAndTheNextSeriesStartsClean) {
  sim::UpgradeConfig u;
  Sim s(u);
  s.Ask({U, 0});
  s.Ask({U, 2});
  s.Ask(Prepare(0));
  const Bytes payload = TestPayload(300, 3);  // 13 parts
  const std::vector<Bytes> series = UeiSeries(payload);
  s.Ask(series[0]);
  EXPECT_EQ(s.Ask(series[2]), (Replies{{U, 0xCA, 0x80, aErrPacket}}));
  for (size_t i = 3; i < series.size(); ++i) EXPECT_TRUE(s.Ask(series[i]).empty()) << i;
  for (const Bytes& p : series) s.Ask(p);
  EXPECT_EQ(s.last.replies.size(), 1u);
  EXPECT_EQ(s.Ask({U, 4}), (Replies{Sum(SumOf(payload))}));
  EXPECT_EQ(s.Ask(Prepare(16u << 20)), (Replies{{U, 7, 1, 0, 0}})) << "beyond the flash";
  EXPECT_EQ(s.Ask(Write(300)), (Replies{{U, 7, 1}})) << "no block prepared";
}

TEST(SimUpgrade, FaultsPlayAsConfigured) {
  {  // Every third DATA packet goes unanswered and unstored.
    sim::UpgradeConfig u;
    u.ignoreDataEvery = 3;
    Sim s(u);
    s.Ask({U, 0});
    s.Ask(Prepare(0x20000000));
    EXPECT_EQ(s.Ask(Data({1})), (Replies{{U, 1, 1}}));
    EXPECT_EQ(s.Ask(Data({2})), (Replies{{U, 1, 1}}));
    EXPECT_TRUE(s.Ask(Data({4})).empty());
    EXPECT_EQ(s.Ask({U, 4}), (Replies{Sum(3)}));
  }
  {  // The first SUM is off by one, the next ones are right.
    sim::UpgradeConfig u;
    u.badSumOnce = true;
    Sim s(u);
    s.Ask({U, 0});
    s.Ask(Prepare(0x20000000));
    s.Ask(Data({7}));
    EXPECT_EQ(s.Ask({U, 4}), (Replies{Sum(8)}));
    EXPECT_EQ(s.Ask({U, 4}), (Replies{Sum(7)}));
  }
  // PREPARE goes unanswered in the chosen stages, yet the block is announced.
  struct Mute {
    sim::UpgradeConfig::Mute mute;
    bool bootAnswers, loaderAnswers;
  };
  for (const Mute& m : {Mute{sim::UpgradeConfig::Mute::Loader, false, true},
                        Mute{sim::UpgradeConfig::Mute::Firmware, true, false},
                        Mute{sim::UpgradeConfig::Mute::All, false, false}}) {
    sim::UpgradeConfig u;
    u.mutePrepare = m.mute;
    Sim s(u);
    s.Ask({U, 0});
    EXPECT_EQ(s.Ask(Prepare(0x20000000)).size(), m.bootAnswers ? 1u : 0u);
    EXPECT_EQ(s.Ask(Data({5})), (Replies{{U, 1, 1}}));
    s.Ask({U, 2});
    EXPECT_EQ(s.Ask(Prepare(0)).size(), m.loaderAnswers ? 1u : 0u);
    EXPECT_EQ(s.Ask(Data({5})), (Replies{{U, 1, 1}}));
    EXPECT_EQ(s.Ask(Write(1)), (Replies{{U, 7, 0}}));
  }
  {  // LOAD drops the link and answers after it; the loader keeps running.
    sim::UpgradeConfig u;
    u.dropOnLoad = true;
    Sim s(u);
    s.Ask({U, 0});
    EXPECT_TRUE(s.Ask({U, 2}).empty());
    EXPECT_TRUE(s.last.reboot);
    ASSERT_EQ(s.last.afterReconnect.size(), 1u);
    EXPECT_EQ(s.last.afterReconnect[0].data, (Bytes{U, 2}));
    s.module.reboot(1500);
    EXPECT_EQ(s.module.upgrade().stage(), sim::SimUpgrade::Stage::Loader);
  }
  {  // REBOOT without dropping the link: the new firmware answers at once.
    TempDir dir;
    TestBird next;
    next.build = 77;
    next.version = "3.1.2";
    next.write(dir / "next.bird");
    sim::UpgradeConfig u;
    u.dropOnReboot = false;
    u.rebootBird = dir / "next.bird";
    Sim s(u);
    s.Ask({U, 0});
    s.Ask({U, 2});
    s.Ask(Prepare(0));
    s.Ask(Data({9}));
    s.Ask(Write(1));
    s.Ask({U, 6});
    EXPECT_FALSE(s.last.reboot);
    EXPECT_EQ(s.Ask({3, 0x40 | 7, 0x20}), (Replies{{3, 7, 0, 0x2F, 3, 1, 2}}));
  }
}

TEST(SimUpgrade, DescriptorReaderRefusesWhatIsNoFirmwareFile) {
  TempDir dir;
  sim::BirdDescriptor d;
  std::string error;
  EXPECT_FALSE(sim::readBirdDescriptor(dir / "missing.bird", d, error));
  Bytes good = TestBird().bytes();
  WriteBytes(dir / "cut.bird", Bytes(good.begin(), good.end() - 8));
  EXPECT_FALSE(sim::readBirdDescriptor(dir / "cut.bird", d, error));
  EXPECT_NE(error.find("decompress"), std::string::npos) << error;
  WriteText(dir / "text.bird", "plain text, long enough");
  EXPECT_FALSE(sim::readBirdDescriptor(dir / "text.bird", d, error));
  TestBird padded;
  padded.build = 42;
  padded.version = "2.8.1 beta";
  padded.write(dir / "padded.bird");
  ASSERT_TRUE(sim::readBirdDescriptor(dir / "padded.bird", d, error)) << error;
  EXPECT_EQ(d.build, 42u);
  EXPECT_EQ(d.version, "2.8.1");
}

TEST(SimUpgrade, ModuleKeysSetTheUpgradeAndRefuseBadValues) {
  sim::ModuleConfig m;
  std::string error;
  ASSERT_TRUE(sim::parseModuleSpec(
      "flash-file=/tmp/f.bin,reboot-bird=/tmp/n.bird,ignore-data-every=7,bad-sum-once=yes,"
      "mute-prepare=firmware,drop-on-reboot=no,drop-on-load=yes,uei-data=no,pooled=no,block-size=512",
      m, error))
      << error;
  EXPECT_EQ(m.upgrade.flashFile, "/tmp/f.bin");
  EXPECT_EQ(m.upgrade.rebootBird, "/tmp/n.bird");
  EXPECT_EQ(m.upgrade.ignoreDataEvery, 7u);
  EXPECT_TRUE(m.upgrade.badSumOnce && m.upgrade.dropOnLoad);
  EXPECT_FALSE(m.upgrade.dropOnReboot || m.upgrade.ueiData || m.upgrade.pooled);
  EXPECT_EQ(m.upgrade.mutePrepare, sim::UpgradeConfig::Mute::Firmware);
  EXPECT_EQ(m.upgrade.blockSize, 512);
  for (const char* bad :
       {"mute-prepare=sometimes", "flash-file=", "bad-sum-once=maybe", "block-size=65536"}) {
    EXPECT_FALSE(sim::parseModuleSpec(bad, m, error)) << bad;
  }
}
