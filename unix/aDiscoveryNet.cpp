// The socket side of discovery: the TCP/IP multicast request and its
// replies, multicast endpoints, and the machine's IPv4 interfaces.
#include <arpa/inet.h>
#include <czmq.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "common/aDebug.h"
#include "unix/aDiscoveryOS.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kRequestCommand = 0x01;
// A reply must reach the serial number (bytes 4-7) to describe a module.
constexpr size_t kMinReplySize = 8;
constexpr size_t kReplyModelOffset = 12;
constexpr uint16_t kMulticastCheck = 0xCA57;
constexpr int kMulticastTtl = 1;
// Receives interrupted by signals are retried this many times.
constexpr int kMaxInterruptedReceives = 16;

uint32_t sGetLE32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

bool sIsAnyInterface(uint32_t address) {
  return address == 0 || address == aDISCOVERY_LOOPBACK;
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
  if (!sIsAnyInterface(networkInterface)) return sSendRequest(networkInterface, true) ? 1 : 0;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return sSendRequest(0, false) ? 1 : 0;
  int sent = 0;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    if (sIsAnyInterface(address)) continue;
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
  const uint32_t listenAddress = sIsAnyInterface(networkInterface) ? INADDR_ANY : networkInterface;
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

bool aDiscovery_IsDottedIPv4(const char* text) {
  in_addr a{};
  return text && inet_pton(AF_INET, text, &a) == 1;
}

// ---- Interfaces

namespace {

// CZMQ catches SIGINT and SIGTERM on its first use unless told not to; a
// library must leave the program's signal handling alone.
void sKeepSignalsFromCzmq() {
  static std::once_flag once;
  std::call_once(once, [] { zsys_handler_set(nullptr); });
}

}  // namespace

void aDiscovery_PrepareCzmq() {
  sKeepSignalsFromCzmq();
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity) {
  if (!addresses) return 0;
  sKeepSignalsFromCzmq();
  ziflist_t* list = ziflist_new();
  if (!list) return 0;
  uint32_t count = 0;
  for (const char* name = ziflist_first(list); name && count < capacity; name = ziflist_next(list)) {
    in_addr a{};
    const char* text = ziflist_address(list);
    if (!text || inet_pton(AF_INET, text, &a) != 1) continue;
    aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "Interface Found: %d\n", static_cast<int>(count));
    addresses[count++] = a.s_addr;
  }
  ziflist_destroy(&list);
  aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "aDiscovery_GetIPv4Interfaces count: %d\n",
                         static_cast<int>(count));
  return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length) {
  if (!buffer) return 0;
  std::memset(buffer, 0, length);
  if (length < INET_ADDRSTRLEN) return 0;
  in_addr a{};
  a.s_addr = address;
  if (!inet_ntop(AF_INET, &a, buffer, static_cast<socklen_t>(length))) {
    std::memset(buffer, 0, length);
    return 0;
  }
  return std::strlen(buffer);
}

// ---- Multicast endpoints

struct aMulticastRecord {
  uint16_t check;
  int fd;
  bool sender;
  sockaddr_in group;
};

namespace {

void sMulticastTrace(const char* format, int a) {
  aCorvalithDebug_Printf(aDEBUG_MULTICAST, format, a);
}

void sCleanup(aMulticastRecord* endpoint) {
  aCorvalithDebug_Printf(aDEBUG_MULTICAST, "in cleanup function");
  if (endpoint->fd >= 0) close(endpoint->fd);
  endpoint->check = 0;
  delete endpoint;
}

// A numeric IPv4 address and port; never a name lookup, so no resolver
// traffic leaves the machine.
// Result 0 or getaddrinfo's error.
int sResolve(const char* host, const char* port, sockaddr_in* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host, port, &hints, &found);
  if (rc != 0 || !found) {
    aCorvalithDebug_Printf(aDEBUG_MULTICAST, "Invalid address %s, getaddrinfo failed: %d\n", host, rc);
    return rc != 0 ? rc : EAI_NONAME;
  }
  std::memcpy(out, found->ai_addr, sizeof *out);
  freeaddrinfo(found);
  return 0;
}

