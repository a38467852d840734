// The device server and its client links: request multiplexing and reply
// routing, UEI byte sequences, route packets, stream fan-out, flushing,
// discovery, and a client whose server stops answering. Every server answers
// the loopback multicast probe, so this program runs only inside a private
// network namespace (scripts/netns-run, which CTest uses for it).
//
// The "device" is either corvalith-sim (shared by a corvalith-share process)
// or FakePeer, which records what reached it in order.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aLink.h"
#include "common/aLinkTable.h"
#include "common/aServer.h"
#include "cpp/Link.h"
#include "cpp/Module.h"
#include "cpp_test_support.h"
#include "support/ChildProcess.h"
#include "support/Environment.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "unix/aDiscoveryOS.h"

using Tessaron::Corvalith::Link;
using Tessaron::Corvalith::Module;

namespace {

typedef std::vector<uint8_t> Bytes;

constexpr uint32_t kLoopback = aDiscovery_IPv4(127, 0, 0, 1);
constexpr uint32_t kSimSerial = 0x1234ABCD;
constexpr uint8_t kSimAddress = 4;
constexpr uint32_t kPeerSerial = 0x5E5E0001;
constexpr uint8_t kPeerModel = 42;
constexpr uint8_t kEcho = 0x17;
// A reply through the server takes one device round trip plus two hops.
constexpr int kReplyMs = 2000;

aErr sPut(aLinkRef link, uint8_t address, const Bytes& data) {
  aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
  if (!packet) return aErrMemory;
  const aErr err = aLink_PutPacket(link, packet);
  (void)aPacket_Destroy(&packet);
  return err;
}

// The next packet the link received, whatever it is: (address, data), or
// empty when none came within ms.
Bytes sNext(aLinkRef link, int ms) {
  aPacket* packet = aLink_AwaitPacket(link, ms);
  if (!packet) return {};
  Bytes out{packet->address};
  out.insert(out.end(), packet->data, packet->data + packet->length);
  (void)aPacket_Destroy(&packet);
  return out;
}

bool sWaitRunning(aLinkRef link) {
  return WaitFor([&] { return aLink_GetStatus(link) == kLinkStatusRunning; }, 3000);
}

// Answers the server's model query and echoes 0x17, as a module would.
std::vector<RawPacket> sModuleAnswers(const RawPacket& in) {
  if (in.data.size() == 3 && in.data[0] == 0x03 && in.data[1] == 0x48) {
    return {RawPacket{in.address, {0x03, 0x48, 0x20, kPeerModel}}};
  }
  if (!in.data.empty() && in.data[0] == kEcho) return {RawPacket{in.address, in.data}};
  return {};
}

// One UEI byte-sequence packet: command 0x10, option 5, index 1, then 24
// payload bytes and the trailer (more flag, sequence) for a full part, or 2
// bytes and the trailer for the last one.
Bytes sUeiPart(uint8_t sequence, bool more) {
  Bytes p{0x10, 0x05, 0x01};
  p.insert(p.end(), more ? 24 : 2, static_cast<uint8_t>(0x60 + sequence));
  p.push_back(static_cast<uint8_t>((more ? 0x80 : 0) | sequence));
  return p;
}

class DeviceServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
  }
};

// ---- Against corvalith-sim, shared by a corvalith-share process.

class ShareTest : public DeviceServerTest {
 protected:
  void SetUp() override {
    DeviceServerTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(sim.start({"--discovery", "all", "--lifetime", "120", "--record", recordPath(), "--module",
                           "serial=1234ABCD,address=4,model=17,tcp=0"}));
    ASSERT_TRUE(share.spawn(std::string(CV_BINARY_DIR) + "/corvalith-share",
                            {"-d", "1234ABCD", "-t", "TCP", "--local-only"}));
    std::string line;
    const auto deadline = ChildProcess::Clock::now() + std::chrono::seconds(20);
    while (port == 0 && share.readLine(&line, deadline)) {
      if (std::sscanf(line.c_str(), "Sharing 1234ABCD on port %hu", &port) != 1) port = 0;
    }
    ASSERT_NE(port, 0) << "corvalith-share did not announce its port: " << line;
  }
  void TearDown() override {
    if (share.pid() > 0) {
      kill(share.pid(), SIGCONT);
      EXPECT_EQ(share.stop(), 0) << "corvalith-share must end cleanly on SIGTERM";
    }
  }

