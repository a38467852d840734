// corvalith-sim as a program, seen from a plain TCP client: stream samples
// at the configured rate between the replies, streams that end with the
// link, and slot files rewritten when a written slot is closed.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "support/Loopback.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

typedef std::vector<uint8_t> Bytes;

namespace {

using Clock = std::chrono::steady_clock;

// One whole packet (address, length, data) within ms; empty on time-out.
Bytes ReadPacket(int fd, int ms) {
  Bytes out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    const size_t want = out.size() < 2 ? 2 : size_t{out[1]} + 2;
    if (out.size() == want && out.size() >= 2) return out;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    uint8_t buf[64];
    ssize_t n = read(fd, buf, want - out.size());
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out.size() >= 2 && out.size() == size_t{out[1]} + 2 ? out : Bytes{};
}

// The first packet that is not a stream sample (index byte bit 6), within ms.
Bytes ReadReply(int fd, int ms) {
  for (int i = 0; i < 200; ++i) {
    Bytes p = ReadPacket(fd, ms);
    if (p.size() < 5 || !(p[4] & 0x40)) return p;
  }
  return {};
}

void Send(int fd, const Bytes& b) {
  ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

uint64_t Be(const Bytes& b, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = v << 8 | b[at + i];
  return v;
}

}  // namespace

TEST(SimStreamProcess, SamplesComeAtTheRateAndEndWithTheLink) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=0000AC01,tcp=0,heartbeat-ms=0,stream-ms=40"}));
  int fd = ConnectLoopback(sim.tcpPort("0000AC01"));
  ASSERT_GE(fd, 0);
  const auto start = Clock::now();
  Send(fd, {0x02, 7, 0x5D, 0x81, 0x20, 0x02, 3, 22, 0});  // stream the uptime
  EXPECT_EQ(ReadPacket(fd, 3000), (Bytes{0x02, 3, 0x5D, 0xC1, 0x00}));
  std::vector<Bytes> samples;
  for (int i = 0; i < 10; ++i) {
    Bytes p = ReadPacket(fd, 3000);
    ASSERT_EQ(p.size(), 19u) << "sample " << i;
    samples.push_back(p);
  }
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(390)) << "ten samples 40 ms apart, never faster";
  for (size_t i = 0; i < samples.size(); ++i) {
    const Bytes& s = samples[i];
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 6), (Bytes{0x02, 17, 3, 22, 0x40, 3})) << i;
    EXPECT_EQ(Be(s, 14, 4), i) << "counter";
    EXPECT_EQ(s[18], 0);
    if (i == 0) continue;
    const uint64_t gapUs = Be(s, 6, 8) - Be(samples[i - 1], 6, 8);
    EXPECT_TRUE(gapUs >= 40000 && gapUs % 40000 == 0) << "gap " << gapUs << " us after sample " << i;
  }
  // A command between the samples is answered as ever.
  Send(fd, {0x02, 3, 0x5D, 0x41, 0x20});
  EXPECT_EQ(ReadReply(fd, 3000), (Bytes{0x02, 4, 0x5D, 0x01, 0x00, 0x01}));
  close(fd);

  fd = ConnectLoopback(sim.tcpPort("0000AC01"));
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(ReadPacket(fd, 200).empty()) << "the streams ended with the old link";
  Send(fd, {0x02, 3, 0x5D, 0x41, 0x20});
  EXPECT_EQ(ReadPacket(fd, 3000), (Bytes{0x02, 4, 0x5D, 0x01, 0x00, 0x00}));
  close(fd);
  sim.stop();
}

TEST(SimStreamProcess, ClosingAWrittenSlotRewritesItsFile) {
  TempDir dir;
  const std::string slot = dir / "slot.bin";
  WriteBytes(slot, {1, 2, 3, 4, 5});
  SimProcess sim;
  ASSERT_TRUE(
      sim.start({"--module", "serial=0000AC02,tcp=0,heartbeat-ms=0,store=0:1:64,slot-file=0:0:" + slot}));
  int fd = ConnectLoopback(sim.tcpPort("0000AC02"));
  ASSERT_GE(fd, 0);
  Send(fd, {0x02, 4, 4, 2, 0, 0});
  EXPECT_EQ(ReadPacket(fd, 3000), (Bytes{0x02, 6, 4, 2, 0, 0, 0, 5})) << "size of the file";
  Send(fd, {0x02, 4, 4, 4, 0, 0});
  Bytes open = ReadPacket(fd, 3000);
  ASSERT_EQ(open.size(), 7u);
  const uint8_t h = open[6];
  Send(fd, {0x02, 6, 4, 7, h, 0x30, 0x31, 0x32});
  EXPECT_EQ(ReadPacket(fd, 3000), (Bytes{0x02, 4, 4, 7, h, 0x93}));
  EXPECT_EQ(ReadBytes(slot), (Bytes{1, 2, 3, 4, 5})) << "not before the close";
  Send(fd, {0x02, 3, 4, 8, h});
  EXPECT_EQ(ReadPacket(fd, 3000), (Bytes{0x02, 4, 4, 8, h, 0}));
  EXPECT_EQ(ReadBytes(slot), (Bytes{0x30, 0x31, 0x32})) << "written before the close is answered";
  close(fd);
  sim.stop();
}
