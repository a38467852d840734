// TCP/IP discovery: the multicast search request and the modules' replies.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/aDebug.h"
#include "unix/aDiscoveryOS.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kRequestCommand = 0x01;
// A reply must reach the serial number (bytes 4-7) to describe a module.
constexpr size_t kMinReplySize = 8;
constexpr size_t kReplyModelOffset = 12;

uint32_t sGetLE32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

sockaddr_in sAddress(uint32_t address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = address;
  a.sin_port = htons(port);
  return a;
}

int sReusableUdpSocket() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One discovery request through the interface (or the default one when
// useInterface is false), on a socket of its own.
bool sSendRequest(uint32_t through, bool useInterface) {
  int fd = sReusableUdpSocket();
  if (fd < 0) return false;
  if (useInterface) {
    in_addr a{};
    a.s_addr = through;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) != 0) {
      close(fd);
      return false;
    }
  }
  uint8_t request[aDISCOVERY_REQUEST_SIZE] = {kRequestCommand};
  in_addr group{};
  inet_pton(AF_INET, aDISCOVERY_GROUP, &group);
  sockaddr_in to = sAddress(group.s_addr, aDISCOVERY_REQUEST_PORT);
  const ssize_t sent = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(fd);
  return sent == static_cast<ssize_t>(sizeof request);
}

// Number of requests that went out.
int sSendRequests(uint32_t networkInterface) {
  if (!aDiscovery_IsAnyInterface(networkInterface)) return sSendRequest(networkInterface, true) ? 1 : 0;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return sSendRequest(0, false) ? 1 : 0;
  int sent = 0;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    if (aDiscovery_IsAnyInterface(address)) continue;
    if (sSendRequest(address, true)) ++sent;
  }
  freeifaddrs(list);
  return sent;
}

linkSpec sReplySpec(const uint8_t* reply, size_t size, uint32_t from) {
  linkSpec spec{};
  spec.type = TCPIP;
  spec.module = reply[1];
  spec.router = reply[1];
  spec.serialNumber = sGetLE32(reply + 4);
  spec.routerSerialNumber = spec.serialNumber;
  spec.model = size > kReplyModelOffset ? reply[kReplyModelOffset] : aDISCOVERY_UNKNOWN_MODEL;
  spec.t.ip.ipAddress = from;
  spec.t.ip.ipPort = static_cast<uint32_t>(reply[2]) | static_cast<uint32_t>(reply[3]) << 8;
  return spec;
}

// Rounded up, so a wait never ends before the deadline.
int sMsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

uint32_t aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* ref, uint32_t networkInterface) {
  if (!callback) return 0;
  const uint32_t listenAddress = aDiscovery_IsAnyInterface(networkInterface) ? INADDR_ANY : networkInterface;
  int listener = sReusableUdpSocket();
  if (listener < 0) return 0;
  sockaddr_in here = sAddress(listenAddress, aDISCOVERY_REPLY_PORT);
  if (bind(listener, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0 ||
      sSendRequests(networkInterface) == 0) {
    close(listener);
    return 0;
  }

  // The search ends after aDISCOVERY_SILENCE_MS without any datagram.
  uint32_t counted = 0;
  bool more = true;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(aDISCOVERY_SILENCE_MS);
  while (more) {
    pollfd p{listener, POLLIN, 0};
    const int ready = poll(&p, 1, sMsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && Clock::now() < deadline) continue;
    if (ready <= 0) break;
    uint8_t reply[aDISCOVERY_REPLY_SIZE] = {};
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    const ssize_t n =
        recvfrom(listener, reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      break;
    }
    deadline = Clock::now() + std::chrono::milliseconds(aDISCOVERY_SILENCE_MS);
    if (static_cast<size_t>(n) < kMinReplySize) continue;
    const linkSpec spec = sReplySpec(reply, static_cast<size_t>(n), from.sin_addr.s_addr);
    uint8_t take = 0;
    more = callback(&spec, &take, ref);
    if (take) ++counted;
  }
  close(listener);
  return counted;
}
