// The simulated module's store slots, factory data and stream samples,
// driven in-process with packets written out byte by byte here.
#include <gtest/gtest.h>

#include "sim/SimConfig.h"
#include "sim/SimModule.h"
#include "support/TempFiles.h"

using sim::Packet;
using sim::SimModule;
typedef std::vector<uint8_t> Bytes;

namespace {

constexpr uint8_t kAddr = 6;

std::vector<Bytes> Ask(SimModule& m, const Bytes& data, uint64_t nowMs = 0) {
  std::vector<Bytes> out;
  for (const Packet& p : m.handle(Packet{kAddr, data}, nowMs).replies) out.push_back(p.data);
  return out;
}

// The one reply to a request; empty when there was none or more.
Bytes One(SimModule& m, const Bytes& data, uint64_t nowMs = 0) {
  std::vector<Bytes> r = Ask(m, data, nowMs);
  EXPECT_EQ(r.size(), 1u) << "replies to " << sim::toHex(data);
  return r.size() == 1 ? r[0] : Bytes{};
}

sim::ModuleConfig Config(const std::string& spec) {
  sim::ModuleConfig c;
  c.address = kAddr;
  std::string error;
  EXPECT_TRUE(sim::parseModuleSpec(spec, c, error)) << error;
  EXPECT_TRUE(sim::checkStorage(c.storage, error)) << error;
  return c;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

uint8_t Sum8(const Bytes& b, size_t from, size_t n) {
  unsigned s = 0;
  for (size_t i = from; i < from + n; ++i) s += b[i];
  return static_cast<uint8_t>(s & 0xFF);
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(SimStorage, SlotWrittenInChunksReadsBackAndCloses) {
  SimModule m(Config("store=1:3:100"));
  EXPECT_EQ(One(m, {4, 1, 1, 2}), (Bytes{4, 1, 1, 2, 0, 100})) << "capacity";
  const Bytes data = Pattern(60, 0xF0);
  const Bytes open = One(m, {4, 4, 1, 2});
  ASSERT_EQ(open.size(), 5u);
  ASSERT_EQ(Bytes(open.begin(), open.begin() + 4), (Bytes{4, 4, 1, 2}));
  const uint8_t h = open[4];
  size_t at = 0;
  for (size_t n : {25, 25, 10}) {
    Bytes write{4, 7, h};
    write.insert(write.end(), data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n));
    EXPECT_EQ(One(m, write), (Bytes{4, 7, h, Sum8(data, at, n)})) << "chunk at " << at;
    at += n;
  }
  EXPECT_EQ(One(m, {4, 8, h}), (Bytes{4, 8, h, 0}));
  EXPECT_EQ(One(m, {4, 2, 1, 2}), (Bytes{4, 2, 1, 2, 0, 60})) << "size";

  const Bytes rd = One(m, {4, 3, 1, 2});
  ASSERT_EQ(rd.size(), 5u);
  const uint8_t r = rd[4];
  Bytes back;
  for (size_t n : {25, 25, 10}) {
    Bytes reply = One(m, {4, 6, r});
    ASSERT_EQ(reply.size(), 3 + n) << "a read fills the 28-byte packet";
    ASSERT_EQ(Bytes(reply.begin(), reply.begin() + 3), (Bytes{4, 6, r}));
    back.insert(back.end(), reply.begin() + 3, reply.end());
  }
  EXPECT_EQ(back, data);
  EXPECT_EQ(One(m, {4, 6, r}), (Bytes{4, 0x86, r, 10})) << "aErrEOF after the end";
  EXPECT_EQ(One(m, {4, 8, r}), (Bytes{4, 8, r, 0}));
  EXPECT_EQ(m.storage().openHandles(), 0u);
}

TEST(SimStorage, SlotErrorsEchoTheRequestWithTheErrorBit) {
  SimModule m(Config("store=0:2:30"));
  const Bytes w = One(m, {4, 4, 0, 0});
  ASSERT_EQ(w.size(), 5u);
  const uint8_t h = w[4];
  struct Case {
    const char* what;
    Bytes request, reply;
  } cases[] = {
      {"unknown store", {4, 1, 9, 0}, {4, 0x81, 9, 0, 3}},
      {"slot beyond the store", {4, 3, 0, 2}, {4, 0x83, 0, 2, 26}},
      {"slot already open", {4, 3, 0, 0}, {4, 0x83, 0, 0, 5}},
      {"unknown handle", {4, 6, static_cast<uint8_t>(h + 1)}, {4, 0x86, static_cast<uint8_t>(h + 1), 2}},
      {"read on a write handle", {4, 6, h}, {4, 0x86, h, 7}},
      {"unknown option", {4, 5, h}, {4, 0x85, h, 21}},
  };
  for (const Case& c : cases) EXPECT_EQ(One(m, c.request), c.reply) << c.what;
  EXPECT_EQ(One(m, Cat({4, 7, h}, Bytes(25, 1))), (Bytes{4, 7, h, 25}));
  EXPECT_EQ(One(m, {4, 7, h, 1, 1, 1, 1, 1, 1}), (Bytes{4, 0x87, h, 15})) << "31 > 30";
  EXPECT_EQ(m.storage().slot(0, 0)->size(), 25u) << "a refused write stores nothing";
  EXPECT_TRUE(Ask(m, {4, 1, 0}).empty()) << "no slot to answer to";
}

TEST(SimStorage, FaultsSpoilTheSumAndRefuseTheOpen) {
  SimModule m(Config("store=0:2:200,slot-bad-sum-every=2,slot-refuse-open=0:1"));
  EXPECT_EQ(One(m, {4, 3, 0, 1}), (Bytes{4, 0x83, 0, 1, 31}));
  EXPECT_EQ(One(m, {4, 4, 0, 1}), (Bytes{4, 0x84, 0, 1, 31}));
  const uint8_t h = One(m, {4, 4, 0, 0}).at(4);
  EXPECT_EQ(One(m, {4, 7, h, 0x10, 0x20}), (Bytes{4, 7, h, 0x30}));
  EXPECT_EQ(One(m, {4, 7, h, 0x10, 0x20}), (Bytes{4, 7, h, 0x31})) << "second reply off by one";
  EXPECT_EQ(One(m, {4, 7, h, 0xFF, 0x02}), (Bytes{4, 7, h, 0x01}));
  EXPECT_EQ(*m.storage().slot(0, 0), (Bytes{0x10, 0x20, 0x10, 0x20, 0xFF, 0x02}));
}

TEST(SimStorage, FactoryDataGetsInFullPartsAndSetsOnClose) {
  const Bytes initial = Pattern(30, 0x11);
  std::string hex;
  for (uint8_t b : initial) hex += sim::toHex({b});
  SimModule m(Config("factory=2:" + hex));
  Bytes first = One(m, {0x5E, 0x42});
  EXPECT_EQ(first, Cat({0x5E, 0x02}, Bytes(initial.begin(), initial.begin() + 26)));
  EXPECT_EQ(One(m, {0x5E, 0x02}), Cat({0x5E, 0x02}, Bytes(initial.begin() + 26, initial.end())));
  EXPECT_EQ(One(m, {0x5E, 0x20, 0, 30}), (Bytes{0x5E, 0}));

  const Bytes data = Pattern(52, 0x80);  // exactly two full parts
  EXPECT_EQ(One(m, Cat({0x5E, 0x53}, Bytes(data.begin(), data.begin() + 26))), (Bytes{0x5E, 3}));
  EXPECT_EQ(One(m, Cat({0x5E, 0x13}, Bytes(data.begin() + 26, data.end()))), (Bytes{0x5E, 3}));
  EXPECT_TRUE(m.storage().factory(3).empty()) << "nothing changes before the close";
  EXPECT_EQ(One(m, {0x5E, 0x20, 0, 52}), (Bytes{0x5E, 0}));
  EXPECT_EQ(m.storage().factory(3), data);
  EXPECT_EQ(One(m, {0x5E, 0x43}).size(), 28u);
  EXPECT_EQ(One(m, {0x5E, 0x03}).size(), 28u);
  EXPECT_EQ(One(m, {0x5E, 0x03}), (Bytes{0x5E, 3})) << "an empty part ends a multiple of 26";
  EXPECT_EQ(One(m, {0x5E, 0x20, 0, 52}), (Bytes{0x5E, 0}));

  EXPECT_EQ(One(m, {0x5E, 0x20, 0, 0}), (Bytes{0x5E, 0})) << "a set of nothing is only the close";
  EXPECT_EQ(One(m, {0x5E, 0x54, 1, 2, 3}), (Bytes{0x5E, 4}));
  EXPECT_EQ(One(m, {0x5E, 0x20, 0, 2}), (Bytes{0x5E, 0x80, 14})) << "count does not match";
  EXPECT_TRUE(m.storage().factory(4).empty());
  EXPECT_EQ(One(m, {0x5E, 0x07}), (Bytes{0x5E, 0x87, 7})) << "continuation without a first packet";
  EXPECT_EQ(One(m, Cat({0x5E, 0x55}, Bytes(27, 0))), (Bytes{0x5E, 0x85, 14})) << "27 bytes in one packet";
}

TEST(SimStorage, SlotAndFactoryFilesLoadAndAreRewrittenOnClose) {
  TempDir dir;
  const Bytes stored = Pattern(40, 3);
  WriteBytes(dir / "s1", stored);
  WriteBytes(dir / "f5", {9, 8, 7});
  SimModule m(Config("store=2:2:64,slot-file=2:1:" + (dir / "s1") + ",slot-file=2:0:" + (dir / "new") +
                     ",factory-file=5:" + (dir / "f5")));
  EXPECT_EQ(One(m, {4, 2, 2, 1}), (Bytes{4, 2, 2, 1, 0, 40}));
  EXPECT_EQ(One(m, {0x5E, 0x45}), (Bytes{0x5E, 5, 9, 8, 7}));
  EXPECT_EQ(One(m, {0x5E, 0x20, 0, 3}), (Bytes{0x5E, 0}));

  const uint8_t h = One(m, {4, 4, 2, 1}).at(4);
  EXPECT_EQ(ReadBytes(dir / "s1"), stored) << "the file changes on close, not on open";
  EXPECT_EQ(One(m, {4, 7, h, 0xAA, 0xBB}).size(), 4u);
  EXPECT_EQ(One(m, {4, 8, h}), (Bytes{4, 8, h, 0}));
  EXPECT_EQ(ReadBytes(dir / "s1"), (Bytes{0xAA, 0xBB}));
  EXPECT_EQ(One(m, {0x5E, 0x55, 1}), (Bytes{0x5E, 5}));
  EXPECT_EQ(One(m, {0x5E, 0x20, 0, 1}), (Bytes{0x5E, 0}));
  EXPECT_EQ(ReadBytes(dir / "f5"), (Bytes{1}));

  // A write left open reaches its file at exit.
  const uint8_t h0 = One(m, {4, 4, 2, 0}).at(4);
  EXPECT_EQ(One(m, {4, 7, h0, 5}).size(), 4u);
  std::string error;
  EXPECT_TRUE(m.saveFiles(error)) << error;
  EXPECT_EQ(ReadBytes(dir / "new"), (Bytes{5}));
}

TEST(SimStorage, ConfigurationRefusesWhatCannotWork) {
  TempDir dir;
  WriteBytes(dir / "big", Bytes(11, 0));
  struct Case {
    const char* spec;
    bool parses;
  } cases[] = {
      {"store=0:0:10", false},
      {"store=0:2:65536", false},
      {"store=0:2:10,store=0:3:10", false},
      {"store=1:2", false},
      {"factory=16:00", false},
      {"factory=1:ABC", false},
      {"factory=1:zz", false},
      {"stream-ms=0", false},
      {"stream-source=random", false},
      {"stream-entity=3:1:0:4", false},
      {"stream-entity=4:1:0:4", false},
      {"stream-entity=20:1:0:3", false},
      {"stream-entity=20:64:0:2", false},
      {"stream-entity=20:1:0:2:4:7", true},
      {"factory=1:", true},
  };
  for (const Case& c : cases) {
    sim::ModuleConfig m;
    std::string error;
    EXPECT_EQ(sim::parseModuleSpec(c.spec, m, error), c.parses) << c.spec << ": " << error;
  }
  struct Check {
    std::string spec;
    bool ok;
  } checks[] = {
      {"slot-file=0:0:" + (dir / "x"), false},
      {"store=0:1:10,slot-file=0:1:" + (dir / "x"), false},
      {"store=0:1:10,slot-file=0:0:" + (dir / "big"), false},
      {"store=0:1:11,slot-file=0:0:" + (dir / "big"), true},
      {"slot-refuse-open=3:0", false},
  };
  for (const Check& c : checks) {
    sim::ModuleConfig m;
    std::string error;
    ASSERT_TRUE(sim::parseModuleSpec(c.spec, m, error)) << c.spec << ": " << error;
    EXPECT_EQ(sim::checkStorage(m.storage, error), c.ok) << c.spec;
  }
}

namespace {

// Data bytes of a well-formed sample by type; 0 for no such type.
size_t SampleLength(uint8_t type) {
  switch (type) {
    case 1:
      return 14;
    case 2:
      return 15;
    case 3:
      return 17;
    case 5:
      return 15;
    case 6:
      return 16;
    case 7:
      return 18;
    default:
      return 0;
  }
}

struct Sample {
  uint8_t command, option, index, type, subindex;
  uint64_t stampUs;
  uint32_t value;
};

// Reads one sample the way the host is told to; false when it is not one.
bool ParseSample(const Bytes& d, Sample& s) {
  if (d.size() < 5 || d[1] >= 64 || !(d[2] & 0x40) || d.size() != SampleLength(d[3]) || d.back() != 0)
    return false;
  s.command = d[0];
  s.option = d[1];
  s.index = d[2] & 0x1F;
  s.type = d[3];
  const bool sub = s.type >= 5;
  s.subindex = sub ? d[4] : 0;
  size_t at = sub ? 5 : 4;
  s.stampUs = 0;
  for (int i = 0; i < 8; ++i) s.stampUs = s.stampUs << 8 | d[at++];
  s.value = 0;
  while (at + 1 < d.size()) s.value = s.value << 8 | d[at++];
  return true;
}

Bytes Key(uint8_t cmd, uint8_t opt, uint8_t idx) {
  return {kAddr, cmd, opt, idx};
}

std::vector<Bytes> Samples(SimModule& m, uint64_t nowMs) {
  std::vector<Bytes> out;
  for (const Packet& p : m.takeSamples(nowMs)) {
    EXPECT_EQ(p.address, kAddr);
    out.push_back(p.data);
  }
  return out;
}

}  // namespace

TEST(SimStreams, EnabledStreamSendsWellFormedSamplesOnItsGrid) {
  SimModule m(Config("stream-ms=100,stream-entity=20:1:2:2:3,stream-entity=21:0:0:1"));
  m.reboot(1000);
  EXPECT_EQ(One(m, {0x5D, 0x41, 0x20}, 1000), (Bytes{0x5D, 1, 0, 0})) << "not streaming";
  EXPECT_EQ(One(m, Cat({0x5D, 0x81, 0x20}, Key(3, 9, 0)), 1500), (Bytes{0x5D, 0xC1, 0}));
  EXPECT_EQ(One(m, {0x5D, 0x41, 0x20}, 1500), (Bytes{0x5D, 1, 0, 1}));
  EXPECT_TRUE(Samples(m, 1599).empty());
  std::vector<Bytes> s = Samples(m, 1600);
  ASSERT_EQ(s.size(), 1u);
  Sample x;
  ASSERT_TRUE(ParseSample(s[0], x)) << sim::toHex(s[0]);
  EXPECT_EQ(x.command, 3);
  EXPECT_EQ(x.option, 9);
  EXPECT_EQ(x.type, 3) << "the serial number is 32 bits";
  EXPECT_EQ(x.stampUs, 600000u);
  EXPECT_EQ(x.value, 0u) << "the counter starts at 0";
  // 350 ms late: the samples of 1700 and 1800 are skipped, 1900 goes out.
  s = Samples(m, 1950);
  ASSERT_EQ(s.size(), 1u);
  ASSERT_TRUE(ParseSample(s[0], x));
  EXPECT_EQ(x.stampUs, 900000u);
  EXPECT_EQ(x.value, 1u);

  // Any option of class 20 index 2: the 16-bit entity with three subindexes.
  EXPECT_EQ(One(m, Cat({0x5D, 0x81, 0x20}, Key(20, 0xFF, 2)), 1950), (Bytes{0x5D, 0xC1, 0}));
  s = Samples(m, 2000);
  ASSERT_EQ(s.size(), 4u);
  ASSERT_TRUE(ParseSample(s[3], x));
  EXPECT_EQ(x.option, 9);
  for (uint8_t sub = 0; sub < 3; ++sub) {
    ASSERT_TRUE(ParseSample(s[sub], x)) << sim::toHex(s[sub]);
    EXPECT_EQ(x.type, 6);
    EXPECT_EQ(x.subindex, sub);
    EXPECT_EQ(x.index, 2);
    EXPECT_EQ(x.value, sub);
  }
  EXPECT_EQ(One(m, Cat({0x5D, 0x82, 0x20}, Key(3, 9, 0)), 2000), (Bytes{0x5D, 0xC2, 0}));
  EXPECT_EQ(Samples(m, 2100).size(), 3u) << "only the other stream remains";
  EXPECT_EQ(One(m, Cat({0x5D, 0x82, 0x20}, Key(0xFF, 0xFF, 0xFF)), 2100), (Bytes{0x5D, 0xC2, 0}));
  EXPECT_TRUE(Samples(m, 2200).empty());
  EXPECT_EQ(One(m, {0x5D, 0x41, 0x20}, 2200), (Bytes{0x5D, 1, 0, 0}));
}

TEST(SimStreams, ValuesTypesRefusalsAndTheBadSampleFault) {
  SimModule m(Config("stream-source=value,stream-entity=21:0:0:1:0:300,bad-sample-every=3"));
  m.reboot(0);
  struct Refusal {
    const char* what;
    Bytes request, reply;
  } refusals[] = {
      {"no such entity", Cat({0x5D, 0x81, 0x20}, Key(3, 10, 0)), {0x5D, 0xC1, 0x80, 3}},
      {"another module's key", {0x5D, 0x81, 0x20, 8, 3, 9, 0}, {0x5D, 0xC1, 0x80, 2}},
      {"index 1", Cat({0x5D, 0x81, 0x21}, Key(3, 9, 0)), {0x5D, 0xC1, 0x81, 26}},
      {"short key", {0x5D, 0x81, 0x20, kAddr, 3, 9}, {0x5D, 0xC1, 0x80, 14}},
      {"option 3", Cat({0x5D, 0x83, 0x20}, Key(3, 9, 0)), {0x5D, 0xC3, 0x80, 21}},
  };
  for (const Refusal& r : refusals) EXPECT_EQ(One(m, r.request), r.reply) << r.what;
  // The module query tells which stream control UEIs there are.
  EXPECT_EQ(One(m, {0x49, 1, 0x5D, 0x01, 0x20, 0x40}), (Bytes{0x49, 1, 0x5D, 0x01, 0x20, 0}));
  EXPECT_EQ(One(m, {0x49, 1, 0x5D, 0x02, 0x20, 0x80}), (Bytes{0x49, 1, 0x5D, 0x02, 0x20, 0}));
  EXPECT_EQ(One(m, {0x49, 1, 0x5D, 0x02, 0x20, 0x40}), (Bytes{0x49, 1, 0x5D, 0x02, 0x20, 21}));

  EXPECT_EQ(One(m, Cat({0x5D, 0x81, 0x20}, Key(3, 9, 0))).size(), 3u);
  EXPECT_EQ(One(m, Cat({0x5D, 0x81, 0x20}, Key(21, 0, 0))).size(), 3u);
  // The declared entity comes first, then the system options.
  std::vector<Bytes> s = Samples(m, 100);
  ASSERT_EQ(s.size(), 2u);
  Sample x;
  ASSERT_TRUE(ParseSample(s[0], x));
  EXPECT_EQ(x.type, 1);
  EXPECT_EQ(x.value, 300u & 0xFF) << "a 1-byte entity sends the low byte";
  ASSERT_TRUE(ParseSample(s[1], x));
  EXPECT_EQ(x.value, 0x1A2B3C4Du) << "value: the serial number a get returns";
  s = Samples(m, 200);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_FALSE(ParseSample(s[0], x)) << "the third sample is spoiled: " << sim::toHex(s[0]);
  EXPECT_EQ(s[0].size(), 14u);
  EXPECT_EQ(s[0][3], 2) << "a byte sample that says it has 16 bits";
  EXPECT_TRUE(ParseSample(s[1], x));

  m.reboot(250);
  EXPECT_FALSE(m.streaming()) << "a restart ends the streams";
}
