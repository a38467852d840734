// The discover jobs: modules reachable directly (USB, TCP/IP) and modules on
// the I2C network behind a routing module, each opened and read for its
// version, build and name.
#include <algorithm>
#include <cstring>

#include "common/aDefs.h"
#include "common/aDiscovery.h"
#include "common/aVersion.h"
#include "cpp/I2CClass.h"
#include "cpp/Module.h"
#include "cpp/SystemClass.h"
#include "updater/Updater.h"
#include "updater/UpdaterConstants.h"
#include "updater/report/Log.h"

using Tessaron::Corvalith::I2CClass;
using Tessaron::Corvalith::Module;
using Tessaron::Corvalith::SystemClass;

using namespace updater_jobs;

namespace {

// A module connected from a spec learns its real address afterwards.
constexpr uint8_t kInitialModuleAddress = 2;
constexpr uint8_t kI2CBusIndex = 0;
constexpr uint8_t kI2CFastestSpeed = 3;
// Probe time-outs in a row after which the router counts as gone.
constexpr unsigned kMaxSilentProbes = 3;
// Module addresses probed on a router's bus: even, 2 to 252 (254 is never a
// module there).
constexpr uint8_t kFirstNetworkAddress = 2;
constexpr uint8_t kLastNetworkAddress = 252;
// The name query answers with at most this many bytes.
constexpr size_t kDeviceNameMax = 32;
// Device names exist from firmware 2.10.4 on.
constexpr uint8_t kNameMajor = 2;
constexpr uint8_t kNameMinor = 10;
constexpr uint8_t kNamePatch = 4;
// Build-number reply: command, sub-command, then four bytes most significant
// first.
// Bytes of a linkSpec after its identity words: the transport's own words.
constexpr size_t kTransportWordsOffset = offsetof(linkSpec, t);

struct RouterSearch {
  uint32_t serialNumber = 0;
  linkType found = INVALID;
};

bool sFindRouter(const linkSpec* spec, uint8_t* counted, void* ref) {
  RouterSearch* search = static_cast<RouterSearch*>(ref);
  *counted = 1;
  if (spec->serialNumber != search->serialNumber) return true;
  Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
           static_cast<int>(spec->type));
  search->found = spec->type;
  return false;
}

// The transport over which the router answers: USB first, then TCP/IP.
linkType sRouterTransport(uint32_t routerSerialNumber) {
  RouterSearch search;
  search.serialNumber = routerSerialNumber;
  for (linkType type : {USB, TCPIP}) {
    aDiscovery_EnumerateModules(type, sFindRouter, &search, aDISCOVERY_LOOPBACK);
    if (search.found != INVALID) break;
  }
  return search.found;
}

// One module found on the router's bus at address, or false when nothing
// there answers as a module.
bool sProbeNetworkAddress(Module& router, const linkSpec& routerSpec, uint8_t address,
                          UpdaterDisplayInterface& display, DeviceInfo& info) {
  Log::log(DEBUG_Network, "Attempt Connect on address: 0x%02x\n", address);
  Module module(address, false, kAnyModel);
  (void)Updater::_disableWeft(module, display);
  if (module.connectThroughLinkModule(&router) != aErrNone) {
    (void)module.disconnect();
    return false;
  }
  SystemClass system;
  system.init(&module, kSystemIndex);
  uint32_t serialNumber = 0;
  if (system.getSerialNumber(&serialNumber) != aErrNone) {
    (void)module.disconnect();
    return false;
  }
  Log::log(DEBUG_Network, "Got Serial [0x%08X]\n", serialNumber);

  info = DeviceInfo();
  std::memcpy(reinterpret_cast<uint8_t*>(&info.spec) + kTransportWordsOffset,
              reinterpret_cast<const uint8_t*>(&routerSpec) + kTransportWordsOffset,
              sizeof(linkSpec) - kTransportWordsOffset);
  info.spec.type = routerSpec.type;
  info.spec.serialNumber = serialNumber;
  // Where it answered, until the module reports its own address.
  info.spec.module = address;
  info.spec.router = router.getModuleAddress();
  info.spec.routerSerialNumber = routerSpec.serialNumber;
  info.networkAddress = address;
  info.build = Updater::_get_build_number(module);
  info.error = Updater::_get_version(module, info);
  uint8_t model = 0;
  const aErr modelErr = system.getModel(&model);
  if (modelErr != aErrNone) {
    info.error = modelErr;
  } else {
    info.spec.model = model;
    info.modelName = aDefs_GetModelName(model);
  }
  (void)module.disconnect();
  return true;
}

}  // namespace

bool Updater::_discovered_device(const linkSpec* spec, uint8_t* counted, void* ref) {
  std::vector<DeviceInfo>* devices = static_cast<std::vector<DeviceInfo>*>(ref);
  DeviceInfo info;
  info.spec = *spec;
  devices->push_back(info);
  *counted = 1;
  return true;
}

aErr Updater::_disableWeft(Module& module, UpdaterDisplayInterface& display) {
  aWeftConfig config;
  config.enabled = 0;
  config.fallback = 0;
  config.localOnly = 1;
  const aErr err = module.setConfig(config);
  if (err != aErrNone) display.message(UpdaterDisplayInterface::ERROR, "Failed to SET network configuration");
  return err;
}

