// The upgrade entity against a scripted module on a loopback TCP socket: the
// bytes of every step, chunking and DATA packet sizes, checksum checks and
// the bounds on a module that misbehaves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"
#include "cpp/Module.h"
#include "support/RecordingDisplay.h"
#include "updater/UpdaterEntity.h"

using Tessaron::Corvalith::Module;

namespace {

constexpr uint8_t kAddress = 4;
constexpr int kPollMs = 20;

// A module's upgrade stage as the wire shows it: raw TCP packets (address,
// length, data), the address query answered, every upgrade request recorded.
class UpgradePeer {
 public:
  uint32_t base = 0x10000000;
  uint8_t initReplyLength = 6;
  uint16_t grant = 512;
  int refuseBy = 0;   // a DATA reply accepts this many bytes fewer
  int sumOffset = 0;  // added to the true sum in the SUM reply
  bool answerPrepare = true;

  std::vector<std::vector<uint8_t>> requests;  // data bytes after 0x5F
  std::vector<size_t> dataSizes;
  std::vector<unsigned> writes;
  int sums = 0;

  bool start() {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listenFd_, 1) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return false;
    }
    port = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
  }
  ~UpgradePeer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    if (listenFd_ >= 0) close(listenFd_);
  }
  std::vector<std::vector<uint8_t>> taken() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests;
  }

  uint16_t port = 0;

 private:
  std::vector<uint8_t> answer(const std::vector<uint8_t>& d) {
    const uint8_t option = d.size() > 1 ? d[1] : 0xFF;
    switch (option) {
      case 0: {
        std::vector<uint8_t> r = {
            0x5F, 0x00, uint8_t(base >> 24), uint8_t(base >> 16), uint8_t(base >> 8), uint8_t(base)};
        r.resize(initReplyLength);
        return r;
      }
      case 3:
        sum_ = 0;
        if (!answerPrepare) return {};
        return {0x5F, 0x07, 0x00, uint8_t(grant >> 8), uint8_t(grant)};
      case 1: {
        const size_t n = d.size() - 2;
        dataSizes.push_back(n);
        if (refuseBy != 0) return {0x5F, 0x01, uint8_t(n - refuseBy)};
        for (size_t i = 2; i < d.size(); ++i) sum_ += d[i];
        return {0x5F, 0x01, uint8_t(n)};
      }
      case 4: {
        ++sums;
        const uint32_t s = sum_ + uint32_t(sumOffset);
        sum_ = 0;
        return {0x5F, 0x07, 0x00, uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)};
      }
      case 5:
        writes.push_back(unsigned(d[2]) << 8 | d[3]);
        return {0x5F, 0x07, 0x00};
      default:
        return {};
    }
  }
  void reply(uint8_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes = {address, uint8_t(data.size())};
    bytes.insert(bytes.end(), data.begin(), data.end());
    (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  void run() {
    std::vector<uint8_t> pending;
    while (!stopping_) {
      pollfd p{fd_ >= 0 ? fd_ : listenFd_, POLLIN, 0};
      if (poll(&p, 1, kPollMs) <= 0) continue;
      if (fd_ < 0) {
        fd_ = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        int one = 1;
        if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        continue;
      }
      uint8_t buf[512];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        close(fd_);
        fd_ = -1;
        pending.clear();
        continue;
      }
      pending.insert(pending.end(), buf, buf + n);
      while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
        const uint8_t address = pending[0];
        std::vector<uint8_t> data(pending.begin() + 2, pending.begin() + 2 + pending[1]);
        pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
        if (address == 0xAD && data.empty()) {
          reply(kAddress, {});
          continue;
        }
        if (data.empty() || data[0] != 0x5F) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        requests.push_back(data);
        const std::vector<uint8_t> r = answer(data);
        if (!r.empty()) reply(kAddress, r);
      }
    }
  }

  uint32_t sum_ = 0;
  int listenFd_ = -1;
  int fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mutex_;
};

class UpdaterEntityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.start());
    aWeftConfig config;
    config.enabled = 0;
    config.fallback = 0;
    ASSERT_EQ(module.setConfig(config), aErrNone);
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = 0x5A0000E1;
    spec.t.ip.ipAddress = aDiscovery_IPv4(127, 0, 0, 1);
    spec.t.ip.ipPort = peer.port;
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
    ASSERT_EQ(module.getModuleAddress(), kAddress);
    entity.init(&module, 0, true, true);
  }
  void TearDown() override { (void)module.disconnect(); }

  // Address 0x08000000, then payload bytes i * 7 + 3.
  static std::vector<uint8_t> Block(size_t payload) {
    std::vector<uint8_t> b = {0x08, 0x00, 0x00, 0x00};
    for (size_t i = 0; i < payload; ++i) b.push_back(uint8_t(i * 7 + 3));
    return b;
  }

  UpgradePeer peer;
  Module module{2, 0};
  UpdaterEntity entity;
  RecordingDisplay display;
};

TEST_F(UpdaterEntityTest, FirmwareBlockGoesInGrantedChunksOfFullDataPackets) {
  const std::vector<uint8_t> block = Block(1000);
  uint16_t size = 0;
  ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0x05, &size), aErrNone);
  EXPECT_EQ(size, 512);
  ASSERT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), size, display), aErrNone);

  std::vector<size_t> expected(19, 26);
  expected.push_back(18);
  expected.insert(expected.end(), 18, 26);
  expected.push_back(20);
  EXPECT_EQ(peer.dataSizes, expected);
  EXPECT_EQ(peer.sums, 2);
  EXPECT_EQ(peer.writes, (std::vector<unsigned>{512, 488}));
  const std::vector<std::vector<uint8_t>> r = peer.taken();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.front(), (std::vector<uint8_t>{0x5F, 0x03, 0x05, 0x08, 0x00, 0x00, 0x00}));
  EXPECT_EQ(r.back(), (std::vector<uint8_t>{0x5F, 0x05, 0x01, 0xE8}));
  ASSERT_EQ(r[1].size(), 28u) << "a full DATA packet: command, option, 26 bytes";
  EXPECT_EQ(r[1][1], 0x01);
  EXPECT_EQ(r[1][2], 3) << "payload starts after the four address bytes";
}

TEST_F(UpdaterEntityTest, ChecksumDecidesTheChunk) {
  const std::vector<uint8_t> block = Block(60);
  const struct {
    size_t payload;
    int offset;
    aErr want;
  } cases[] = {{0, 0, aErrNone}, {0, 1, aErrInvalidOption}, {60, 0, aErrNone}, {60, -1, aErrInvalidOption}};
  for (const auto& c : cases) {
    peer.sumOffset = c.offset;
    const size_t before = peer.dataSizes.size();
    uint32_t count = 0;
    EXPECT_EQ(entity._block_transfer(block.data() + 4, uint32_t(c.payload), &count), c.want)
        << c.payload << " bytes, sum off by " << c.offset;
    EXPECT_EQ(peer.dataSizes.size() - before, c.payload == 0 ? 0u : 3u);
  }
}

TEST_F(UpdaterEntityTest, BoundsOnAMisbehavingModule) {
  const std::vector<uint8_t> block = Block(100);
  EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 0, display), aErrInvalidOption);
  EXPECT_TRUE(peer.dataSizes.empty()) << "a grant of 0 sends nothing";

  peer.refuseBy = 1;
  uint32_t count = 0;
  EXPECT_EQ(entity._block_transfer(block.data() + 4, 100, &count), aErrPacket);
  EXPECT_EQ(peer.dataSizes.size(), size_t(1 + UpdaterEntity::kDataResendLimit));
  EXPECT_EQ(count, 0u);
}

TEST_F(UpdaterEntityTest, InitNeedsTheFullBase) {
  EXPECT_EQ(entity.LoaderInit(), aErrNone);
  peer.initReplyLength = 5;
  EXPECT_EQ(entity.LoaderInit(), aErrPacket);
  peer.answerPrepare = false;
  const std::vector<uint8_t> block = Block(4);
  uint16_t size = 77;
  EXPECT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &size), aErrTimeout);
  EXPECT_EQ(size, 77) << "no grant without a reply";
}

TEST_F(UpdaterEntityTest, RebootWithoutWaitReturnsWhileTheLinkStaysUp) {
  EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
  EXPECT_EQ(display.spins, (std::vector<std::string>{"+Verifying Update", "-Verifying Update"}));
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(peer.taken().back(), (std::vector<uint8_t>{0x5F, 0x06}));
}

}  // namespace
