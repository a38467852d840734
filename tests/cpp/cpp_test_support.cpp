#include "cpp_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/aDiscovery.h"

aWeftConfig DirectConfig() {
  aWeftConfig c;
  c.enabled = 0;
  c.fallback = 0;
  return c;
}

linkSpec TcpSpec(uint32_t serial, uint16_t port) {
  linkSpec s{};
  s.type = TCPIP;
  s.serialNumber = serial;
  s.t.ip.ipAddress = aDiscovery_IPv4(127, 0, 0, 1);
  s.t.ip.ipPort = port;
  return s;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const auto start = std::chrono::steady_clock::now();
  while (!condition()) {
    if (ElapsedMs(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
    out += b;
  }
  return out;
}

std::vector<std::string> RecordedRx(const std::string& path, uint32_t serial) {
  char head[32];
  std::snprintf(head, sizeof head, "RX %08X ", serial);
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(head, 0) != 0) continue;
    const size_t space = line.find(' ', std::string(head).size());
    if (space != std::string::npos) lines.push_back(line.substr(space + 1));
  }
  return lines;
}

bool FakePeer::start() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listenFd_, 2) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return false;
  }
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this] { run(); });
  return true;
}

void FakePeer::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
  if (listenFd_ >= 0) close(listenFd_);
  fd_ = listenFd_ = -1;
}

void FakePeer::setHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RawPacket> FakePeer::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void FakePeer::write(const std::vector<RawPacket>& packets) {
  std::vector<uint8_t> bytes;
  for (const RawPacket& p : packets) {
    bytes.push_back(p.address);
    bytes.push_back(static_cast<uint8_t>(p.data.size()));
    bytes.insert(bytes.end(), p.data.begin(), p.data.end());
  }
  size_t done = 0;
  // Loopback writes of a few hundred bytes complete at once; bounded anyway.
  for (int tries = 0; tries < 100 && done < bytes.size(); ++tries) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void FakePeer::send(const std::vector<RawPacket>& packets) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) write(packets);
}

void FakePeer::run() {
  std::vector<uint8_t> pending;
  while (!stopping_) {
    pollfd p{fd_ >= 0 ? fd_ : listenFd_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    if (fd_ < 0) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(mutex_);
        fd_ = fd;
      }
      continue;
    }
    uint8_t buf[512];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      close(fd_);
      fd_ = -1;
      pending.clear();
      continue;
    }
    pending.insert(pending.end(), buf, buf + n);
    while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
      RawPacket in{pending[0], std::vector<uint8_t>(pending.begin() + 2, pending.begin() + 2 + pending[1])};
      pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
      std::lock_guard<std::mutex> lock(mutex_);
      if (in.address == 0xAD && in.data.empty()) {
        write({RawPacket{address_, {}}});
        continue;
      }
      if (in.address == 0xAF) continue;
      received_.push_back(in);
      if (handler_) write(handler_(in));
    }
  }
}
