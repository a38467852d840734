// corvalith-sim as a program: startup lines, clean stop, links it makes and
// removes, the record file and the faults, seen from a plain TCP client.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "support/Loopback.h"
#include "support/SimProcess.h"

typedef std::vector<uint8_t> Bytes;

namespace {

// Reads until count bytes arrived or ms passed.
Bytes ReadSome(int fd, size_t count, int ms) {
  Bytes out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    uint8_t buf[256];
    ssize_t n = read(fd, buf, std::min(sizeof buf, count - out.size()));
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

void Send(int fd, const Bytes& b) {
  ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + "sim_" + name + "_" + std::to_string(getpid());
}

}  // namespace

TEST(SimProcess, PrintsOneLinePerEndpointAndStopsCleanlyOnSigterm) {
  const std::string link = Temp("serial");
  const std::string dir = Temp("dev");
  mkdir(dir.c_str(), 0700);
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=0000ABCD,tcp=0,serial-link=" + link, "--module",
                         "serial=0000ABCE,kernel=yes,address=4", "--dev-dir", dir}));
  ASSERT_EQ(sim.lines().size(), 3u);
  EXPECT_EQ(sim.lines()[0].rfind("LISTEN tcp 127.0.0.1:", 0), 0u);
  EXPECT_EQ(sim.lines()[1], "LISTEN serial " + link + " serial=0000ABCD");
  EXPECT_EQ(sim.lines()[2], "LISTEN kernel " + dir + "/corvalith.0000ABCE serial=0000ABCE");
  struct stat st;
  EXPECT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  const int status = sim.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "links are removed on exit";
  EXPECT_NE(lstat((dir + "/corvalith.0000ABCE").c_str(), &st), 0);
  rmdir(dir.c_str());
}

TEST(SimProcess, RefusesBadCommandLines) {
  SimProcess sim;
  EXPECT_FALSE(sim.start({"--module", "address=3"}, {}, 5000));
  const int status = sim.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  // A regular file where a link should go is not replaced.
  const std::string file = Temp("taken");
  std::ofstream(file) << "keep";
  SimProcess taken;
  EXPECT_FALSE(taken.start({"--module", "serial-link=" + file}, {}, 5000));
  const int status2 = taken.stop();
  EXPECT_TRUE(WIFEXITED(status2) && WEXITSTATUS(status2) == 1) << status2;
  std::ifstream in(file);
  std::string text;
  in >> text;
  EXPECT_EQ(text, "keep");
  std::remove(file.c_str());
}

TEST(SimProcess, RecordsReceivedAndSentPacketsAsHex) {
  const std::string record = Temp("record");
  std::remove(record.c_str());
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=0000ABD0,tcp=0,heartbeat-ms=0", "--record", record}));
  int fd = ConnectLoopback(sim.tcpPort("0000ABD0"));
  ASSERT_GE(fd, 0);
  Send(fd, {0xAD, 0x00, 0x02, 0x02, 0x17, 0x2A});
  EXPECT_EQ(ReadSome(fd, 6, 3000), (Bytes{0x02, 0x00, 0x02, 0x02, 0x17, 0x2A}));
  close(fd);
  sim.stop();
  std::ifstream in(record);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("RX 0000ABD0 tcp AD 00\nTX 0000ABD0 tcp 02 00\n"), std::string::npos) << text;
  EXPECT_NE(text.find("RX 0000ABD0 tcp 02 02 17 2A\nTX 0000ABD0 tcp 02 02 17 2A\n"), std::string::npos)
      << text;
  std::remove(record.c_str());
}

TEST(SimProcess, HeartbeatsDelayAndMuteFaults) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=0000ABD1,tcp=0,heartbeat-ms=50,address=4", "--module",
                         "serial=0000ABD2,tcp=0,heartbeat-ms=0,delay-ms=300", "--module",
                         "serial=0000ABD3,tcp=0,heartbeat-ms=50,mute-after=1"}));
  int hb = ConnectLoopback(sim.tcpPort("0000ABD1"));
  ASSERT_GE(hb, 0);
  EXPECT_EQ(ReadSome(hb, 8, 3000), (Bytes{4, 2, 0, 0, 4, 2, 0, 1})) << "up, then down";
  close(hb);

  int slow = ConnectLoopback(sim.tcpPort("0000ABD2"));
  ASSERT_GE(slow, 0);
  const auto start = std::chrono::steady_clock::now();
  Send(slow, {0x02, 0x01, 0x17});
  EXPECT_EQ(ReadSome(slow, 3, 3000), (Bytes{0x02, 0x01, 0x17}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
  close(slow);

  int mute = ConnectLoopback(sim.tcpPort("0000ABD3"));
  ASSERT_GE(mute, 0);
  Send(mute, {0x02, 0x01, 0x17});
  Bytes first = ReadSome(mute, 3, 3000);
  // The first packet is answered (a heartbeat may come first).
  Bytes all = first;
  Bytes more = ReadSome(mute, 64, 300);
  all.insert(all.end(), more.begin(), more.end());
  ASSERT_FALSE(all.empty());
  Send(mute, {0x02, 0x01, 0x18});
  EXPECT_TRUE(ReadSome(mute, 1, 400).empty()) << "nothing after the mute, not even heartbeats";
  close(mute);
}

TEST(SimProcess, LifetimeEndsAForgottenSimulator) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--lifetime", "1"}));
  const int status = sim.waitExit(5000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