  aLinkRef client() {
    aLinkRef link = aLink_CreateClient(kLoopback, port, 0);
    EXPECT_NE(link, 0u);
    EXPECT_TRUE(sWaitRunning(link));
    return link;
  }

  std::string recordPath() const { return dir.path() + "/record"; }

  TempDir dir;
  SimProcess sim;
  ChildProcess share;
  uint16_t port = 0;
};

// Runs the tests matching filter of this program as a client process that
// finds the server's port in the variable; true once it said "ready".
bool sSpawnClientChild(ChildProcess& child, const char* filter, const char* variable, uint16_t port,
                       bool pipeStdin) {
  SpawnOptions options;
  options.pipeStdin = pipeStdin;
  options.env[variable] = std::to_string(port);
  if (!child.spawn("/proc/self/exe", {std::string("--gtest_filter=") + filter}, options)) return false;
  std::string line;
  const auto deadline = ChildProcess::Clock::now() + std::chrono::seconds(20);
  while (line != "ready" && child.readLine(&line, deadline)) {
  }
  return line == "ready";
}

constexpr int kEchoRequests = 40;
// The client process of the test below learns the server's port from this.
constexpr const char* kEchoingPortVariable = "CV_ECHOING_CLIENT_PORT";

// Sends echo requests tagged with tag one at a time; how many replies were
// missing, late or someone else's, or a surplus.
int sEchoOwn(aLinkRef link, uint8_t tag) {
  int wrong = 0;
  for (int i = 0; i < kEchoRequests; ++i) {
    const Bytes request{kEcho, tag, static_cast<uint8_t>(i)};
    if (sPut(link, kSimAddress, request) != aErrNone) ++wrong;
    Bytes expected{kSimAddress};
    expected.insert(expected.end(), request.begin(), request.end());
    if (sNext(link, kReplyMs) != expected) ++wrong;
  }
  return wrong + (sNext(link, 200).empty() ? 0 : 1);
}

