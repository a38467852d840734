// The machine's IPv4 interfaces and their dotted text, through CZMQ's
// interface list, and keeping CZMQ away from the program's signals.
#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>

#include <cstring>
#include <mutex>

#include "common/aDebug.h"
#include "unix/aDiscoveryOS.h"

bool aDiscovery_IsDottedIPv4(const char* text) {
  in_addr a{};
  return text && inet_pton(AF_INET, text, &a) == 1;
}

bool aDiscovery_ParseIPv4(const char* text, uint32_t* address) {
  in_addr a{};
  if (!text || !address || inet_pton(AF_INET, text, &a) != 1) return false;
  *address = a.s_addr;
  return true;
}

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
