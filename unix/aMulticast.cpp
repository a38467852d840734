// Multicast UDP endpoints (the loopback multicast of the device-server
// search).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/aDebug.h"
#include "unix/aDiscoveryOS.h"

namespace {

constexpr uint16_t kMulticastCheck = 0xCA57;
constexpr int kMulticastTtl = 1;
// Receives interrupted by signals are retried this many times.
constexpr int kMaxInterruptedReceives = 16;

}  // namespace

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
  if (aDiscovery_IsAnyInterface(interfaceAddress)) interfaceAddress = aDISCOVERY_LOOPBACK;
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

int aMulticast_GetDescriptor(aMulticastRef endpoint) {
  const aMulticastRecord* e = sValid(endpoint);
  return e ? e->fd : -1;
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
