// Helpers for the object-layer tests: link specifiers and configurations for
// the simulated modules, waiting on conditions with a deadline, reading the
// simulator's packet record, and FakePeer, a scripted module on a loopback
// TCP socket for replies the simulator would never send.
#ifndef CORVALITH_TESTS_CPP_CPP_TEST_SUPPORT_H
#define CORVALITH_TESTS_CPP_CPP_TEST_SUPPORT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/aWeftConfig.h"
#include "common/linkSpec.h"

// Sharing and fall-back off, as the updater connects.
aWeftConfig DirectConfig();
// A TCPIP spec for a module on 127.0.0.1:port.
linkSpec TcpSpec(uint32_t serial, uint16_t port);

// Milliseconds since start.
inline long ElapsedMs(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
          .count());
}

// Polls condition every 2 ms until it holds or timeoutMs pass.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs);

// The "RX" lines of a simulator record file for one serial number, as the
// hex text after the endpoint ("02 04 03 41 20 00"), in order.
std::vector<std::string> RecordedRx(const std::string& path, uint32_t serial);
// Hex text of wire bytes as the record writes it.
std::string Hex(const std::vector<uint8_t>& bytes);

struct RawPacket {
  uint8_t address = 0;
  std::vector<uint8_t> data;
};

// A scripted module: accepts one TCP connection on 127.0.0.1 and answers
// each packet it receives with what the handler returns. Without a handler
// it only answers the address query (0xAD, 0) from moduleAddress.
class FakePeer {
 public:
  using Handler = std::function<std::vector<RawPacket>(const RawPacket&)>;

  explicit FakePeer(uint8_t moduleAddress = 2) : address_(moduleAddress) {}
  ~FakePeer() { stop(); }
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  bool start();
  void stop();
  uint16_t port() const { return port_; }
  uint8_t address() const { return address_; }
  void setHandler(Handler handler);
  // Sends packets as if the module sent them on its own.
  void send(const std::vector<RawPacket>& packets);
  // Packets received so far other than the address query and route packets.
  std::vector<RawPacket> received();

 private:
  void run();
  void write(const std::vector<RawPacket>& packets);

  uint8_t address_;
  uint16_t port_ = 0;
  int listenFd_ = -1;
  int fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mutex_;
  Handler handler_;
  std::vector<RawPacket> received_;
};

#endif
