#include "common/aDiscovery.h"

#include <czmq.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/aDebug.h"
#include "unix/aDiscoveryOS.h"
#include "unix/aOS.h"

namespace {

struct FindRequest {
  linkSpec* spec;
  bool anySerial;  // first device with a non-zero serial number
};

bool sFindCallback(const linkSpec* found, uint8_t* counted, void* ref) {
  FindRequest* request = static_cast<FindRequest*>(ref);
  const bool match =
      request->anySerial ? found->serialNumber != 0 : found->serialNumber == request->spec->serialNumber;
  if (!match) return true;
  std::memcpy(request->spec, found, sizeof *found);
  *counted = 1;
  return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool anySerial, uint32_t networkInterface) {
  linkSpec* spec = aLinkSpec_Create(type);
  if (!spec) return nullptr;
  spec->serialNumber = serialNumber;
  FindRequest request{spec, anySerial};
  if (aDiscovery_EnumerateModules(type, sFindCallback, &request, networkInterface) == 0) {
    (void)aLinkSpec_Destroy(&spec);
  }
  return spec;
}

}  // namespace

uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* ref,
                                     uint32_t networkInterface) {
  if (!callback) return 0;
  switch (type) {
    case USB:
      return aDiscovery_EnumerateUSB(type, callback, ref);
    case TCPIP:
      return aDiscovery_EnumerateTCPIP(callback, ref, networkInterface);
    case AWEFT:
    case AWEFT_USB:
    case AWEFT_TCPIP:
    case AWEFT_SERIAL:
      return aDiscovery_Enumerate_aWeftModules(callback, ref, networkInterface);
    default:
      return 0;
  }
}

namespace {

// The multicast probe waits this long for one server's reply (the reply
// endpoint's receive time-out), ms; the beacon search listens this many
// times, each up to kBeaconReceiveMs.
constexpr int kBeaconReceives = 22;
constexpr int kBeaconReceiveMs = 100;
constexpr int kBeaconIntervalMs = 100;
constexpr int kBeaconPort = 8585;
constexpr const char* kBeaconText = "Corvalith2-Discovery";
constexpr size_t kBeaconTextSize = 20;
constexpr const char* kServerGroup = "224.0.0.7";
constexpr uint16_t kServerRequestPort = 9850;
constexpr uint16_t kServerReplyPort = 9950;
constexpr int kServerOffsets = 50;
// How long a search waits for another search to free a reply port: a
// little over that search's 1 s receive, in 20 ms steps.
constexpr int kReplyPortTries = 60;
constexpr int32_t kReplyPortRetryMs = 20;
// The probe: 0xABCDDCBA in little-endian order.
constexpr uint8_t kServerProbe[4] = {0xBA, 0xDC, 0xCD, 0xAB};
constexpr size_t kAddressText = 16;

// One search's accepted specs and the caller's callback.
struct ServerSearch {
  aDiscoveryCallback callback;
  void* ref;
  std::vector<linkSpec> accepted;
  uint32_t counted = 0;
  bool stopped = false;
};

bool sSameServer(const linkSpec& a, const linkSpec& b) {
  return a.serialNumber == b.serialNumber && a.t.ip.ipAddress == b.t.ip.ipAddress &&
         a.t.ip.ipPort == b.t.ip.ipPort && a.type == b.type;
}

// Applies the duplicate rule and hands a new spec to the callback.
void sOffer(ServerSearch& search, const linkSpec& spec) {
  for (const linkSpec& known : search.accepted) {
    if (sSameServer(known, spec)) return;
  }
  search.accepted.push_back(spec);
  uint8_t counted = 0;
  linkSpec copy = spec;
  if (!search.callback(&copy, &counted, search.ref)) search.stopped = true;
  if (counted) ++search.counted;
}

void sMulticastProbe(ServerSearch& search, bool localRule) {
  for (int i = 0; i < kServerOffsets && !search.stopped; ++i) {
    const uint16_t requestPort = static_cast<uint16_t>(kServerRequestPort + i);
    aMulticastRef probe = aMulticast_Create(aDISCOVERY_LOOPBACK, kServerGroup, requestPort, false);
    if (probe) {
      // Nobody holds the port, so no server sits at this offset.
      (void)aMulticast_Destroy(&probe);
      continue;
    }
    // Another search may hold the reply port, until its reply comes or its
    // receive times out; wait for it rather than miss the server.
    aMulticastRef replies = nullptr;
    for (int t = 0; t < kReplyPortTries && !replies; ++t) {
      if (t > 0) aTime_MSSleep(kReplyPortRetryMs);
      replies = aMulticast_Create(aDISCOVERY_LOOPBACK, kServerGroup,
                                  static_cast<uint16_t>(kServerReplyPort + i), false);
    }
    aMulticastRef request = aMulticast_Create(aDISCOVERY_LOOPBACK, kServerGroup, requestPort, true);
    if (replies && request && aMulticast_Send(request, kServerProbe, sizeof kServerProbe) > 0) {
      uint8_t image[kLinkSpecSize];
      const int n = aMulticast_Receive(replies, image, sizeof image);
      linkSpec spec;
      if (n == static_cast<int>(kLinkSpecSize) &&
          aLinkSpec_FromImage(image, kLinkSpecSize, &spec) == aErrNone) {
        aCorvalithDebug_Printf(aDEBUG_DISCOVERY,
                               "Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - Type: %d\n",
                               spec.serialNumber, static_cast<int>(spec.t.ip.ipPort),
                               static_cast<int>(spec.t.ip.ipAddress), static_cast<int>(spec.type));
        if (localRule && spec.t.ip.ipAddress != aDISCOVERY_LOOPBACK) {
          aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "We are in local mode, ignoring(2)\n");
        } else {
          sOffer(search, spec);
        }
      } else {
        aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "Unknown Error sending request message: %d\n", n);
      }
    }
    if (replies) (void)aMulticast_Destroy(&replies);
    if (request) (void)aMulticast_Destroy(&request);
  }
}

