#include "sim/SimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "sim/SimRouter.h"

namespace sim {
namespace {

// Bytes waiting for a slow reader are dropped past this, like a full device FIFO.
constexpr size_t kMaxPendingOut = 64 * 1024;
// How often pseudo-terminals without a reader are checked for one, in ms.
constexpr uint64_t kPeerCheckMs = 50;
constexpr uint64_t kRebindRetryMs = 100;

uint64_t sNowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void sCloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool sSetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A symbolic link at path to target; an older link there is replaced, any
// other file is left alone and refused.
bool sMakeLink(const std::string& target, const std::string& path, std::string& error) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = path + " exists and is not a symbolic link";
      return false;
    }
    ::unlink(path.c_str());
  }
  if (::symlink(target.c_str(), path.c_str()) != 0) {
    error = "cannot link " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::atomic<int> gSignalWakeFd{-1};
volatile sig_atomic_t gSignalled = 0;

void sOnSignal(int) {
  gSignalled = 1;
  int fd = gSignalWakeFd.load();
  if (fd >= 0) {
    char b = 1;
    ssize_t ignored = ::write(fd, &b, 1);
    (void)ignored;
  }
}

}  // namespace

struct SimServer::Impl {
  enum class Kind { Tcp, Serial, Kernel };

  struct Endpoint {
    Endpoint(Kind k, const char* l) : kind(k), label(l) {}
    Kind kind;
    const char* label;
    int listenFd = -1;
    int fd = -1;  // TCP connection or pseudo-terminal master
    uint16_t port = 0;
    std::string slavePath;
    std::string linkPath;  // symbolic link we made (removed at exit)
    bool peer = false;     // a host is connected / has the terminal open
    uint32_t generation = 0;
    RawParser raw;
    CobsParser cobs;
    std::vector<uint8_t> out;
    uint32_t rxCount = 0;
  };

  struct Delayed {
    uint64_t dueMs;
    size_t endpoint;
    uint32_t generation;
    std::vector<uint8_t> bytes;
  };

  struct Mod {
    explicit Mod(const ModuleConfig& c) : cfg(c), module(c) {}
    ModuleConfig cfg;
    SimModule module;
    std::vector<Endpoint> eps;
    uint64_t nextHbMs = 0;
    uint64_t replies = 0;
    int64_t received = 0;
    bool muted = false;
    bool rebooting = false;
    uint64_t rebootUntilMs = 0;
    uint64_t rebindAtMs = 0;
    uint32_t missedReported = 0;
    std::deque<Delayed> delayed;
    std::vector<Packet> afterReconnect;  // answers owed to the host's next link
    std::unique_ptr<SimRouter> network;  // modules on this module's I2C bus
  };

  Mod* findMod(uint32_t serial) {
    for (auto& m : mods) {
      if (m->cfg.serial == serial) return m.get();
    }
    return nullptr;
  }

  // Puts every behind= module on its router's bus.
  void wireNetworks() {
    for (auto& m : mods) {
      Mod* router = m->cfg.behind ? findMod(m->cfg.behind) : nullptr;
      if (router == nullptr) continue;
      if (!router->network) router->network = std::make_unique<SimRouter>(router->cfg.address);
      router->network->attach(&m->module);
    }
  }

  SimOptions options;
  std::vector<std::unique_ptr<Mod>> mods;
  int wake[2] = {-1, -1};
  std::atomic<bool> stopping{false};
  FILE* record = nullptr;

  ~Impl() {
    if (gSignalWakeFd.load() == wake[1]) gSignalWakeFd.store(-1);
    for (auto& m : mods) {
      for (Endpoint& ep : m->eps) {
        sCloseFd(ep.fd);
        sCloseFd(ep.listenFd);
        if (!ep.linkPath.empty()) ::unlink(ep.linkPath.c_str());
      }
    }
    sCloseFd(wake[0]);
    sCloseFd(wake[1]);
    if (record) std::fclose(record);
  }

  void note(const Mod& m, const Endpoint& ep, const char* what, const std::string& text) {
    if (record) {
      std::fprintf(record, "%s %08X %s %s\n", what, m.cfg.serial, ep.label, text.c_str());
      std::fflush(record);
    }
    if (options.verbose && std::strcmp(what, "EV") == 0) {
      std::fprintf(stderr, "corvalith-sim: %08X %s %s\n", m.cfg.serial, ep.label, text.c_str());
    }
  }

