// The operating-system half of discovery (USB enumeration through the cvusb
// backend, sockets and interface lists), called by common/aDiscovery.cpp.
// Not for other callers: use common/aDiscovery.h.
#ifndef CORVALITH_UNIX_ADISCOVERYOS_H
#define CORVALITH_UNIX_ADISCOVERYOS_H

#include <cstddef>
#include <cstdint>

#include "common/aDiscovery.h"

// USB modules through the shared libusb context; each spec gets the given
// type. Number counted; 0 without USB.
uint32_t aDiscovery_EnumerateUSB(linkType type, aDiscoveryCallback callback, void* ref);
// The multicast request and its replies. Number counted.
uint32_t aDiscovery_EnumerateTCPIP(aDiscoveryCallback callback, void* ref, uint32_t networkInterface);
// Keeps CZMQ from taking over SIGINT and SIGTERM; call before any CZMQ use.
void aDiscovery_PrepareCzmq();
// True for a dotted IPv4 address text ("10.0.0.1").
[[nodiscard]] bool aDiscovery_IsDottedIPv4(const char* text);
// The address of a dotted IPv4 text (network byte order); false when it is
// not one.
[[nodiscard]] bool aDiscovery_ParseIPv4(const char* text, uint32_t* address);

// Stores up to capacity IPv4 addresses of the machine's interfaces, as
// CZMQ's interface list reports them; returns how many were stored (0 for a
// null array).
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity);
// Writes the dotted text of address into buffer, zero-filled first. Returns
// the text's length, or 0 when buffer is null, shorter than 16 bytes, or the
// conversion fails.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length);

// ---- Multicast UDP endpoints (loopback multicast of the device-server
// search).
typedef struct aMulticastRecord* aMulticastRef;

constexpr int aMULTICAST_FAILED = -1;
constexpr int aMULTICAST_NULL = -2;
constexpr int aMULTICAST_WRONG_KIND = -3;
// Receive time-out of an endpoint in ms.
constexpr int aMULTICAST_RECEIVE_TIMEOUT_MS = 1000;

// An endpoint in group:port (dotted group text) on interfaceAddress (0 or
// 127.0.0.1 mean the loopback interface). A receiver binds the port without
// address reuse, so creation fails when another socket holds it; a sender
// does not bind. Both join the group, send through the interface with TTL 1
// and loop-back on, and wait at most 1 s in a receive. Null on any failure.
[[nodiscard]] aMulticastRef aMulticast_Create(uint32_t interfaceAddress, const char* groupAddress,
                                              uint16_t port, bool sender);
// Sends count bytes to the group: bytes sent, aMULTICAST_FAILED,
// aMULTICAST_NULL (null endpoint or one without its check value, null
// bytes),
// aMULTICAST_WRONG_KIND (a receiving endpoint).
int aMulticast_Send(aMulticastRef endpoint, const uint8_t* bytes, size_t count);
// Receives one datagram of at most size bytes: bytes received,
// aMULTICAST_FAILED (failure or 1 s time-out), aMULTICAST_NULL,
// aMULTICAST_WRONG_KIND (a sending endpoint).
int aMulticast_Receive(aMulticastRef endpoint, uint8_t* buffer, size_t size);
// The endpoint's socket, for a caller that waits on it together with
// others (it becomes readable when a receive would not wait); -1 for an
// invalid endpoint.
[[nodiscard]] int aMulticast_GetDescriptor(aMulticastRef endpoint);
// Closes and frees the endpoint and nulls *endpoint: 0, or aMULTICAST_NULL.
int aMulticast_Destroy(aMulticastRef* endpoint);

// 0 and 127.0.0.1 are treated alike: the default (loopback) interface.
[[nodiscard]] inline bool aDiscovery_IsAnyInterface(uint32_t address) {
  return address == 0 || address == aDISCOVERY_LOOPBACK;
}

#endif
