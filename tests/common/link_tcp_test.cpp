// TCP links against corvalith-sim: round trips, synchronisation, shared use
// counts, heartbeats, reset, a module that reboots and a reset that cannot
// reconnect.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/aLinkTable.h"
#include "common/aStream.h"
#include "link_test_support.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "unix/aStreamOS.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "link_tcp_" + name + "_" + std::to_string(getpid());
}

// Waits up to ms for text to appear in a file the simulator records into.
bool WaitForRecord(const std::string& path, const std::string& text, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadText(path).find(text) != std::string::npos) return true;
    struct timespec pause = {0, 5000000};  // 5 ms between reads of a bounded wait
    nanosleep(&pause, nullptr);
  }
  return false;
}

}  // namespace

TEST(LinkTcp, RoundTripsSyncAndModuleQueries) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=40F58001,tcp=0,build=4242,heartbeat-ms=0"}));
  const uint16_t port = sim.tcpPort("40F58001");
  ASSERT_NE(port, 0);
  aLinkRef id = aLink_CreateTCPIP(0x40F58001, kLoopback, port);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_TRUE(EchoRoundTrip(id, 2, {1, 2, 3, 4}));
  EXPECT_EQ(Request(id, 2, {0x49, 0xFF}), (Bytes{0x49, 0xFF, 0, 0, 0x10, 0x92}));
  // The name comes as a UEI-bytes reply: command, option, index, text, trailer.
  Bytes name = Request(id, 2, {3, 32 | 0x40, 0x20});
  ASSERT_GE(name.size(), 4u);
  EXPECT_EQ(std::string(name.begin() + 3, name.end() - 1), "Corvalith Sim");
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
}

TEST(LinkTcp, SecondCreateSharesTheLinkUntilTheLastDestroy) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=40F58002,tcp=0,heartbeat-ms=0"}));
  const uint16_t port = sim.tcpPort("40F58002");
  aLinkRef first = aLink_CreateTCPIP(0x40F58002, kLoopback, port);
  ASSERT_NE(first, 0u);
  aLinkRef second = aLink_CreateTCPIP(0x40F58002, kLoopback, port);
  EXPECT_EQ(second, first);
  EXPECT_EQ(aLink_GetUseCount(first), 2);
  const aLinkRef kept = first;
  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(aLink_GetStatus(kept), kLinkStatusRunning);
  EXPECT_TRUE(EchoRoundTrip(kept, 2, {9}));
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLink_GetStatus(kept), kLinkStatusNoStream);
  EXPECT_EQ(aLink_FindEntry(TCPIP, 0x40F58002), 0u);
  // A fresh link for the device gets a new identifier.
  aLinkRef again = aLink_CreateTCPIP(0x40F58002, kLoopback, port);
  ASSERT_NE(again, 0u);
  EXPECT_GT(again, kept);
  (void)aLink_Destroy(&again);
}

TEST(LinkTcp, HeartbeatsAreAnsweredOnTheWireAndNeverQueued) {
  const std::string record = TempPath("hb");
  std::remove(record.c_str());
  SimProcess sim;
  ASSERT_TRUE(
      sim.start({"--module", "serial=40F58003,tcp=0,address=6,heartbeat-ms=150", "--record", record}));
  aLinkRef id = aLink_CreateTCPIP(0x40F58003, kLoopback, sim.tcpPort("40F58003"));
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(WaitForRecord(record, "RX 40F58003 tcp 06 02 00 02", 5000));
  EXPECT_TRUE(WaitForRecord(record, "RX 40F58003 tcp 06 02 00 03", 5000));
  EXPECT_EQ(ReadText(record).find("hb-missed"), std::string::npos);
  EXPECT_EQ(aLink_GetPacket(id), nullptr) << "heartbeats stay out of the inbound FIFO";
  EXPECT_TRUE(EchoRoundTrip(id, 6, {0x55}));
  (void)aLink_Destroy(&id);
  std::remove(record.c_str());
}