int sSetReuse(int fd, int on) {
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    sMulticastTrace("Failed to set reuse %d\n", errno);
    return -1;
  }
  return 0;
}

int sJoinMulticastGroup(int fd, const sockaddr_in& group, const sockaddr_in& interface) {
  if (group.sin_family != AF_INET) {
    aCorvalithDebug_Printf(aDEBUG_MULTICAST,
                           "Attempting to join multicast group for invalid address family!");
    return -1;
  }
  ip_mreq request{};
  request.imr_multiaddr = group.sin_addr;
  request.imr_interface = interface.sin_addr;
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
    sMulticastTrace("JoinMulticastGroup: setsockopt failed with error code %d\n", errno);
    return -1;
  }
  return 0;
}

int sSetSendInterface(int fd, const sockaddr_in& interface) {
  if (interface.sin_family != AF_INET) {
    aCorvalithDebug_Printf(aDEBUG_MULTICAST, "Attempting to set sent interface for invalid address family!");
    return -1;
  }
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface.sin_addr, sizeof interface.sin_addr) != 0) {
    sMulticastTrace("Failed to set send interface. error code %d\n", errno);
    return -1;
  }
  return 0;
}

int sSetMulticastTtl(int fd, const sockaddr_in& group) {
  if (group.sin_family != AF_INET) {
    aCorvalithDebug_Printf(aDEBUG_MULTICAST, "Attempting to set TTL for invalid address family!");
    return -1;
  }
  const unsigned char ttl = kMulticastTtl;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    sMulticastTrace("SetMulticastTtl: setsockopt() failed with error code %d\n", errno);
    return -1;
  }
  return 0;
}

int sSetReceiveTimeout(int fd, const sockaddr_in& group) {
  if (group.sin_family != AF_INET) {
    aCorvalithDebug_Printf(aDEBUG_MULTICAST, "Attempting to set Timeout for invalid address family!");
    return -1;
  }
  timeval tv{};
  tv.tv_sec = aMULTICAST_RECEIVE_TIMEOUT_MS / 1000;
  tv.tv_usec = (aMULTICAST_RECEIVE_TIMEOUT_MS % 1000) * 1000;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    sMulticastTrace("SetReceivTimeout: setsockopt() failed with error code %d\n", errno);
    return -1;
  }
  return 0;
}

int sSetMulticastLoopBack(int fd, const sockaddr_in& group) {
  if (group.sin_family != AF_INET) {
    aCorvalithDebug_Printf(aDEBUG_MULTICAST,
                           "Attempting to set multicast loopback for invalid address family!");
    return -1;
  }
  const unsigned char on = 1;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on) != 0) {
    sMulticastTrace("SetMulticastLoopBack: setsockopt() failed with error code %d\n", errno);
    return -1;
  }
  return 0;
}

aMulticastRecord* sValid(aMulticastRef endpoint) {
  return endpoint && endpoint->check == kMulticastCheck ? endpoint : nullptr;
}

}  // namespace