void sBeaconSearch(ServerSearch& search, bool localRule) {
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (!beacon) return;
  zsock_send(beacon, "si", "CONFIGURE", kBeaconPort);
  char* host = zstr_recv(beacon);
  aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
                         host ? host : "", kBeaconPort);
  uint32_t own = 0;
  if (host && *host) {
    zsock_send(beacon, "sbi", "PUBLISH", kBeaconText, kBeaconTextSize, kBeaconIntervalMs);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", 0);
    zsock_set_rcvtimeo(beacon, kBeaconReceiveMs);
    (void)aDiscovery_ParseIPv4(host, &own);
    for (int i = 0; i < kBeaconReceives && !search.stopped; ++i) {
      char* sender = zstr_recv(beacon);
      if (!sender) continue;
      zframe_t* content = zframe_recv(beacon);
      linkSpec spec;
      // The searcher's own 20-byte beacon is dropped here too.
      if (content && zframe_size(content) == kLinkSpecSize &&
          aLinkSpec_FromImage(zframe_data(content), kLinkSpecSize, &spec) == aErrNone) {
        aCorvalithDebug_Printf(
            aDEBUG_DISCOVERY,
            "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - Model: %d\n",
            spec.serialNumber, static_cast<int>(spec.t.ip.ipPort), static_cast<int>(spec.t.ip.ipAddress),
            static_cast<int>(spec.type), static_cast<int>(spec.model));
        if (localRule && spec.t.ip.ipAddress != aDISCOVERY_LOOPBACK && spec.t.ip.ipAddress != own) {
          aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "We are in local mode, ignoring(1)\n");
        } else {
          sOffer(search, spec);
        }
      }
      zframe_destroy(&content);
      zstr_free(&sender);
    }
    aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "Done with discovery\n");
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
  }
  zstr_free(&host);
  zactor_destroy(&beacon);
}

}  // namespace

uint32_t aDiscovery_Enumerate_aWeftModules(aDiscoveryCallback callback, void* ref,
                                           uint32_t networkInterface) {
  if (!callback) return 0;
  aDiscovery_PrepareCzmq();
  ServerSearch search{callback, ref, {}, 0, false};
  uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
  const uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
  if (aDiscovery_IsAnyInterface(networkInterface) || count == 0) {
    sMulticastProbe(search, true);
  } else {
    char text[kAddressText];
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) != 0) {
      aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "New Interface: %s\n", text);
      if (zBeaconInterface_backupSetAndLock(text)) {
        sBeaconSearch(search, false);
        (void)zBeaconInterface_restoreAndUnlock();
      }
    }
  }
  aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "aDiscovery_Enumerate_aWeftModules found count: %d\n",
                         static_cast<int>(search.counted));
  return search.counted;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
  return sFind(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return sFind(type, 0, true, networkInterface);
}