TEST(LinkTcp, ResetRecreatesTheConnection) {
  const std::string record = TempPath("reset");
  std::remove(record.c_str());
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=40F58004,tcp=0,heartbeat-ms=0", "--record", record}));
  aLinkRef id = aLink_CreateTCPIP(0x40F58004, kLoopback, sim.tcpPort("40F58004"));
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(EchoRoundTrip(id, 2, {1}));
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_TRUE(EchoRoundTrip(id, 2, {2}));
  // The stop sent route-off on the old connection, the restart route-on on the new.
  const std::string text = ReadText(record);
  const size_t off = text.find("RX 40F58004 tcp AF 01 00");
  ASSERT_NE(off, std::string::npos);
  EXPECT_NE(text.find("RX 40F58004 tcp AF 01 01", off), std::string::npos);
  EXPECT_NE(text.find("EV 40F58004 tcp connect", off), std::string::npos);
  (void)aLink_Destroy(&id);
  std::remove(record.c_str());
}

TEST(LinkTcp, ModuleRebootIsNoticedAndTheLinkHealsItself) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=40F58005,tcp=0,heartbeat-ms=0,reboot-ms=300"}));
  aLinkRef id = aLink_CreateTCPIP(0x40F58005, kLoopback, sim.tcpPort("40F58005"));
  ASSERT_NE(id, 0u);
  // System reset (class 3, option 11, a call): the module answers, then drops
  // the connection and its listener for 300 ms.
  EXPECT_EQ(Request(id, 2, {3, 11 | 0x80, 0x20}), (Bytes{3, 11 | 0xC0, 0}));
  EXPECT_TRUE(WaitForStatusNot(id, kLinkStatusRunning, 5000)) << "the link notices the close";
  EXPECT_TRUE(WaitForStatus(id, kLinkStatusRunning, 10000)) << "reconnected and in step again";
  EXPECT_TRUE(EchoRoundTrip(id, 2, {7, 7}));
  (void)aLink_Destroy(&id);
}

TEST(LinkTcp, ConnectionClosedAfterNPacketsIsReconnectedQuietly) {
  const std::string record = TempPath("close");
  std::remove(record.c_str());
  SimProcess sim;
  ASSERT_TRUE(sim.start(
      {"--module", "serial=40F58006,tcp=0,heartbeat-ms=0,close-after=3,reboot-ms=0", "--record", record}));
  aLinkRef id = aLink_CreateTCPIP(0x40F58006, kLoopback, sim.tcpPort("40F58006"));
  ASSERT_NE(id, 0u);
  // Route-on and two echoes make three packets; the third closes. The module
  // listens again at once, so the socket stream reconnects within its read.
  EXPECT_TRUE(EchoRoundTrip(id, 2, {1}));
  EXPECT_TRUE(EchoRoundTrip(id, 2, {2}));
  EXPECT_TRUE(WaitForRecord(record, "EV 40F58006 tcp close", 5000));
  // The link may be back in step before or after it noticed the close; an
  // await returns at once while it is out of step, so wait for it first.
  bool echoed = false;
  for (int attempt = 0; attempt < 5 && !echoed; ++attempt) {
    WaitForStatus(id, kLinkStatusRunning, 2000);
    echoed = EchoRoundTrip(id, 2, {3}, 1000);
  }
  EXPECT_TRUE(echoed);
  const std::string text = ReadText(record);
  EXPECT_NE(text.find("EV 40F58006 tcp connect", text.find("EV 40F58006 tcp close")), std::string::npos);
  (void)aLink_Destroy(&id);
  std::remove(record.c_str());
}

TEST(LinkTcp, ResetThatCannotReconnectLeavesTheLinkStoppedWithTheError) {
  auto sim = std::make_unique<SimProcess>();
  ASSERT_TRUE(sim->start({"--module", "serial=40F58007,tcp=0,heartbeat-ms=0"}));
  aLinkRef id = aLink_CreateTCPIP(0x40F58007, kLoopback, sim->tcpPort("40F58007"));
  ASSERT_NE(id, 0u);
  sim.reset();  // the module is gone for good
  const auto start = std::chrono::steady_clock::now();
  aErr err = aLink_Reset(id);
  EXPECT_NE(err, aErrNone);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900))
      << "20 attempts, 100 ms apart";
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusNoStream);
  EXPECT_EQ(aLink_AwaitFirst(id, nullptr, nullptr, 50), nullptr);
  EXPECT_EQ(aLink_Start(id), aErrNotReady);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkTcp, NothingListeningMakesNoLink) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=40F58008,tcp=0"}));
  const uint16_t port = sim.tcpPort("40F58008");
  sim.stop();
  EXPECT_EQ(aLink_CreateTCPIP(0x40F58008, kLoopback, port), 0u);
  EXPECT_EQ(aLink_FindEntry(TCPIP, 0x40F58008), 0u) << "the failed creation left no entry";
}

