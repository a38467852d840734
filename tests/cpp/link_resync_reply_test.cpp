// The object layer's reply waits on a serial link whose module throws it out
// of step mid-exchange. The test plays the module on a pseudo-terminal,
// speaking COBS frames with a CRC-8.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/aCOBS.h"
#include "cpp/EntityClass.h"
#include "cpp/Module.h"
#include "cpp_test_support.h"

using namespace Tessaron::Corvalith;

namespace {

constexpr uint32_t kSerial = 0x5E400001;
constexpr uint8_t kAddress = 4;

// A module on the master side of a pty: answers the address query while
// answerSync is set, and answers every UEI request with what reply gives.
class PtyModule {
 public:
  PtyModule() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return;
    slave_ = name;
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    thread_ = std::thread([this] { run(); });
  }
  ~PtyModule() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
  }
  const std::string& slave() const { return slave_; }

  std::atomic<bool> answerSync{true};
  // Packets (address, data) sent in answer to a UEI request.
  std::function<std::vector<std::vector<uint8_t>>(const std::vector<uint8_t>&)> reply;
  std::mutex replyMutex;

 private:
  void send(const std::vector<uint8_t>& packet) {
    uint8_t frame[aCOBS_MAX_WRITE_FRAME];
    const size_t n = aCOBS_FramePacket(packet.data(), packet.size(), frame, sizeof frame);
    size_t done = 0;
    for (int tries = 0; tries < 100 && done < n; ++tries) {
      const ssize_t w = write(master_, frame + done, n - done);
      if (w > 0) done += static_cast<size_t>(w);
    }
  }
  void run() {
    aCOBSReceiver receiver{};
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      uint8_t buf[256];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) continue;
      for (ssize_t i = 0; i < n; ++i) {
        uint8_t packet[aCOBS_MAX_PACKET];
        size_t length = 0;
        if (aCOBSReceiver_Feed(&receiver, buf[i], packet, &length) != aErrNone) continue;
        if (packet[0] == 0xAD && length == 2) {
          if (answerSync) send({kAddress, 0});
          continue;
        }
        if (packet[0] != kAddress || length < 5) continue;
        std::lock_guard<std::mutex> lock(replyMutex);
        if (!reply) continue;
        for (const auto& out : reply(std::vector<uint8_t>(packet + 2, packet + length))) send(out);
      }
    }
  }

  int master_ = -1;
  std::string slave_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

linkSpec sSerialSpec(const std::string& path) {
  linkSpec s{};
  s.type = SERIAL;
  s.serialNumber = kSerial;
  s.t.serial.baudRate = 115200;
  std::strncpy(s.t.serial.portName, path.c_str(), sizeof s.t.serial.portName - 1);
  return s;
}

TEST(LinkResyncReply, ReplyLostToAResynchronisationIsATimeoutNotAConnectionError) {
  PtyModule device;
  ASSERT_FALSE(device.slave().empty());
  Module module{2, 0};
  ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
  ASSERT_EQ(module.connectFromSpec(sSerialSpec(device.slave())), aErrNone);
  ASSERT_EQ(module.getModuleAddress(), kAddress);
  EntityClass entity;
  entity.init(&module, 3, 0);

  // In step: an answered get works.
  {
    std::lock_guard<std::mutex> lock(device.replyMutex);
    device.reply = [](const std::vector<uint8_t>& in) {
      return std::vector<std::vector<uint8_t>>{
          {kAddress, 4, in[0], static_cast<uint8_t>(in[1] & 0x3F), 0, 0x5A}};
    };
  }
  uint8_t value = 0;
  ASSERT_EQ(entity.getUEI8(8, &value), aErrNone);
  EXPECT_EQ(value, 0x5A);

  // The module answers with a packet from an odd address, then stays silent
  // to the handshake: the link was in step when the wait began, so the
  // missing reply is a time-out after the full second.
  {
    std::lock_guard<std::mutex> lock(device.replyMutex);
    device.reply = [&device](const std::vector<uint8_t>&) {
      device.answerSync = false;
      return std::vector<std::vector<uint8_t>>{{0x05, 0}};
    };
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(entity.getUEI8(8, &value), aErrTimeout);
  EXPECT_GE(ElapsedMs(start), 900) << "the wait lasted the whole time-out";
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(entity.getUEI8(8, &value), aErrConnection) << "out of step before the request";

  device.answerSync = true;
  EXPECT_TRUE(WaitFor([&] { return module.isConnected(); }, 5000)) << "back in step";
  (void)module.disconnect();
}

}  // namespace
