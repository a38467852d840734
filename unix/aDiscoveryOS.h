// The operating-system half of discovery (USB enumeration through the cvusb
// backend, sockets and interface lists), called by common/aDiscovery.cpp.
// Not for other callers: use common/aDiscovery.h.
#ifndef CORVALITH_UNIX_ADISCOVERYOS_H
#define CORVALITH_UNIX_ADISCOVERYOS_H

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

#endif