TEST(LinkTcp, DroppedRepliesTimeOutAndLaterOnesArrive) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=40F58009,tcp=0,heartbeat-ms=0,drop-every=2"}));
  aLinkRef id = aLink_CreateTCPIP(0x40F58009, kLoopback, sim.tcpPort("40F58009"));
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(EchoRoundTrip(id, 2, {1}));
  EXPECT_FALSE(EchoRoundTrip(id, 2, {2}, 300));
  EXPECT_TRUE(EchoRoundTrip(id, 2, {3}));
  (void)aLink_Destroy(&id);
}

namespace {

// A listener on 127.0.0.1 whose accept queue is full: later SYNs are dropped,
// so a connect to it is never answered. Fillers keep their sockets open.
struct DeafListener {
  int fd = -1;
  uint16_t port = 0;
  std::vector<int> fillers;

  bool open() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = kLoopback;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 0) != 0)
      return false;
    socklen_t len = sizeof at;
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
    port = ntohs(at.sin_port);
    // Connect until one is left unanswered; bounded in count.
    for (int i = 0; i < 16; ++i) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      fillers.push_back(c);
      if (connect(c, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) continue;
      pollfd pfd{c, POLLOUT, 0};
      if (poll(&pfd, 1, 200) == 0) return true;
    }
    return false;
  }
  ~DeafListener() {
    for (int c : fillers) close(c);
    if (fd >= 0) close(fd);
  }
};

}  // namespace

TEST(LinkTcp, UnansweredConnectFailsInItsBoundWithoutStallingOtherLinks) {
  DeafListener deaf;
  ASSERT_TRUE(deaf.open()) << "could not fill the accept queue of a loopback listener";
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=40F58011,tcp=0,heartbeat-ms=0"}));
  const uint16_t port = sim.tcpPort("40F58011");
  ASSERT_NE(port, 0);

  using Clock = std::chrono::steady_clock;
  std::atomic<bool> deafLinkDone{false};
  aLinkRef deafLink = 1;
  aErr streamErr = aErrNone;
  long long deafMs = 0;
  const auto start = Clock::now();
  std::thread linkThread([&] {
    deafLink = aLink_CreateTCPIP(0x40F58010, kLoopback, deaf.port);
    deafMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    deafLinkDone.store(true);
  });
  std::thread streamThread([&] {
    aStreamRef stream = nullptr;
    streamErr = aStream_CreateSocket(kLoopback, deaf.port, &stream);
    if (stream) (void)aStream_Destroy(&stream);
  });
  // Created while the unanswered connect is still waiting.
  aLinkRef good = aLink_CreateTCPIP(0x40F58011, kLoopback, port);
  EXPECT_NE(good, 0u);
  EXPECT_FALSE(deafLinkDone.load()) << "the working link waited for the unreachable one";
  EXPECT_TRUE(EchoRoundTrip(good, 2, {7}));
  linkThread.join();
  streamThread.join();
  EXPECT_EQ(deafLink, 0u);
  EXPECT_EQ(streamErr, aErrConnection);
  EXPECT_GE(deafMs, kConnectTimeoutMs - 100);
  EXPECT_LT(deafMs, kConnectTimeoutMs + 2000);
  RecordProperty("unanswered_connect_ms", static_cast<int>(deafMs));
  std::printf("unanswered connect gave up after %lld ms\n", deafMs);
  EXPECT_EQ(aLink_FindEntry(TCPIP, 0x40F58010), 0u);
  (void)aLink_Destroy(&good);
}