// The second client process of the test below: connects, says "ready",
// and on a line from its parent runs its echoes.
TEST(EchoingClientChild, GetsExactlyItsOwnReplies) {
  const char* port = std::getenv(kEchoingPortVariable);
  if (!port) GTEST_SKIP() << "runs only as the child of EachClientGetsExactlyItsOwnReplies...";
  aLinkRef link = aLink_CreateClient(kLoopback, static_cast<uint16_t>(std::atoi(port)), 0);
  ASSERT_TRUE(sWaitRunning(link));
  ASSERT_EQ(aLink_ForceRoute(link, true), aErrNone);
  std::printf("ready\n");
  std::fflush(stdout);
  std::string go;
  std::getline(std::cin, go);
  EXPECT_EQ(sEchoOwn(link, 0xC2), 0) << "a reply was missing, late or someone else's";
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST_F(ShareTest, EachClientGetsExactlyItsOwnRepliesInRequestOrderAndNoRoutePacketPasses) {
  // A second process, and two clients in this one.
  ChildProcess other;
  ASSERT_TRUE(sSpawnClientChild(other, "EchoingClientChild.*", kEchoingPortVariable, port, true));
  const auto deadline = ChildProcess::Clock::now() + std::chrono::seconds(20);
  aLinkRef links[2] = {client(), client()};
  // Clients may ask to route; only the device link's own route-on may reach
  // the module.
  for (aLinkRef link : links) ASSERT_EQ(aLink_ForceRoute(link, true), aErrNone);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&, c] { wrong += sEchoOwn(links[c], static_cast<uint8_t>(0xC0 + c)); });
  }
  std::string out;
  std::string err;
  EXPECT_TRUE(other.communicate("go\n", &out, &err, deadline));
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0) << "a reply was missing, late or someone else's";
  int status = -1;
  ASSERT_TRUE(other.wait(deadline, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process: " << out << err;

  const std::vector<std::string> rx = RecordedRx(recordPath(), kSimSerial);
  EXPECT_EQ(std::count(rx.begin(), rx.end(), "AF 01 01"), 1) << "only the device link's route-on";
  EXPECT_EQ(
      std::count_if(rx.begin(), rx.end(), [](const std::string& l) { return l.rfind("04 03 17 C", 0) == 0; }),
      3 * kEchoRequests);
  for (aLinkRef& link : links) EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST_F(ShareTest, ClientOfAStoppedServerTimesOutAndRecoversAfterAReset) {
  aLinkRef link = client();
  const Bytes first{kEcho, 0x01};
  ASSERT_EQ(sPut(link, kSimAddress, first), aErrNone);
  ASSERT_EQ(sNext(link, kReplyMs), (Bytes{kSimAddress, kEcho, 0x01}));

  ASSERT_EQ(kill(share.pid(), SIGSTOP), 0);
  ASSERT_EQ(sPut(link, kSimAddress, Bytes{kEcho, 0x02}), aErrNone);
  EXPECT_TRUE(sNext(link, 1500).empty()) << "nobody serves, so nothing may arrive";
  EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning) << "a silent server leaves the stream valid";

  ASSERT_EQ(kill(share.pid(), SIGCONT), 0);
  ASSERT_EQ(aLink_Reset(link), aErrNone);
  ASSERT_TRUE(sWaitRunning(link));
  // The stale request is answered to the old stream's identity; the new
  // stream sees only its own reply.
  ASSERT_EQ(sPut(link, kSimAddress, Bytes{kEcho, 0x03}), aErrNone);
  EXPECT_EQ(sNext(link, kReplyMs), (Bytes{kSimAddress, kEcho, 0x03}));
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST_F(DeviceServerTest, AModuleBehindASharedRouterIsReachedThroughTheRoutersServer) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--lifetime", "120", "--module", "serial=6B000002,tcp=0,model=9", "--module",
                         "serial=6B000004,address=4,model=30,build=77,behind=6B000002"}));
  Module router(2, 0);
  aWeftConfig sharing;
  sharing.fallback = 0;
  ASSERT_EQ(router.setConfig(sharing), aErrNone);
  ASSERT_EQ(router.connectFromSpec(TcpSpec(0x6B000002, sim.tcpPort("6B000002"))), aErrNone);
  ASSERT_EQ(router.getConfig(&sharing), aErrNone);
  EXPECT_NE(sharing.assignedPort, 0) << "the server's port is written back";
  EXPECT_EQ(sharing.networkInterface, kLoopback);

  Module behind(4, false, 0);
  ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
  linkSpec spec;
  ASSERT_EQ(behind.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, AWEFT);
  EXPECT_EQ(spec.t.ip.ipPort, sharing.assignedPort);
  const aLinkRef shared = router.getLink()->getLinkRef();
  EXPECT_EQ(behind.getLink()->getLinkRef(), shared) << "the router's client link, one more use";
  EXPECT_EQ(aLink_GetUseCount(shared), 2);
  uint32_t build = 0;
  EXPECT_EQ(behind.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 77u);
  EXPECT_EQ(behind.disconnect(), aErrNone);
  EXPECT_EQ(aLink_GetUseCount(shared), 1);
  EXPECT_TRUE(router.isConnected());
}

// ---- Against FakePeer, shared through a Link with sharing on.

