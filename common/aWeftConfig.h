// Network-sharing settings of one link: whether the device is shared through
// a device server, whether discover-and-connect may fall back to the other
// kind of transport, and where the server listens. A small value type.
#ifndef CORVALITH_COMMON_AWEFTCONFIG_H
#define CORVALITH_COMMON_AWEFTCONFIG_H

#include <cstdint>

// 127.0.0.1 as the socket layer stores it (network byte order) on a
// little-endian host.
constexpr uint32_t kWeftLoopbackInterface = 0x0100007F;

struct aWeftConfig {
  // Share the device through a device server and talk to it as a client;
  // also needed for the shared (AWEFT) link types.
  uint8_t enabled = 1;
  // Let discoverAndConnect try the other kind of transport once.
  uint8_t fallback = 1;
  // The device server binds to 127.0.0.1 only; else to networkInterface.
  uint8_t localOnly = 1;
  // TCP port of the device server; written back when one is created.
  uint16_t assignedPort = 0;
  // IPv4 address (network byte order) used for the server and for finding
  // shared devices; written back when a server is created.
  uint32_t networkInterface = kWeftLoopbackInterface;
};

#endif
