#include "sim/SimDiscovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>

namespace sim {
namespace {

constexpr const char* kGroup = "232.2.2.2";
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr size_t kRequestSize = 16;
constexpr size_t kReplySize = 16;
constexpr uint8_t kRequestCommand = 0x01;
// Our own marker in the uninterpreted byte 0 of a reply.
constexpr uint8_t kReplyMarker = 0x81;
constexpr uint32_t kMaxReplies = 10;
constexpr uint32_t kMaxDelayMs = 60000;
// The thread looks at its stop flag at least this often, in ms.
constexpr int kMaxWaitMs = 1000;

uint64_t sNowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void sPutLE(uint8_t* out, uint32_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool sNumber(const std::string& text, uint32_t max, uint32_t& out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10)
    return false;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > max) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

void sClose(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

bool isDiscoveryKey(const std::string& key) {
  return key == "discovery" || key == "discovery-delay-ms" || key == "discovery-replies" ||
         key == "discovery-length";
}

bool applyDiscoveryKey(DiscoveryConfig& config, const std::string& key, const std::string& value,
                       std::string& error) {
  auto bad = [&](const char* what) {
    error = "bad value for " + key + " (" + what + "): " + value;
    return false;
  };
  uint32_t v = 0;
  if (key == "discovery") {
    if (value == "yes" || value == "1" || value == "true") {
      config.answer = true;
    } else if (value == "no" || value == "0" || value == "false") {
      config.answer = false;
    } else {
      return bad("yes or no");
    }
  } else if (key == "discovery-delay-ms") {
    if (!sNumber(value, kMaxDelayMs, v)) return bad("0 to 60000");
    config.delayMs = v;
  } else if (key == "discovery-replies") {
    if (!sNumber(value, kMaxReplies, v)) return bad("0 to 10");
    config.replies = v;
  } else if (key == "discovery-length") {
    if (!sNumber(value, kReplySize, v) || v == 0) return bad("1 to 16");
    config.length = v;
  } else {
    error = "unknown module key: " + key;
    return false;
  }
  return true;
}

std::vector<uint8_t> discoveryReply(const DiscoveryModule& module) {
  std::vector<uint8_t> reply(kReplySize, 0);
  reply[0] = kReplyMarker;
  reply[1] = module.address;
  sPutLE(&reply[2], module.tcpPort, 2);
  sPutLE(&reply[4], module.serial, 4);
  sPutLE(&reply[8], module.version, 4);
  reply[12] = module.model;
  reply.resize(std::min<size_t>(module.config.length, kReplySize));
  return reply;
}

struct DiscoveryResponder::Impl {
  struct Pending {
    uint64_t dueMs;
    sockaddr_in to;
    std::vector<uint8_t> bytes;
  };

  std::string where;
  std::vector<DiscoveryModule> modules;
  bool verbose = false;
  int listenFd = -1;
  int sendFd = -1;  // bound to 127.0.0.1
  int wake[2] = {-1, -1};
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<uint32_t> requests{0};
  std::vector<Pending> pending;

  ~Impl() {
    sClose(listenFd);
    sClose(sendFd);
    sClose(wake[0]);
    sClose(wake[1]);
  }

  bool interfaces(std::vector<in_addr>& out, std::string& error) {
    std::set<uint32_t> seen;
    auto add = [&](in_addr a) {
      if (seen.insert(a.s_addr).second) out.push_back(a);
    };
    if (where == "all") {
      ifaddrs* list = nullptr;
      if (::getifaddrs(&list) != 0) {
        error = std::string("cannot list interfaces: ") + std::strerror(errno);
        return false;
      }
      for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) {
          add(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr);
        }
      }
      ::freeifaddrs(list);
      return true;
    }
    std::stringstream ss(where);
    std::string item;
    while (std::getline(ss, item, ',')) {
      in_addr a{};
      if (::inet_pton(AF_INET, item.c_str(), &a) != 1) {
        error = "--discovery needs all or IPv4 addresses separated by commas: " + where;
        return false;
      }
      add(a);
    }
    if (out.empty()) {
      error = "--discovery needs all or IPv4 addresses separated by commas: " + where;
      return false;
    }
    return true;
  }

