// The network client stream against a plain ZeroMQ ROUTER standing in for a
// device server on 127.0.0.1: frames both ways, the one-second read bound,
// empty frames, an interrupted read, a server that is not there, and
// deletion while the relay actor waits.
#include <gtest/gtest.h>
#include <zmq.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aStreamClient.h"

namespace {

typedef std::vector<uint8_t> Bytes;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kLoopback = aDiscovery_IPv4(127, 0, 0, 1);

long sMsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A ROUTER on a free loopback port that remembers the last client identity.
class FakeServer {
 public:
  FakeServer() {
    context_ = zmq_ctx_new();
    socket_ = zmq_socket(context_, ZMQ_ROUTER);
    int zero = 0;
    int waitMs = 2000;
    zmq_setsockopt(socket_, ZMQ_LINGER, &zero, sizeof zero);
    zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &waitMs, sizeof waitMs);
    if (zmq_bind(socket_, "tcp://127.0.0.1:*") == 0) {
      char endpoint[64] = {};
      size_t size = sizeof endpoint;
      zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, endpoint, &size);
      const std::string text(endpoint);
      port_ = static_cast<uint16_t>(std::stoi(text.substr(text.rfind(':') + 1)));
    }
  }
  ~FakeServer() {
    zmq_close(socket_);
    zmq_ctx_term(context_);
  }
  uint16_t port() const { return port_; }

  // The next frame a client sent (empty after 2 s).
  Bytes receive() {
    uint8_t id[256];
    const int idSize = zmq_recv(socket_, id, sizeof id, 0);
    if (idSize <= 0) return {};
    identity_.assign(id, id + idSize);
    Bytes frame(256);
    const int n = zmq_recv(socket_, frame.data(), frame.size(), 0);
    frame.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return frame;
  }
  bool reply(const Bytes& frame) {
    return zmq_send(socket_, identity_.data(), identity_.size(), ZMQ_SNDMORE) >= 0 &&
           zmq_send(socket_, frame.data(), frame.size(), 0) >= 0;
  }

 private:
  void* context_ = nullptr;
  void* socket_ = nullptr;
  uint16_t port_ = 0;
  Bytes identity_;
};

TEST(ClientStreamTest, FramesTravelBothWaysAndReadsWaitAboutOneSecond) {
  FakeServer server;
  ASSERT_NE(server.port(), 0);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateClient(kLoopback, server.port(), &stream), aErrNone);
  ASSERT_NE(stream, nullptr);

  // One write is one frame, whatever its size.
  const Bytes request{0x04, 0x02, 0x17, 0x33};
  ASSERT_EQ(aStream_Write(stream, request.data(), request.size()), aErrNone);
  EXPECT_EQ(server.receive(), request);
  const uint8_t one = 0x01;
  EXPECT_EQ(aStream_Write(stream, &one, 1), aErrUnimplemented) << "single bytes go through put";

  // A 5-byte frame is five single-byte reads, then the stream waits again.
  const Bytes reply{0x04, 0x03, 0x17, 0x33, 0x44};
  ASSERT_TRUE(server.reply(reply));
  Bytes got;
  for (size_t i = 0; i < reply.size(); ++i) {
    uint8_t byte = 0;
    ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNone) << i;
    got.push_back(byte);
  }
  EXPECT_EQ(got, reply);
  uint8_t byte = 0;
  const auto start = Clock::now();
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  EXPECT_GE(sMsSince(start), 900);
  EXPECT_LE(sMsSince(start), 2500);

  // An empty frame is reported once and does not stall what follows.
  ASSERT_TRUE(server.reply({}));
  ASSERT_TRUE(server.reply({0x06, 0x00}));
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIndexRange);
  Bytes two(2);
  ASSERT_EQ(aStream_Read(stream, two.data(), 2), aErrNone);
  EXPECT_EQ(two, (Bytes{0x06, 0x00}));

  // An interrupt from another thread (a stopping link) ends a waiting read
  // at once, whether it comes before or during the wait, and loses nothing.
  std::thread stopper([&] { aStream_Interrupt(stream); });
  const auto interrupted = Clock::now();
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  EXPECT_LT(sMsSince(interrupted), 900);
  stopper.join();
  ASSERT_TRUE(server.reply({0x08, 0x00}));
  ASSERT_EQ(aStream_Read(stream, two.data(), 2), aErrNone);
  EXPECT_EQ(two, (Bytes{0x08, 0x00}));

  // Deleting while the relay actor sits in its one-second poll ends it at once.
  const auto deleting = Clock::now();
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_LT(sMsSince(deleting), 900);
}

TEST(ClientStreamTest, AServerThatIsNotThereIsNoErrorButReadsFindNothing) {
  uint16_t port = 0;
  {
    FakeServer gone;  // a port that was free a moment ago
    port = gone.port();
  }
  EXPECT_EQ(aStream_CreateClient(kLoopback, port, nullptr), aErrParam);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateClient(kLoopback, port, &stream), aErrNone);
  const Bytes request{0x04, 0x00};
  EXPECT_EQ(aStream_Write(stream, request.data(), request.size()), aErrNone) << "writes never fail";
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

}  // namespace
