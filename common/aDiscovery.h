// Device discovery: finds the modules that can be reached and describes each
// by a linkSpec. USB modules are enumerated through the shared libusb
// context; modules with their own network port answer a UDP multicast
// request; shared devices (types 4 to 7) are found by searching for device
// servers. Every search is synchronous and reports each device to a callback,
// one linkSpec at a time. Discovery never reports errors: whatever fails only
// reduces what is found (library debug bit 0x10, 0x08 for multicast
// endpoints, 0x200 for the beacon-interface lock).
//
// Network addresses are IPv4 in network byte order, as the socket layer gives
// them (127.0.0.1 is the word 0x0100007F on a little-endian host).
#ifndef CORVALITH_COMMON_ADISCOVERY_H
#define CORVALITH_COMMON_ADISCOVERY_H

#include <cstddef>
#include <cstdint>

#include "common/linkSpec.h"

// TCP/IP discovery: request group and ports, and the silence that ends a
// search, in ms.
constexpr const char* aDISCOVERY_GROUP = "232.2.2.2";
constexpr uint16_t aDISCOVERY_REQUEST_PORT = 9888;
constexpr uint16_t aDISCOVERY_REPLY_PORT = 9889;
constexpr size_t aDISCOVERY_REQUEST_SIZE = 16;
constexpr size_t aDISCOVERY_REPLY_SIZE = 16;
constexpr int aDISCOVERY_SILENCE_MS = 2000;
// Model reported for a TCP/IP reply too short to carry one.
constexpr uint32_t aDISCOVERY_UNKNOWN_MODEL = 255;
// Longest USB serial-number string read, in bytes; only 8 characters count.
constexpr int aDISCOVERY_USB_SERIAL_MAX = 32;
// Upper bound of the interface list the server search asks for.
constexpr uint32_t aDISCOVERY_MAX_INTERFACES = 50;
// The IPv4 address a.b.c.d as a network-byte-order word.
constexpr uint32_t aDiscovery_IPv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 | static_cast<uint32_t>(c) << 8 | d;
#else
  return static_cast<uint32_t>(d) << 24 | static_cast<uint32_t>(c) << 16 | static_cast<uint32_t>(b) << 8 | a;
#endif
}
// Besides 0, the interface value that means "local or any".
constexpr uint32_t aDISCOVERY_LOOPBACK = aDiscovery_IPv4(127, 0, 0, 1);

// Called once per device found. The spec lives only for the call (copy its
// 128 bytes to keep it). Set *counted to count the device; return false to
// stop the search.
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, uint8_t* counted, void* ref);

// Runs the search for the transport and returns the number of devices the
// callback counted: USB (1) enumerates USB modules; TCPIP (2) multicasts the
// discovery request through networkInterface (0 or 127.0.0.1: through every
// IPv4 interface) and listens until 2 s pass without a reply; 4 to 7 search
// for device servers; INVALID, SERIAL and types above 7 find nothing and
// touch nothing. A null callback finds nothing.
uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref,
                                     uint32_t networkInterface);
// The device-server search behind types 4 to 7; number counted. With
// networkInterface 0 or 127.0.0.1 (or no IPv4 interface at all) a multicast
// probe on the loopback interface asks each of the 50 server ports and keeps
// only servers on 127.0.0.1; otherwise a beacon search on that interface
// listens for about 2 s. A server that answers twice is reported once.
uint32_t aDiscovery_Enumerate_aWeftModules(aDiscoveryCallback callback, void* ref, uint32_t networkInterface);

// The first device of the transport with this serial number, as a new spec
// the caller frees with aLinkSpec_Destroy; null when none answered (after
// the whole search) or out of memory. The search stops at the first match.
[[nodiscard]] linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber,
                                              uint32_t networkInterface);
// As aDiscovery_FindModule for the first device with a non-zero serial
// number.
[[nodiscard]] linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// ---- The beacon interface. CZMQ's beacon interface is one process-wide
// setting; beacon searches and the device server's beacon set-up hold this
// lock while they use it. A setting is accepted only when it is a dotted
// IPv4 address, "" or "*"; the set functions refuse anything else with false
// and take no lock. The lock is not recursive.

constexpr size_t aBEACON_INTERFACE_TEXT_MAX = 100;

// Takes the lock, saves the current setting and sets text.
[[nodiscard]] bool zBeaconInterface_backupSetAndLock(const char* text);
// Restores the saved setting and releases the lock; false (and nothing
// restored) when the calling thread does not hold it.
[[nodiscard]] bool zBeaconInterface_restoreAndUnlock();
// Takes the lock and sets text.
[[nodiscard]] bool zBeaconInterface_setAndLock(const char* text);
// Releases the lock; false when the calling thread does not hold it.
[[nodiscard]] bool zBeaconInterface_unlock();
// Copy the current (get) or saved (getBackup) setting into buffer, truncated
// to size - 1 characters; false for a null buffer or size 0. The AndLock
// forms then take the lock first and keep it (no lock when they return
// false).
[[nodiscard]] bool zBeaconInterface_get(char* buffer, size_t size);
[[nodiscard]] bool zBeaconInterface_getAndLock(char* buffer, size_t size);
[[nodiscard]] bool zBeaconInterface_getBackup(char* buffer, size_t size);
[[nodiscard]] bool zBeaconInterface_getBackupAndLock(char* buffer, size_t size);
// True when text is a setting the set functions accept.
[[nodiscard]] bool zBeaconInterface_isValid(const char* text);

#endif