aMulticastRef aMulticast_Create(uint32_t interfaceAddress, const char* groupAddress, uint16_t port,
                                bool sender) {
  if (sIsAnyInterface(interfaceAddress)) interfaceAddress = aDISCOVERY_LOOPBACK;
  char portText[8];
  std::snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));
  char interfaceText[INET_ADDRSTRLEN] = {};
  aDiscovery_ConvertIPv4Interface(interfaceAddress, interfaceText, sizeof interfaceText);

  if (!groupAddress) return nullptr;
  sockaddr_in group{};
  int rc = sResolve(groupAddress, portText, &group);
  if (rc != 0) {
    aCorvalithDebug_Printf(aDEBUG_MULTICAST,
                           "Unable to convert multicast address '%s - port: %s': Error %d\n", groupAddress,
                           portText, rc);
    return nullptr;
  }
  sockaddr_in any{};
  rc = sResolve("0.0.0.0", portText, &any);
  if (rc != 0) {
    aCorvalithDebug_Printf(aDEBUG_MULTICAST, "Unable to convert bind address '%s': Error %d\n", "0.0.0.0",
                           rc);
    return nullptr;
  }
  sockaddr_in interface {};
  rc = sResolve(interfaceText, nullptr, &interface);
  if (rc != 0) {
    aCorvalithDebug_Printf(aDEBUG_MULTICAST, "Unable to convert interface address '%s': Error %d\n",
                           interfaceText, rc);
    return nullptr;
  }

  aMulticastRecord* endpoint = new (std::nothrow) aMulticastRecord{};
  if (!endpoint) return nullptr;
  endpoint->check = kMulticastCheck;
  endpoint->sender = sender;
  endpoint->group = group;
  endpoint->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (endpoint->fd < 0) {
    sMulticastTrace("socket() failed with with error code %d\n", errno);
    sCleanup(endpoint);
    return nullptr;
  }
  const int fd = endpoint->fd;
  if (!sender) {
    // Reuse off: a port another process holds makes this fail, which is how
    // the device-server search tells a taken port from a free one.
    rc = sSetReuse(fd, 0);
    if (rc != 0) {
      aCorvalithDebug_Printf(aDEBUG_MULTICAST, "Failed to _setReuse rc: %d - %d\n", rc, errno);
      sCleanup(endpoint);
      return nullptr;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
      sMulticastTrace("bind() failed with error code %d \n", errno);
      sCleanup(endpoint);
      return nullptr;
    }
  }
  struct Step {
    int (*run)(int, const sockaddr_in&, const sockaddr_in&);
    const char* trace;
  };
  static const Step steps[] = {
      {[](int f, const sockaddr_in& g, const sockaddr_in& i) { return sJoinMulticastGroup(f, g, i); },
       "_joinMulticastGroup %d - %d\n"},
      {[](int f, const sockaddr_in&, const sockaddr_in& i) { return sSetSendInterface(f, i); },
       "_setSendInterface %d - %d\n"},
      {[](int f, const sockaddr_in& g, const sockaddr_in&) { return sSetMulticastTtl(f, g); },
       "_setMulticastTtl %d - %d\n"},
      {[](int f, const sockaddr_in& g, const sockaddr_in&) { return sSetReceiveTimeout(f, g); },
       "_setReceiveTimeout %d - %d\n"},
      {[](int f, const sockaddr_in& g, const sockaddr_in&) { return sSetMulticastLoopBack(f, g); },
       "_setMulticastLoopBack %d - %d\n"},
  };
  for (const Step& step : steps) {
    rc = step.run(fd, group, interface);
    if (rc != 0) {
      aCorvalithDebug_Printf(aDEBUG_MULTICAST, step.trace, rc, errno);
      sCleanup(endpoint);
      return nullptr;
    }
  }
  return endpoint;
}

int aMulticast_Send(aMulticastRef endpoint, const uint8_t* bytes, size_t count) {
  aMulticastRecord* e = sValid(endpoint);
  if (!e || (!bytes && count > 0)) return aMULTICAST_NULL;
  if (!e->sender) return aMULTICAST_WRONG_KIND;
  const ssize_t sent =
      sendto(e->fd, bytes, count, 0, reinterpret_cast<const sockaddr*>(&e->group), sizeof e->group);
  if (sent < 0) {
    sMulticastTrace("sendto() failed with error code %d\n", errno);
    return aMULTICAST_FAILED;
  }
  return static_cast<int>(sent);
}

int aMulticast_Receive(aMulticastRef endpoint, uint8_t* buffer, size_t size) {
  aMulticastRecord* e = sValid(endpoint);
  if (!e || (!buffer && size > 0)) return aMULTICAST_NULL;
  if (e->sender) return aMULTICAST_WRONG_KIND;
  for (int tries = 0; tries < kMaxInterruptedReceives; ++tries) {
    const ssize_t n = recvfrom(e->fd, buffer, size, 0, nullptr, nullptr);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    sMulticastTrace("recvfrom() failed with error code %d\n", errno);
    break;
  }
  return aMULTICAST_FAILED;
}

int aMulticast_Destroy(aMulticastRef* endpoint) {
  if (!endpoint || !sValid(*endpoint)) return aMULTICAST_NULL;
  aMulticastRecord* e = *endpoint;
  *endpoint = nullptr;
  if (e->fd >= 0) close(e->fd);
  e->check = 0;
  delete e;
  return 0;
}