// ---- The beacon-interface lock

namespace {

// The lock that callers hold across calls, and the thread holding it (a
// default id when free), so an unlock from elsewhere is refused instead of
// corrupting the mutex.
std::mutex sBeaconLock;
std::atomic<std::thread::id> sBeaconOwner{};
// Guards the CZMQ setting and the saved copy for the short moments they are
// read or written, so an unlocked get never sees a freed string.
std::mutex sValueLock;
std::string sBackup;

bool sHolding() {
  return sBeaconOwner.load() == std::this_thread::get_id();
}

bool sLock(const char* who) {
  if (sHolding()) return false;  // not recursive
  aCorvalithDebug_Printf(aDEBUG_BEACON_LOCK, "%s PRE-LOCK\n", who);
  sBeaconLock.lock();
  sBeaconOwner.store(std::this_thread::get_id());
  aCorvalithDebug_Printf(aDEBUG_BEACON_LOCK, "%s LOCKED\n", who);
  return true;
}

void sUnlock() {
  sBeaconOwner.store(std::thread::id());
  sBeaconLock.unlock();
}

void sSetInterface(const char* text) {
  aDiscovery_PrepareCzmq();
  std::lock_guard<std::mutex> guard(sValueLock);
  zsys_set_interface(text);
}

bool sCopy(const char* text, char* buffer, size_t size) {
  if (!buffer || size == 0) return false;
  const size_t n = std::min(std::strlen(text), size - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return true;
}

bool sCopyCurrent(char* buffer, size_t size) {
  std::lock_guard<std::mutex> guard(sValueLock);
  return sCopy(zsys_interface(), buffer, size);
}

bool sCopyBackup(char* buffer, size_t size) {
  std::lock_guard<std::mutex> guard(sValueLock);
  return sCopy(sBackup.c_str(), buffer, size);
}

}  // namespace

bool zBeaconInterface_isValid(const char* text) {
  if (!text) return false;
  return text[0] == '\0' || std::strcmp(text, "*") == 0 || aDiscovery_IsDottedIPv4(text);
}

bool zBeaconInterface_backupSetAndLock(const char* text) {
  if (!zBeaconInterface_isValid(text) || !sLock(__func__)) return false;
  {
    std::lock_guard<std::mutex> guard(sValueLock);
    sBackup = zsys_interface();
  }
  sSetInterface(text);
  return true;
}

bool zBeaconInterface_restoreAndUnlock() {
  if (!sHolding()) return false;
  std::string saved;
  {
    std::lock_guard<std::mutex> guard(sValueLock);
    saved = sBackup;
  }
  sSetInterface(saved.c_str());
  aCorvalithDebug_Printf(aDEBUG_BEACON_LOCK, "%s: UNLOCKING\n", __func__);
  sUnlock();
  return true;
}

bool zBeaconInterface_setAndLock(const char* text) {
  if (!zBeaconInterface_isValid(text) || !sLock(__func__)) return false;
  sSetInterface(text);
  return true;
}

bool zBeaconInterface_unlock() {
  if (!sHolding()) return false;
  aCorvalithDebug_Printf(aDEBUG_BEACON_LOCK, "%s UNLOCKING\n", __func__);
  sUnlock();
  return true;
}

bool zBeaconInterface_get(char* buffer, size_t size) {
  return sCopyCurrent(buffer, size);
}

bool zBeaconInterface_getAndLock(char* buffer, size_t size) {
  if (!buffer || size == 0 || !sLock(__func__)) return false;
  return sCopyCurrent(buffer, size);
}

bool zBeaconInterface_getBackup(char* buffer, size_t size) {
  return sCopyBackup(buffer, size);
}

bool zBeaconInterface_getBackupAndLock(char* buffer, size_t size) {
  if (!buffer || size == 0 || !sLock(__func__)) return false;
  return sCopyBackup(buffer, size);
}