class SharedPeerTest : public DeviceServerTest {
 protected:
  void SetUp() override {
    DeviceServerTest::SetUp();
    if (IsSkipped()) return;
    peer.setHandler(sModuleAnswers);
    ASSERT_TRUE(peer.start());
    aWeftConfig sharing;
    sharing.fallback = 0;
    ASSERT_EQ(link.setConfig(sharing), aErrNone);
    ASSERT_EQ(link.setLinkSpecifier(TcpSpec(kPeerSerial, peer.port())), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    ASSERT_EQ(link.getConfig(&sharing), aErrNone);
    port = sharing.assignedPort;
    ASSERT_NE(port, 0);
    own = link.getLinkRef();
    other = aLink_CreateClient(kLoopback, port, 0);
    ASSERT_TRUE(sWaitRunning(other));
  }
  void TearDown() override {
    if (other) {
      EXPECT_EQ(aLink_Destroy(&other), aErrNone);
    }
  }

  // What reached the module, without the server's model query.
  std::vector<Bytes> received() {
    std::vector<Bytes> out;
    for (const RawPacket& p : peer.received()) {
      if (p.data.size() == 3 && p.data[0] == 0x03) continue;
      out.push_back(p.data);
    }
    return out;
  }

  FakePeer peer{2};
  Link link{"Shared"};
  uint16_t port = 0;
  aLinkRef own = 0;
  aLinkRef other = 0;
};

TEST_F(SharedPeerTest, UEIByteSequenceReachesTheModuleBackToBackWhileAnotherClientSends) {
  const Bytes parts[3] = {sUeiPart(0, true), sUeiPart(1, true), sUeiPart(2, false)};
  ASSERT_EQ(sPut(own, 2, parts[0]), aErrNone);
  ASSERT_EQ(sPut(other, 2, Bytes{kEcho, 0xB1}), aErrNone);
  EXPECT_EQ(sNext(other, kReplyMs), (Bytes{2, kEcho, 0xB1}));
  ASSERT_EQ(sPut(own, 2, parts[1]), aErrNone);
  ASSERT_EQ(sPut(other, 2, Bytes{kEcho, 0xB2}), aErrNone);
  EXPECT_EQ(sNext(other, kReplyMs), (Bytes{2, kEcho, 0xB2}));
  peer.setHandler([](const RawPacket& in) {
    if (in.data.size() == 6 && in.data[0] == 0x10)
      return std::vector<RawPacket>{{in.address, {0x10, 0x05, 0x01, 0}}};
    return sModuleAnswers(in);
  });
  ASSERT_EQ(sPut(own, 2, parts[2]), aErrNone);
  EXPECT_EQ(sNext(own, kReplyMs), (Bytes{2, 0x10, 0x05, 0x01, 0}))
      << "the sequence's reply goes to its sender";

  const std::vector<Bytes> order = received();
  ASSERT_GE(order.size(), 5u);
  const auto first = std::find(order.begin(), order.end(), parts[0]);
  ASSERT_NE(first, order.end());
  ASSERT_LE(first + 3, order.end());
  EXPECT_EQ(first[1], parts[1]);
  EXPECT_EQ(first[2], parts[2]);
  EXPECT_LT(std::find(order.begin(), order.end(), Bytes{kEcho, 0xB2}), first) << "held until complete";

  // A sequence with a gap never reaches the module; other requests still do.
  const size_t before = received().size();
  ASSERT_EQ(sPut(own, 2, sUeiPart(0, true)), aErrNone);
  ASSERT_EQ(sPut(own, 2, sUeiPart(2, false)), aErrNone);
  ASSERT_EQ(sPut(own, 2, Bytes{kEcho, 0xA1}), aErrNone);
  EXPECT_EQ(sNext(own, kReplyMs), (Bytes{2, kEcho, 0xA1}));
  const std::vector<Bytes> after = received();
  ASSERT_EQ(after.size(), before + 1) << "only the echo";
  EXPECT_EQ(after.back(), (Bytes{kEcho, 0xA1}));
}

// A subscriber that speaks to the frontend directly, to see the batches.
class RawSubscriber {
 public:
  explicit RawSubscriber(uint16_t port) {
    context_ = zmq_ctx_new();
    socket_ = zmq_socket(context_, ZMQ_DEALER);
    int zero = 0;
    int waitMs = kReplyMs;
    zmq_setsockopt(socket_, ZMQ_LINGER, &zero, sizeof zero);
    zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &waitMs, sizeof waitMs);
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
    connected_ = zmq_connect(socket_, endpoint.c_str()) == 0;
  }
  ~RawSubscriber() {
    zmq_close(socket_);
    zmq_ctx_term(context_);
  }
  bool connected() const { return connected_; }
  bool send(const Bytes& frame) {
    return zmq_send(socket_, frame.data(), frame.size(), 0) == static_cast<int>(frame.size());
  }
  // The next frame, empty after the receive time-out.
  Bytes receive() {
    Bytes buffer(8192);
    const int n = zmq_recv(socket_, buffer.data(), buffer.size(), 0);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }

 private:
  void* context_ = nullptr;
  void* socket_ = nullptr;
  bool connected_ = false;
};