uint32_t Updater::_get_build_number(Module& module) {
  // A module that cannot say is shown as build 0.
  uint32_t build = 0;
  return module.getBuild(&build) == aErrNone ? build : 0;
}

aErr Updater::_get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  system.init(&module, kSystemIndex);
  uint32_t version = 0;
  aErr err = system.getVersion(&version);
  if (err != aErrNone) return err;
  info.major = static_cast<uint8_t>(aVersion_ParseMajor(version));
  info.minor = static_cast<uint8_t>(aVersion_ParseMinor(version));
  info.patch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != aErrNone) return err;
  info.spec.module = address;
  err = system.getRouter(&address);
  if (err != aErrNone) return err;
  info.spec.router = address;
  return aErrNone;
}

aErr Updater::_get_device_name(Module& module, DeviceInfo& info) {
  // A legacy patch can exceed a byte; anything above 255 is past 4.
  const uint8_t patch = static_cast<uint8_t>(std::min<uint32_t>(info.patch, 255));
  if (!aVersion_IsAtLeastCompare(info.major, info.minor, patch, kNameMajor, kNameMinor, kNamePatch)) {
    return aErrNone;
  }
  SystemClass system;
  system.init(&module, kSystemIndex);
  uint8_t name[kDeviceNameMax] = {};
  size_t count = 0;
  const aErr err = system.getName(name, sizeof(name), &count);
  count = std::min(count, sizeof(name));
  // Names are stored zero-padded; the text ends at the first zero.
  const uint8_t* end = std::find(name, name + count, 0);
  info.deviceName.assign(reinterpret_cast<const char*>(name), static_cast<size_t>(end - name));
  return err;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<DeviceInfo> devices;
  std::vector<linkType> transports;
  if (type == INVALID) {
    transports = {USB, TCPIP};
  } else {
    transports = {type};
  }
  for (linkType transport : transports) {
    aDiscovery_EnumerateModules(transport, _discovered_device, &devices, aDISCOVERY_LOOPBACK);
  }

  for (DeviceInfo& device : devices) {
    device.modelName = aDefs_GetModelName(device.spec.model);
    Module module(kInitialModuleAddress, kAnyModel);
    aErr err = _disableWeft(module, display);
    if (err == aErrNone) err = module.connectFromSpec(device.spec);
    device.error = err;
    if (module.isConnected()) {
      device.build = _get_build_number(module);
      device.error = _get_version(module, device);
      if (device.error == aErrNone) device.error = _get_device_name(module, device);
    }
    (void)module.disconnect();
  }
  return devices;
}

std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(unsigned routerSerialNumber, linkType type) {
  std::vector<DeviceInfo> devices;
  if (type == INVALID) type = sRouterTransport(routerSerialNumber);

  linkSpec* found = aDiscovery_FindModule(type, routerSerialNumber, aDISCOVERY_LOOPBACK);
  if (found == nullptr) return devices;
  Log::log(DEBUG_Updater, "Found Link Module");
  const linkSpec routerSpec = *found;
  (void)aLinkSpec_Destroy(&found);

  Module router(kInitialModuleAddress, kAnyModel);
  if (_disableWeft(router, display) != aErrNone) return devices;
  aErr err = router.connectFromSpec(routerSpec);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Error %d on connectFromSpec", static_cast<int>(err));
    (void)router.disconnect();
    return devices;
  }

  SystemClass routerSystem;
  routerSystem.init(&router, kSystemIndex);
  err = routerSystem.routeToMe(1);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Error %d on route to me", static_cast<int>(err));
    (void)router.disconnect();
    return devices;
  }
  I2CClass bus;
  bus.init(&router, kI2CBusIndex);
  (void)bus.setSpeed(kI2CFastestSpeed);

  const uint8_t routerAddress = router.getModuleAddress();
  unsigned silentProbes = 0;
  for (unsigned address = kFirstNetworkAddress; address <= kLastNetworkAddress; address += 2) {
    if (address == routerAddress) continue;
    Log::log(DEBUG_Network, "Searching Address 0x%02x\n", address);
    // A device that acknowledges the write sits at this address.
    const uint8_t probe[] = {0, 0};
    const aErr probed = bus.write(static_cast<uint8_t>(address), sizeof(probe), probe);
    // A refused write is an empty address; no reply at all, again and again,
    // is a router that has gone, and each further probe would only wait out
    // its own time-out.
    silentProbes = probed == aErrTimeout ? silentProbes + 1 : 0;
    if (silentProbes >= kMaxSilentProbes) {
      Log::log(DEBUG_Network, "Router stopped answering at address 0x%02x; ending the sweep\n", address);
      break;
    }
    if (probed != aErrNone) continue;
    DeviceInfo info;
    if (sProbeNetworkAddress(router, routerSpec, static_cast<uint8_t>(address), display, info)) {
      devices.push_back(info);
    }
  }

  (void)routerSystem.routeToMe(0);
  (void)router.disconnect();
  return devices;
}