  bool open(std::string& error) {
    const char* netns = std::getenv("NETNS_PRIVATE");
    if (!netns || std::string(netns) != "1") {
      error = "--discovery needs a private network namespace (scripts/netns-run)";
      return false;
    }
    std::vector<in_addr> addresses;
    if (!interfaces(addresses, error)) return false;
    listenFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sendFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0 || sendFd < 0 || ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
      error = std::string("discovery socket: ") + std::strerror(errno);
      return false;
    }
    // Several simulators in one namespace all hear the request.
    int one = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kRequestPort);
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
      error = std::string("discovery: cannot bind port 9888: ") + std::strerror(errno);
      return false;
    }
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(sendFd, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) != 0) {
      error = std::string("discovery: cannot bind 127.0.0.1: ") + std::strerror(errno);
      return false;
    }
    size_t joined = 0;
    for (const in_addr& a : addresses) {
      ip_mreq request{};
      ::inet_pton(AF_INET, kGroup, &request.imr_multiaddr);
      request.imr_interface = a;
      if (::setsockopt(listenFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0) {
        ++joined;
      } else if (verbose) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &a, text, sizeof text);
        std::fprintf(stderr, "corvalith-sim: discovery: cannot join on %s: %s\n", text, std::strerror(errno));
      }
    }
    if (joined == 0) {
      error = "discovery: could not join 232.2.2.2 on any interface";
      return false;
    }
    return true;
  }

  void answer(const sockaddr_in& from, uint64_t now) {
    requests.fetch_add(1);
    sockaddr_in to = from;
    to.sin_port = htons(kReplyPort);
    if (verbose) {
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      std::fprintf(stderr, "corvalith-sim: discovery request from %s\n", text);
    }
    for (const DiscoveryModule& m : modules) {
      if (!m.config.answer) continue;
      for (uint32_t i = 0; i < m.config.replies; ++i) {
        pending.push_back(Pending{now + m.config.delayMs, to, discoveryReply(m)});
      }
    }
    std::stable_sort(pending.begin(), pending.end(),
                     [](const Pending& a, const Pending& b) { return a.dueMs < b.dueMs; });
  }

  void sendDue(uint64_t now) {
    size_t sent = 0;
    for (; sent < pending.size() && pending[sent].dueMs <= now; ++sent) {
      const Pending& p = pending[sent];
      ssize_t n = ::sendto(sendFd, p.bytes.data(), p.bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&p.to), sizeof p.to);
      if (n < 0 && verbose)
        std::fprintf(stderr, "corvalith-sim: discovery reply: %s\n", std::strerror(errno));
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(sent));
  }

  void run() {
    while (!stopping.load()) {
      uint64_t now = sNowMs();
      sendDue(now);
      int waitMs = kMaxWaitMs;
      if (!pending.empty())
        waitMs = static_cast<int>(std::min<uint64_t>(pending.front().dueMs - now, kMaxWaitMs));
      pollfd fds[2] = {{wake[0], POLLIN, 0}, {listenFd, POLLIN, 0}};
      const int n = ::poll(fds, 2, waitMs);
      if (n < 0 && errno != EINTR) break;
      if (n <= 0) continue;
      if (fds[0].revents) break;
      if (!(fds[1].revents & POLLIN)) continue;
      uint8_t request[kRequestSize + 1];
      sockaddr_in from{};
      socklen_t fromSize = sizeof from;
      const ssize_t got = ::recvfrom(listenFd, request, sizeof request, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromSize);
      if (got == static_cast<ssize_t>(kRequestSize) && request[0] == kRequestCommand) answer(from, sNowMs());
    }
  }
};

DiscoveryResponder::DiscoveryResponder(std::string where, std::vector<DiscoveryModule> modules, bool verbose)
    : impl_(std::make_unique<Impl>()) {
  impl_->where = std::move(where);
  impl_->modules = std::move(modules);
  impl_->verbose = verbose;
}

DiscoveryResponder::~DiscoveryResponder() {
  stop();
}

bool DiscoveryResponder::start(std::string& error) {
  if (impl_->thread.joinable()) return true;
  if (!impl_->open(error)) return false;
  impl_->thread = std::thread([this] { impl_->run(); });
  return true;
}

void DiscoveryResponder::stop() {
  impl_->stopping.store(true);
  if (impl_->wake[1] >= 0) {
    char b = 1;
    ssize_t ignored = ::write(impl_->wake[1], &b, 1);
    (void)ignored;
  }
  if (impl_->thread.joinable()) impl_->thread.join();
}

uint32_t DiscoveryResponder::requests() const {
  return impl_->requests.load();
}

}  // namespace sim
