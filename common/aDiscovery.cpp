#include "common/aDiscovery.h"

#include <czmq.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "common/aDebug.h"
#include "unix/aDiscoveryOS.h"

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

// The device-server search (multicast probe and beacon) is not built yet;
// until then no shared device is found.
uint32_t aDiscovery_Enumerate_aWeftModules(aDiscoveryCallback callback, void* ref,
                                           uint32_t networkInterface) {
  (void)callback;
  (void)ref;
  (void)networkInterface;
  return 0;
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