  bool openTcp(Endpoint& ep, uint16_t port, std::string& error) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 4) != 0 ||
        !sSetNonBlocking(fd)) {
      error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ep.port = ntohs(sa.sin_port);
    ep.listenFd = fd;
    return true;
  }

  bool openPty(Endpoint& ep, std::string& error) {
    int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || !sSetNonBlocking(fd)) {
      error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return false;
    }
    // Raw from the start: a kernel-device reader applies no settings of its own.
    termios t;
    if (::tcgetattr(fd, &t) == 0) {
      ::cfmakeraw(&t);
      t.c_cc[VMIN] = 0;
      t.c_cc[VTIME] = 0;
      ::tcsetattr(fd, TCSANOW, &t);
    }
    char name[128];
    if (::ptsname_r(fd, name, sizeof name) != 0) {
      error = "ptsname failed";
      ::close(fd);
      return false;
    }
    // A terminal never opened reports no hang-up; open and close it once so
    // that POLLHUP tells from the start whether a host has it open.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0) ::close(slave);
    ep.fd = fd;
    ep.slavePath = name;
    return true;
  }

  bool open(std::string& error) {
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
      error = "pipe failed";
      return false;
    }
    if (!options.recordPath.empty()) {
      record = std::fopen(options.recordPath.c_str(), "a");
      if (!record) {
        error = "cannot open " + options.recordPath;
        return false;
      }
    }
    std::string devDir = options.devDir;
    if (devDir.empty()) {
      const char* env = std::getenv("CORVALITH_DEV_DIR");
      devDir = (env && *env) ? env : "/dev";
    }
    uint64_t now = sNowMs();
    for (ModuleConfig c : options.modules) {
      if (c.behind != 0 && c.router == 0) {
        for (const ModuleConfig& r : options.modules) {
          if (r.serial == c.behind) c.router = r.address;
        }
      }
      auto m = std::make_unique<Mod>(c);
      if (c.tcpPort >= 0) {
        Endpoint ep(Kind::Tcp, "tcp");
        if (!openTcp(ep, static_cast<uint16_t>(c.tcpPort), error)) return false;
        m->eps.push_back(std::move(ep));
      }
      if (c.serialPty) {
        Endpoint ep(Kind::Serial, "serial");
        if (!openPty(ep, error)) return false;
        m->eps.push_back(std::move(ep));
        if (!c.serialLink.empty()) {
          if (!sMakeLink(m->eps.back().slavePath, c.serialLink, error)) return false;
          m->eps.back().linkPath = c.serialLink;
        }
      }
      if (c.kernelPty) {
        Endpoint ep(Kind::Kernel, "kernel");
        if (!openPty(ep, error)) return false;
        m->eps.push_back(std::move(ep));
        char file[32];
        std::snprintf(file, sizeof file, "/corvalith.%08X", c.serial);
        if (!sMakeLink(m->eps.back().slavePath, devDir + file, error)) return false;
        m->eps.back().linkPath = devDir + file;
      }
      m->module.reboot(now);
      m->muted = c.muteAfter == 0;
      m->nextHbMs = now + c.heartbeatMs;
      mods.push_back(std::move(m));
    }
    wireNetworks();
    return true;
  }

  std::vector<std::string> listenLines() const {
    std::vector<std::string> lines;
    char sn[16];
    for (const auto& m : mods) {
      std::snprintf(sn, sizeof sn, "%08X", m->cfg.serial);
      for (const Endpoint& ep : m->eps) {
        std::string where = ep.kind == Kind::Tcp  ? "127.0.0.1:" + std::to_string(ep.port)
                            : ep.linkPath.empty() ? ep.slavePath
                                                  : ep.linkPath;
        lines.push_back(std::string("LISTEN ") + ep.label + " " + where + " serial=" + sn);
      }
    }
    return lines;
  }

  static bool anyPeer(const Mod& m) {
    for (const Endpoint& ep : m.eps) {
      if (ep.peer) return true;
    }
    return false;
  }

  // Streams belong to the host's link: with the last link they end, so the
  // next host is not met by samples it never asked for.
  static void stopStreams(Mod& m) {
    m.module.stopStreams();
    if (m.network) m.network->stopStreams();
  }

  void closeConnection(Mod& m, Endpoint& ep, const char* why) {
    if (ep.kind == Kind::Tcp) sCloseFd(ep.fd);
    if (ep.peer) note(m, ep, "EV", why);
    ep.peer = false;
    ep.out.clear();
    ep.raw.reset();
    ep.cobs.reset();
    ep.rxCount = 0;
    ++ep.generation;
    if (!anyPeer(m)) stopStreams(m);
  }

  void flushOut(Mod& m, Endpoint& ep) {
    while (!ep.out.empty() && ep.fd >= 0) {
      ssize_t n = ::send(ep.fd, ep.out.data(), ep.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == ENOTSOCK) n = ::write(ep.fd, ep.out.data(), ep.out.size());
      if (n > 0) {
        ep.out.erase(ep.out.begin(), ep.out.begin() + n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      if (ep.kind == Kind::Tcp) {
        closeConnection(m, ep, "close");
      } else {
        ep.out.clear();
      }
      return;
    }
  }

  void queueBytes(Mod& m, size_t epIndex, std::vector<uint8_t> bytes, bool delayable, uint64_t now) {
    Endpoint& ep = m.eps[epIndex];
    if (delayable && m.cfg.delayMs > 0) {
      m.delayed.push_back(Delayed{now + m.cfg.delayMs, epIndex, ep.generation, std::move(bytes)});
      return;
    }
    if (ep.out.size() + bytes.size() > kMaxPendingOut) return;
    ep.out.insert(ep.out.end(), bytes.begin(), bytes.end());
    flushOut(m, ep);
  }

  void send(Mod& m, size_t epIndex, const Packet& p, bool delayable, uint64_t now) {
    Endpoint& ep = m.eps[epIndex];
    if (!ep.peer) return;
    if (record) note(m, ep, "TX", toHex(p.bytes()));
    queueBytes(m, epIndex, ep.kind == Kind::Serial ? serialFrame(p) : p.bytes(), delayable, now);
  }

  void startReboot(Mod& m, uint64_t now) {
    m.rebooting = true;
    m.rebootUntilMs = now + m.cfg.rebootMs;
    m.delayed.clear();
    stopStreams(m);
    for (Endpoint& ep : m.eps) {
      note(m, ep, "EV", "reboot");
      if (ep.kind == Kind::Tcp) {
        flushOut(m, ep);
        closeConnection(m, ep, "close");
        sCloseFd(ep.listenFd);
      } else {
        ep.out.clear();
        ep.raw.reset();
        ep.cobs.reset();
        ep.rxCount = 0;
        ++ep.generation;
      }
    }
  }

  void endReboot(Mod& m, uint64_t now) {
    bool ready = true;
    for (Endpoint& ep : m.eps) {
      if (ep.kind != Kind::Tcp || ep.listenFd >= 0) continue;
      std::string error;
      if (!openTcp(ep, ep.port, error)) ready = false;
    }
    if (!ready) {
      m.rebindAtMs = now + kRebindRetryMs;
      return;
    }
    m.rebooting = false;
    m.module.reboot(now);
    m.nextHbMs = now + m.cfg.heartbeatMs;
  }

  void onPacket(Mod& m, size_t epIndex, const Packet& p, uint64_t now) {
    Endpoint& ep = m.eps[epIndex];
    if (record) note(m, ep, "RX", toHex(p.bytes()));
    if (m.rebooting) return;
    ++m.received;
    ++ep.rxCount;
    if (m.cfg.muteAfter >= 0 && m.received > m.cfg.muteAfter) m.muted = true;
    Response r;
    if (!m.network || !m.network->handle(p, m.module.routeOn(), now, r)) r = m.module.handle(p, now);
    if (!m.muted) {
      for (const Packet& reply : r.replies) {
        ++m.replies;
        if (m.cfg.dropEvery && m.replies % m.cfg.dropEvery == 0) {
          note(m, ep, "EV", "drop " + toHex(reply.bytes()));
          continue;
        }
        send(m, epIndex, reply, true, now);
      }
    }
    // Answers owed from before a drop go out once, after the answer to the
    // host's first packet that is not synchronisation or routing: only then
    // is the host in step again and takes them as packets.
    if (!m.afterReconnect.empty() && !m.muted && p.address != kSyncAddress && p.address != kRouteAddress) {
      for (const Packet& reply : m.afterReconnect) send(m, epIndex, reply, true, now);
      m.afterReconnect.clear();
    }
    if (m.module.heartbeatsMissed() != m.missedReported) {
      m.missedReported = m.module.heartbeatsMissed();
      note(m, ep, "EV", "hb-missed");
    }
    if (r.reboot) {
      m.afterReconnect = std::move(r.afterReconnect);
      startReboot(m, now);
    } else if (m.cfg.closeAfter && ep.rxCount >= m.cfg.closeAfter) {
      startReboot(m, now);
    }
  }

  void readFrom(Mod& m, size_t epIndex, uint64_t now) {
    uint8_t buf[4096];  // one pooled block of the host
    // Bounded: at most 512 KiB per endpoint per loop turn, so one busy
    // endpoint cannot starve the others.
    for (int round = 0; round < 128; ++round) {
      Endpoint& ep = m.eps[epIndex];
      if (ep.fd < 0) return;
      ssize_t n = ::read(ep.fd, buf, sizeof buf);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      if (n <= 0) {
        // TCP: the host closed. Pseudo-terminal: EIO once the host closed it.
        closeConnection(m, ep, "close");
        return;
      }
      const uint32_t generation = ep.generation;
      for (ssize_t i = 0; i < n; ++i) {
        Packet p;
        bool done = ep.kind == Kind::Serial ? ep.cobs.feed(buf[i], p) : ep.raw.feed(buf[i], p);
        if (done) onPacket(m, epIndex, p, now);
        if (m.eps[epIndex].generation != generation) return;
      }
    }
  }

  void acceptOn(Mod& m, Endpoint& ep) {
    int fd = ::accept4(ep.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // The newest host wins: a host that reconnects has given up the old socket.
    if (ep.fd >= 0) closeConnection(m, ep, "replaced");
    ep.fd = fd;
    ep.peer = true;
    ++ep.generation;
    note(m, ep, "EV", "connect");
  }

  void checkPtyPeer(Mod& m, Endpoint& ep) {
    pollfd p{ep.fd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0) return;
    bool hup = (p.revents & POLLHUP) != 0;
    if (!hup && !ep.peer) {
      ep.peer = true;
      ++ep.generation;
      note(m, ep, "EV", "connect");
    } else if (hup && ep.peer) {
      closeConnection(m, ep, "close");
    }
  }

  void timers(uint64_t now) {
    for (auto& mp : mods) {
      Mod& m = *mp;
      if (m.rebooting) {
        if (now >= m.rebootUntilMs && now >= m.rebindAtMs) endReboot(m, now);
        continue;
      }
      while (!m.delayed.empty() && m.delayed.front().dueMs <= now) {
        Delayed d = std::move(m.delayed.front());
        m.delayed.pop_front();
        Endpoint& ep = m.eps[d.endpoint];
        if (ep.generation == d.generation && ep.peer)
          queueBytes(m, d.endpoint, std::move(d.bytes), false, now);
      }
      if (m.cfg.heartbeatMs && now >= m.nextHbMs) {
        m.nextHbMs = now + m.cfg.heartbeatMs;
        if (anyPeer(m) && !m.muted) {
          Packet hb = m.module.nextHeartbeat();
          for (size_t i = 0; i < m.eps.size(); ++i) send(m, i, hb, false, now);
          if (m.module.heartbeatsMissed() != m.missedReported) {
            m.missedReported = m.module.heartbeatsMissed();
            note(m, m.eps.front(), "EV", "hb-missed");
          }
        }
      }
      sendSamples(m, now);
    }
  }

  // Samples go out between replies, as heartbeats do; a module behind a
  // router sends its samples through the router's link.
  void sendSamples(Mod& m, uint64_t now) {
    if (m.cfg.behind != 0) return;
    std::vector<Packet> samples = m.module.takeSamples(now);
    if (m.network) m.network->takeSamples(m.module.routeOn(), now, samples);
    if (samples.empty() || m.muted) return;
    for (const Packet& p : samples) {
      for (size_t i = 0; i < m.eps.size(); ++i) send(m, i, p, false, now);
    }
  }

  uint64_t nextWakeMs(uint64_t now) const {
    uint64_t wakeAt = now + 1000;
    for (const auto& mp : mods) {
      const Mod& m = *mp;
      if (m.rebooting) {
        wakeAt = std::min(wakeAt, std::max(m.rebootUntilMs, m.rebindAtMs));
        continue;
      }
      if (m.cfg.heartbeatMs) wakeAt = std::min(wakeAt, m.nextHbMs);
      if (m.cfg.behind == 0) {
        wakeAt = std::min(wakeAt, m.module.nextSampleMs());
        if (m.network) wakeAt = std::min(wakeAt, m.network->nextSampleMs());
      }
      if (!m.delayed.empty()) wakeAt = std::min(wakeAt, m.delayed.front().dueMs);
      for (const Endpoint& ep : m.eps) {
        if (ep.kind != Kind::Tcp && !ep.peer) wakeAt = std::min(wakeAt, now + kPeerCheckMs);
      }
    }
    return wakeAt;
  }

  int run() {
    const uint64_t deadline = sNowMs() + uint64_t{options.lifetimeS} * 1000;
    std::vector<pollfd> fds;
    struct Slot {
      Mod* mod;
      size_t ep;
      bool listener;
    };
    std::vector<Slot> slots;
    while (!stopping.load() && !gSignalled) {
      uint64_t now = sNowMs();
      if (now >= deadline) break;
      for (auto& mp : mods) {
        for (Endpoint& ep : mp->eps) {
          if (ep.kind != Kind::Tcp && !mp->rebooting) checkPtyPeer(*mp, ep);
        }
      }
      timers(now);
      fds.clear();
      slots.clear();
      fds.push_back(pollfd{wake[0], POLLIN, 0});
      slots.push_back(Slot{nullptr, 0, false});
      for (auto& mp : mods) {
        for (size_t i = 0; i < mp->eps.size(); ++i) {
          Endpoint& ep = mp->eps[i];
          if (ep.listenFd >= 0) {
            fds.push_back(pollfd{ep.listenFd, POLLIN, 0});
            slots.push_back(Slot{mp.get(), i, true});
          }
          if (ep.fd >= 0 && ep.peer) {
            short events = POLLIN;
            if (!ep.out.empty()) events |= POLLOUT;
            fds.push_back(pollfd{ep.fd, events, 0});
            slots.push_back(Slot{mp.get(), i, false});
          }
        }
      }
      uint64_t wakeAt = std::min(nextWakeMs(now), deadline);
      int timeout = wakeAt > now ? static_cast<int>(wakeAt - now) : 0;
      int n = ::poll(fds.data(), fds.size(), timeout);
      if (n < 0 && errno != EINTR) return 1;
      if (n <= 0) continue;
      now = sNowMs();
      if (fds[0].revents) {
        char drain[16];
        while (::read(wake[0], drain, sizeof drain) > 0) {
        }
      }
      for (size_t k = 1; k < fds.size(); ++k) {
        if (!fds[k].revents) continue;
        Mod& m = *slots[k].mod;
        Endpoint& ep = m.eps[slots[k].ep];
        if (slots[k].listener) {
          if (ep.listenFd == fds[k].fd) acceptOn(m, ep);
          continue;
        }
        if (ep.fd != fds[k].fd || !ep.peer) continue;
        if (fds[k].revents & POLLOUT) flushOut(m, ep);
        if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) {
          if (ep.kind != Kind::Tcp && !(fds[k].revents & POLLIN)) {
            closeConnection(m, ep, "close");
          } else {
            readFrom(m, slots[k].ep, now);
          }
        }
      }
    }
    for (auto& mp : mods) {
      std::string error;
      if (!mp->module.saveFiles(error)) std::fprintf(stderr, "corvalith-sim: %s\n", error.c_str());
    }
    return 0;
  }
};

SimServer::SimServer(const SimOptions& options) : impl_(std::make_unique<Impl>()) {
  impl_->options = options;
}

SimServer::~SimServer() = default;

bool SimServer::open(std::string& error) {
  return impl_->open(error);
}

std::vector<std::string> SimServer::listenLines() const {
  return impl_->listenLines();
}

uint16_t SimServer::tcpPort(size_t module) const {
  if (module >= impl_->mods.size()) return 0;
  for (const Impl::Endpoint& ep : impl_->mods[module]->eps) {
    if (ep.kind == Impl::Kind::Tcp) return ep.port;
  }
  return 0;
}

int SimServer::run() {
  return impl_->run();
}

void SimServer::stop() {
  impl_->stopping.store(true);
  if (impl_->wake[1] >= 0) {
    char b = 1;
    ssize_t ignored = ::write(impl_->wake[1], &b, 1);
    (void)ignored;
  }
}

void SimServer::stopOnSignals() {
  gSignalWakeFd.store(impl_->wake[1]);
  struct sigaction sa {};
  sa.sa_handler = sOnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace sim
