// corvalith-sim's discovery responder answering raw requests. Multicast, so
// only inside a private network namespace (scripts/netns-run).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/Environment.h"
#include "support/SimProcess.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Reply {
  Bytes bytes;
  std::string from;
};

class SimDiscoveryNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
    listener_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener_, 0);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_port = htons(9889);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&here), sizeof here), 0);
  }
  void TearDown() override {
    if (listener_ >= 0) close(listener_);
  }

  // Multicasts bytes to 232.2.2.2:9888 through the namespace's veth address.
  void request(const Bytes& bytes) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    in_addr through{};
    inet_pton(AF_INET, "10.77.0.1", &through);
    ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof through), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &to.sin_addr);
    EXPECT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
  }

  // Replies that arrive before ms pass without one.
  std::vector<Reply> replies(int ms) {
    std::vector<Reply> out;
    for (int i = 0; i < 32; ++i) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) break;
      uint8_t buf[64];
      sockaddr_in from{};
      socklen_t size = sizeof from;
      ssize_t n = recvfrom(listener_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (n < 0) break;
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      out.push_back(Reply{Bytes(buf, buf + n), text});
    }
    return out;
  }

  int listener_ = -1;
};

TEST_F(SimDiscoveryNetnsTest, AnswersOnlyTheRequestWithItsReplyBytes) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--discovery", "10.77.0.1", "--module",
                         "serial=40F5849A,address=6,model=17,tcp=0,version=0x02150001", "--module",
                         "serial=40F5849B,serial-pty=yes"}));
  const uint16_t port = sim.tcpPort("40F5849A");
  ASSERT_NE(port, 0);

  Bytes wrongCommand(16, 0);
  wrongCommand[0] = 2;
  request(wrongCommand);
  Bytes shortRequest(15, 0);
  shortRequest[0] = 1;
  request(shortRequest);
  EXPECT_TRUE(replies(300).empty()) << "only the 16-byte request with command 1 is answered";

  Bytes good(16, 0);
  good[0] = 1;
  request(good);
  const std::vector<Reply> got = replies(1000);
  ASSERT_EQ(got.size(), 1u) << "the module without a TCP endpoint stays silent";
  const Bytes expected = {0x81,
                          6,
                          static_cast<uint8_t>(port),
                          static_cast<uint8_t>(port >> 8),
                          0x9A,
                          0x84,
                          0xF5,
                          0x40,
                          0x01,
                          0x00,
                          0x15,
                          0x02,
                          17,
                          0,
                          0,
                          0};
  EXPECT_EQ(got[0].bytes, expected);
  EXPECT_EQ(got[0].from, "127.0.0.1") << "sent from where the TCP endpoint listens";
}

}  // namespace