TEST_F(SharedPeerTest, StreamingPacketsReachEverySubscriberInBatchesOfAtMost4095Bytes) {
  constexpr int kPackets = 200;
  peer.setHandler([](const RawPacket& in) {
    if (!in.data.empty() && in.data[0] == 0x5D)
      return std::vector<RawPacket>{{in.address, {0x5D, 0xC1, 0x00}}};
    return sModuleAnswers(in);
  });
  const Bytes enable{0x5D, 0x81, 0x20, 0, 0, 0, 1};
  ASSERT_EQ(sPut(other, 2, enable), aErrNone);
  ASSERT_EQ(sNext(other, kReplyMs), (Bytes{2, 0x5D, 0xC1, 0x00}));
  RawSubscriber raw(port);
  ASSERT_TRUE(raw.connected());
  Bytes frame{2, static_cast<uint8_t>(enable.size())};
  frame.insert(frame.end(), enable.begin(), enable.end());
  ASSERT_TRUE(raw.send(frame));
  ASSERT_EQ(raw.receive(), (Bytes{2, 3, 0x5D, 0xC1, 0x00}));

  std::vector<RawPacket> stream;
  for (int i = 0; i < kPackets; ++i) {
    Bytes data{0x10, 0x01, 0x40, 0x01, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    data.resize(27, 0x5A);
    data.push_back(0);
    stream.push_back(RawPacket{2, data});
  }
  stream.push_back(RawPacket{2, {0, 0}});  // a heartbeat ends the last batch
  peer.send(stream);

  for (int i = 0; i < kPackets; ++i) {
    const Bytes got = sNext(other, kReplyMs);
    ASSERT_EQ(got.size(), 29u) << "packet " << i;
    EXPECT_EQ(got[5] << 8 | got[6], i) << "in order";
  }
  int counted = 0;
  for (int batches = 0; batches < kPackets && counted < kPackets; ++batches) {
    const Bytes batch = raw.receive();
    ASSERT_FALSE(batch.empty()) << "after " << counted << " packets";
    EXPECT_LE(batch.size(), 4095u);
    for (size_t at = 0; at + 2 <= batch.size(); at += 2u + batch[at + 1]) {
      ASSERT_EQ(batch[at + 1], 28) << "whole packets only";
      EXPECT_EQ(batch[at + 6] << 8 | batch[at + 7], counted);
      ++counted;
    }
  }
  EXPECT_EQ(counted, kPackets);
  EXPECT_TRUE(sNext(own, 300).empty()) << "a client that did not enable streaming gets none";
}

// ---- A server made directly, so the test holds its handle.

class DirectServerTest : public DeviceServerTest {
 protected:
  void SetUp() override {
    DeviceServerTest::SetUp();
    if (IsSkipped()) return;
    peer.setHandler(sModuleAnswers);
    ASSERT_TRUE(peer.start());
    device = aLink_CreateTCPIP(kPeerSerial, kLoopback, peer.port());
    ASSERT_NE(device, 0u);
  }
  void startServer() {
    server = aServer_Create(device, 0, true);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(aServer_Start(server), aErrNone);
    ASSERT_EQ(aServer_GetPort(server, &port), aErrNone);
  }
  void TearDown() override {
    if (client) {
      EXPECT_EQ(aLink_Destroy(&client), aErrNone);
    }
    if (server) {
      EXPECT_EQ(aServer_Destroy(&server), aErrNone);
    }
    if (device) {
      EXPECT_EQ(aLink_Destroy(&device), aErrNone);
    }
  }

  // A server with one client; the module keeps the request (kEcho, 0x51)
  // unanswered until the test answers it.
  void startWithAnUnansweredRequest() {
    startServer();
    client = aLink_CreateClient(kLoopback, port, 0);
    ASSERT_TRUE(sWaitRunning(client));
    peer.setHandler([](const RawPacket& in) {
      if (in.data == Bytes{kEcho, 0x51}) return std::vector<RawPacket>{};
      return sModuleAnswers(in);
    });
  }

  FakePeer peer{2};
  aLinkRef device = 0;
  aServerRef server = nullptr;
  aLinkRef client = 0;
  uint16_t port = 0;
};

TEST_F(DirectServerTest, AFlushDropsTheRepliesOfWaitingClients) {
  ASSERT_NO_FATAL_FAILURE(startWithAnUnansweredRequest());
  for (bool flush : {false, true}) {
    SCOPED_TRACE(flush ? "flushed" : "not flushed");
    const size_t before = peer.received().size();
    ASSERT_EQ(sPut(client, 2, Bytes{kEcho, 0x51}), aErrNone);
    ASSERT_TRUE(WaitFor([&] { return peer.received().size() > before; }, kReplyMs));
    if (flush) {
      ASSERT_EQ(aServer_FlushFIFO(server), aErrNone);
    }
    peer.send({RawPacket{2, {kEcho, 0x51}}});
    if (flush) {
      EXPECT_TRUE(sNext(client, 1500).empty());
    } else {
      EXPECT_EQ(sNext(client, kReplyMs), (Bytes{2, kEcho, 0x51}));
    }
    // Later requests are answered with their own replies either way.
    ASSERT_EQ(sPut(client, 2, Bytes{kEcho, 0x53}), aErrNone);
    EXPECT_EQ(sNext(client, kReplyMs), (Bytes{2, kEcho, 0x53}));
  }
}

// Sees the late reply without taking it.
uint8_t sSeeLateReply(const aPacket* packet, const void* seen) {
  if (packet->length == 2 && packet->data[0] == kEcho && packet->data[1] == 0x51) {
    *static_cast<bool*>(const_cast<void*>(seen)) = true;
  }
  return 0;
}

TEST_F(DirectServerTest, AReplyThatComesAfterTheServerGaveUpIsNotTheNextRequestsReply) {
  ASSERT_NO_FATAL_FAILURE(startWithAnUnansweredRequest());
  const size_t before = peer.received().size();
  ASSERT_EQ(sPut(client, 2, Bytes{kEcho, 0x51}), aErrNone);
  ASSERT_TRUE(WaitFor([&] { return peer.received().size() > before; }, kReplyMs));
  // The server's wait began before the module saw the request and ends
  // after aSERVER_REPLY_WAIT_MS.
  ASSERT_TRUE(sNext(client, aSERVER_REPLY_WAIT_MS + 1000).empty());
  peer.send({RawPacket{2, {kEcho, 0x51}}});
  bool seen = false;
  ASSERT_TRUE(WaitFor(
      [&] {
        aPacket* taken = aLink_AwaitFirst(device, sSeeLateReply, &seen, 0);
        if (taken) (void)aPacket_Destroy(&taken);
        return seen;
      },
      kReplyMs));
  ASSERT_EQ(sPut(client, 2, Bytes{kEcho, 0x53}), aErrNone);
  EXPECT_EQ(sNext(client, kReplyMs), (Bytes{2, kEcho, 0x53}));
  EXPECT_TRUE(sNext(client, 200).empty()) << "no surplus reply";
}

// The vanishing client: run as a child of the test below (the variable names
// the server's port), it leaves one of each kind of state in the server and
// then waits to be killed.
constexpr const char* kVanishingPortVariable = "CV_VANISHING_CLIENT_PORT";

Bytes sFrame(uint8_t address, const Bytes& data) {
  Bytes frame{address, static_cast<uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

TEST(VanishingClientChild, LeavesStateInTheServerUntilKilled) {
  const char* port = std::getenv(kVanishingPortVariable);
  if (!port) GTEST_SKIP() << "runs only as the child of AClientThatVanishesHasItsStateFreedAtOnce";
  RawSubscriber raw(static_cast<uint16_t>(std::atoi(port)));
  ASSERT_TRUE(raw.connected());
  ASSERT_TRUE(raw.send(sFrame(2, Bytes{0x5D, 0x81, 0x20, 0, 0, 0, 1})));
  ASSERT_EQ(raw.receive(), (Bytes{2, 3, 0x5D, 0xC1, 0x00}));
  ASSERT_TRUE(raw.send(sFrame(2, sUeiPart(0, true))));
  ASSERT_TRUE(raw.send(sFrame(2, Bytes{kEcho, 0x51})));
  std::printf("ready\n");
  std::fflush(stdout);
  for (int i = 0; i < 15; ++i) (void)raw.receive();  // at most 30 s
}

TEST_F(DirectServerTest, AClientThatVanishesHasItsStateFreedAtOnce) {
  peer.setHandler([](const RawPacket& in) {
    if (!in.data.empty() && in.data[0] == 0x5D)
      return std::vector<RawPacket>{{in.address, {0x5D, 0xC1, 0x00}}};
    if (in.data == Bytes{kEcho, 0x51}) return std::vector<RawPacket>{};
    return sModuleAnswers(in);
  });
  startServer();
  client = aLink_CreateClient(kLoopback, port, 0);
  ASSERT_TRUE(sWaitRunning(client));
  ASSERT_EQ(sPut(client, 2, Bytes{kEcho, 0x01}), aErrNone);
  ASSERT_EQ(sNext(client, kReplyMs), (Bytes{2, kEcho, 0x01}));
  const auto state = [this] {
    uint32_t count = 0;
    return aServer_GetClientStateCount(server, &count) == aErrNone ? count : 9999u;
  };
  ASSERT_TRUE(WaitFor([&] { return state() == 1; }, kReplyMs)) << "the link's own client: " << state();

  ChildProcess child;
  ASSERT_TRUE(sSpawnClientChild(child, "VanishingClientChild.*", kVanishingPortVariable, port, false));
  // Its connection, subscription, enabled stream, open UEI sequence and
  // unanswered request.
  ASSERT_TRUE(WaitFor([&] { return state() == 6; }, kReplyMs)) << state();

  ASSERT_GE(child.kill(), 0);
  // Well inside the 2 s the server would wait for the held reply.
  EXPECT_TRUE(WaitFor([&] { return state() == 1; }, 500)) << "left behind: " << state();
  for (uint8_t i = 0x60; i < 0x63; ++i) {
    ASSERT_EQ(sPut(client, 2, Bytes{kEcho, i}), aErrNone);
    // The first waits behind the server's wait for the held reply.
    EXPECT_EQ(sNext(client, 2 * kReplyMs), (Bytes{2, kEcho, i})) << "the other client is served as before";
  }
  // The broker counts after it has passed the reply on.
  EXPECT_TRUE(WaitFor([&] { return state() == 1; }, kReplyMs)) << "left behind: " << state();
}

// Holds a UDP port on every address, as another server's receiver would.
class PortHolder {
 public:
  explicit PortHolder(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~PortHolder() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

// Sends the probe to the server port at this offset and returns the reply
// (empty after 1.5 s), with plain sockets.
Bytes sProbe(int offset) {
  const int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in bindTo{};
  bindTo.sin_family = AF_INET;
  bindTo.sin_port = htons(static_cast<uint16_t>(9950 + offset));
  ip_mreq join{};
  inet_pton(AF_INET, "224.0.0.7", &join.imr_multiaddr);
  inet_pton(AF_INET, "127.0.0.1", &join.imr_interface);
  timeval wait{1, 500000};
  Bytes reply;
  if (rx >= 0 && tx >= 0 && bind(rx, reinterpret_cast<sockaddr*>(&bindTo), sizeof bindTo) == 0 &&
      setsockopt(rx, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0 &&
      setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 &&
      setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &join.imr_interface, sizeof join.imr_interface) == 0) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(9850 + offset));
    to.sin_addr = join.imr_multiaddr;
    const uint8_t magic[4] = {0xBA, 0xDC, 0xCD, 0xAB};
    if (sendto(tx, magic, sizeof magic, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 4) {
      reply.resize(256);
      const ssize_t n = recv(rx, reply.data(), reply.size(), 0);
      reply.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
  }
  if (rx >= 0) close(rx);
  if (tx >= 0) close(tx);
  return reply;
}

uint32_t sWord(const Bytes& image, size_t offset) {
  uint32_t w = 0;
  std::memcpy(&w, image.data() + offset, sizeof w);
  return w;
}

bool sCollect(const linkSpec* spec, uint8_t* counted, void* ref) {
  static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
  *counted = 1;
  return true;
}

TEST_F(DirectServerTest, MulticastIsAnsweredAtTheFirstFreeOffsetOnlyOnceTheModelIsKnown) {
  PortHolder first(9850);
  PortHolder second(9851);
  ASSERT_TRUE(first.bound() && second.bound());
  startServer();
  EXPECT_FALSE(PortHolder(9852).bound()) << "the server holds offset 2";
  EXPECT_TRUE(PortHolder(9853).bound());

  EXPECT_TRUE(sProbe(2).empty()) << "model 0: silent";
  std::vector<linkSpec> found;
  EXPECT_EQ(aDiscovery_Enumerate_aWeftModules(sCollect, &found, 0), 0u);

  ASSERT_EQ(aServer_SetModuleAddress(server, 2), aErrNone);
  ASSERT_EQ(aServer_SetModel(server, kPeerModel), aErrNone);
  const Bytes image = sProbe(2);
  ASSERT_EQ(image.size(), 128u);
  EXPECT_EQ(sWord(image, 0), static_cast<uint32_t>(AWEFT_TCPIP));
  EXPECT_EQ(sWord(image, 4), kPeerSerial);
  EXPECT_EQ(sWord(image, 8), 2u);
  EXPECT_EQ(sWord(image, 20), kPeerModel);
  EXPECT_EQ(sWord(image, 24), kLoopback);
  EXPECT_EQ(sWord(image, 28), port);

  found.clear();
  ASSERT_EQ(aDiscovery_Enumerate_aWeftModules(sCollect, &found, kLoopback), 1u);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].type, AWEFT_TCPIP);
  EXPECT_EQ(found[0].serialNumber, kPeerSerial);
  EXPECT_EQ(found[0].model, kPeerModel);
  EXPECT_EQ(found[0].t.ip.ipPort, port);
}

// Searches at the same time (two scripts starting together) contend for the
// reply port; each must still find the server.
TEST_F(DirectServerTest, SearchesAtTheSameTimeEachFindTheServer) {
  startServer();
  ASSERT_EQ(aServer_SetModel(server, kPeerModel), aErrNone);
  for (int round = 0; round < 3; ++round) {
    std::vector<linkSpec> each[2];
    std::thread other([&] { (void)aDiscovery_Enumerate_aWeftModules(sCollect, &each[1], kLoopback); });
    (void)aDiscovery_Enumerate_aWeftModules(sCollect, &each[0], kLoopback);
    other.join();
    EXPECT_EQ(each[0].size(), 1u) << "round " << round;
    EXPECT_EQ(each[1].size(), 1u) << "round " << round;
  }
}

TEST_F(DeviceServerTest, ASharedModuleOnTheNetworkIsFoundByTheBeaconAndServes) {
  uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
  ASSERT_GE(aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES), 1u);
  SimProcess sim;
  ASSERT_TRUE(sim.start(
      {"--discovery", "all", "--lifetime", "120", "--module", "serial=1234ABCD,address=4,model=17,tcp=0"}));
  ChildProcess share;
  ASSERT_TRUE(share.spawn(std::string(CV_BINARY_DIR) + "/corvalith-share", {"-d", "1234ABCD", "-t", "TCP"}));
  std::string line;
  uint16_t port = 0;
  const auto deadline = ChildProcess::Clock::now() + std::chrono::seconds(20);
  while (port == 0 && share.readLine(&line, deadline)) {
    if (std::sscanf(line.c_str(), "Sharing 1234ABCD on port %hu", &port) != 1) port = 0;
  }
  ASSERT_NE(port, 0) << line;

  std::vector<linkSpec> found;
  ASSERT_EQ(aDiscovery_Enumerate_aWeftModules(sCollect, &found, interfaces[0]), 1u);
  EXPECT_EQ(found[0].type, AWEFT_TCPIP);
  EXPECT_EQ(found[0].serialNumber, kSimSerial);
  EXPECT_EQ(found[0].module, kSimAddress);
  EXPECT_EQ(found[0].model, 17u);
  EXPECT_EQ(found[0].t.ip.ipAddress, interfaces[0]) << "served on the network interface";
  EXPECT_EQ(found[0].t.ip.ipPort, port);
  found.clear();
  EXPECT_EQ(aDiscovery_Enumerate_aWeftModules(sCollect, &found, kLoopback), 0u)
      << "the loopback probe keeps to servers on 127.0.0.1";

  aLinkRef link = aLink_CreateClient(found.empty() ? interfaces[0] : found[0].t.ip.ipAddress, port, 0);
  ASSERT_TRUE(sWaitRunning(link));
  ASSERT_EQ(sPut(link, kSimAddress, Bytes{kEcho, 0x42}), aErrNone);
  EXPECT_EQ(sNext(link, kReplyMs), (Bytes{kSimAddress, kEcho, 0x42}));
  EXPECT_EQ(aLink_Destroy(&link), aErrNone);
  EXPECT_EQ(share.stop(), 0);
}

}  // namespace
