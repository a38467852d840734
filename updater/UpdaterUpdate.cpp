// The firmware update job (-U with a device): choosing the build, loading
// and stamping the BIRD file, connecting directly or through a routing
// module, checking file against device, then the loader and firmware phases
// of the upgrade entity, and recording the transfer in the device settings.
#include <atomic>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/aDefs.h"
#include "cpp/Module.h"
#include "cpp/SystemClass.h"
#include "unix/aOS.h"
#include "unix/cvusb.h"
#include "updater/BirdFile.h"
#include "updater/BuildNumber.h"
#include "updater/KeyValueStore.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterConstants.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterStore.h"
#include "updater/report/Log.h"

using Tessaron::Corvalith::Module;
using Tessaron::Corvalith::SystemClass;

using namespace updater_jobs;

namespace {

constexpr uint8_t kRouterAddress = 0;
constexpr uint8_t kEntityIndex = 0;
constexpr const char* kKeyLatestTransfer = "LATEST_TRANSFER";
constexpr const char* kKeyLastTransferDate = "LAST_TRANSFER_DATE";
// A firmware block is tried this many times before the update fails.
constexpr int kFirmwareBlockTries = 5;

unsigned sSettingsBuild(KeyValueStore& settings, const char* key) {
  const int32_t value = settings.GetInt(key, 0);
  return value > 0 ? static_cast<unsigned>(value) : 0;
}

// USB first; a module not found there is looked for over TCP/IP.
aErr sConnect(Module& module, uint32_t serialNumber) {
  aErr err = module.connect(USB, serialNumber);
  if (err == aErrNotFound) err = module.connect(TCPIP, serialNumber);
  return err;
}

}  // namespace

namespace {

std::atomic<bool> gWritingDevice{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

}  // namespace

bool Updater_IsWritingDevice() {
  return gWritingDevice.load();
}

updater_jobs::WritingDevice::WritingDevice() {
  gWritingDevice.store(true);
}

updater_jobs::WritingDevice::~WritingDevice() {
  gWritingDevice.store(false);
}

bool Updater::Update_Firmware(unsigned serialNumber, unsigned build, std::string birdFile,
                              unsigned char module, unsigned routerSerialNumber, bool override) {
  using Level = UpdaterDisplayInterface::Level;
  if (serialNumber == 0) {
    display.message(Level::ERROR, "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storePath, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem device;
  (void)store->FindDevice(serialNumber, &device);
  const uint32_t startMs = aTime_GetMSTicks();

  if (birdFile.empty()) {
    if (build == 0) {
      std::string buildText;
      std::string firmware;
      if (UpdateServerRequest::QueryBuild(serialNumber, buildText, firmware, serverUrl.c_str()) &&
          !ParseBuildNumber(buildText, build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
        build = 0;
      }
      if (build != 0) {
        try {
          if (!device.IsValid()) throw std::runtime_error("no store entry");
          (void)device.ReadBirdFile(std::to_string(build) + kBirdSuffix);
        } catch (const std::runtime_error&) {
          build = 0;
          display.message(
              Level::INFO,
              "New firmware is available.  Updater will proceed if valid firmware is found locally.");
        }
      }
    }
    if (build == 0 && device.IsValid()) {
      build = sSettingsBuild(device.settings, kKeyLatestDownload);
      if (build != 0) display.message(Level::INFO, "Updating with the Latest Download");
    }
    if (build == 0 && device.IsValid()) {
      build = sSettingsBuild(device.settings, kKeyLatestTransfer);
      if (build != 0) display.message(Level::INFO, "Updating with the Latest Transfer");
    }
    if (build == 0) {
      display.message(Level::ERROR, "Could not find valid build for this device.");
      return false;
    }
  }

  BirdFile bird;
  try {
    bird = load_bird("Updating", birdFile, serialNumber, build, false);
  } catch (const std::runtime_error&) {
    display.message(Level::ERROR, "Failed to load bird file");
    return false;
  }

  if (bird.hasSerialOffsets) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!bird.ReplaceSerialNumber(serialNumber)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }

  Module target(module, kAnyModel);
  aErr result = _disableWeft(target, display);
  if (result == aErrNone) {
    if (routerSerialNumber == 0) {
      result = sConnect(target, serialNumber);
      if (result != aErrNone)
        display.message(Level::ERROR, "Failed to connect to module [%08X]", serialNumber);
    } else {
      uint8_t address = module;
      if (address == 0) {
        const std::vector<DeviceInfo> network = Discover_CVNetwork_Devices(routerSerialNumber, INVALID);
        if (network.empty()) {
          display.message(Level::ERROR, "Unable to find modules on Network");
          return false;
        }
        for (const DeviceInfo& info : network) {
          if (info.spec.serialNumber == serialNumber) address = static_cast<uint8_t>(info.networkAddress);
        }
        if (address == 0) {
          display.message(
              Level::ERROR,
              "Module address required for indirect firmware update, could not find serial number "
              "[0x%08X] on network",
              serialNumber);
          return false;
        }
      }
      target.setModuleAddress(address);
      {
        // Released once the device module shares the router's link.
        Module router(kRouterAddress, kAnyModel);
        if (_disableWeft(router, display) != aErrNone) return false;
        if (sConnect(router, routerSerialNumber) != aErrNone) {
          display.message(Level::ERROR, "Failed to connect to link module [%08X]", routerSerialNumber);
          (void)router.disconnect();
          return false;
        }
        result = target.connectThroughLinkModule(&router);
        if (result != aErrNone)
          display.message(Level::ERROR, "Failed to connect to module [%08X]", serialNumber);
        (void)router.disconnect();
      }
    }
  }

  if (result == aErrNone && !override && !_validate_birdfile(display, bird, target, serialNumber)) {
    display.message(Level::ERROR, "Birdfile failed validation");
    (void)target.disconnect();
    return false;
  }

  WritingDevice writing;
  if (result == aErrNone) result = _transfer_loader(display, target, bird);
  if (result == aErrNone && !target.isConnected()) {
    // The device restarts into the loader and enumerates anew.
    (void)target.disconnect();
    for (int attempt = 0; attempt < kEnumerationAttempts; ++attempt) {
      if (attempt % kEnumerationRefreshEvery == kEnumerationRefreshEvery - 1) {
        Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
        Corvalith_libusb_exit();
      }
      if (target.discoverAndConnect(USB, serialNumber) == aErrNone && target.isConnected()) break;
      (void)target.disconnect();
      aTime_MSSleep(kEnumerationPauseMs);
    }
  }
  if (result == aErrNone)
    result = _transfer_firmware(display, target, bird, routerSerialNumber != 0, ueiBytesLoad);
  (void)target.disconnect();

  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", result);
    return false;
  }

  if (birdFile.empty()) birdFile = std::to_string(build) + kBirdSuffix;
  // Read afresh: the settings may have changed on disk since the start.
  UpdaterStoreItem record;
  try {
    record = store->AddDevice(serialNumber);
  } catch (const std::runtime_error&) {
    record = UpdaterStoreItem();
  }
  const bool recorded = record.IsValid() && record.settings.Add(kKeyLatestTransfer, birdFile) &&
                        record.settings.Add(kKeyLastTransferDate, KeyValueStore::CurrentTime());
  if (!recorded || record.settings.Save() != aErrNone) {
    // The device now runs firmware that the store does not know about.
    const std::string path = record.IsValid()
                                 ? record.settings.path
                                 : store->BasePath() + "/" + UpdaterStore::DeviceName(serialNumber) + "/" +
                                       KeyValueStore::DEFAULT_FILENAME;
    display.message(Level::ERROR, "Failed to save settings file %s", path.c_str());
    return false;
  }
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(Level::INFO, "Update time: %.4f sec", (aTime_GetMSTicks() - startMs) / 1000.0);
  return true;
}

BirdFile Updater::load_bird(const char* action, std::string birdFile, unsigned serialNumber, unsigned build,
                            bool downloadIfMissing) {
  using Level = UpdaterDisplayInterface::Level;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storePath, "load_bird");
  if (!store) return BirdFile();
  if (!birdFile.empty()) {
    display.message(Level::INFO, "%s from Birdfile: %s", action, birdFile.c_str());
    return BirdFile(birdFile.c_str());
  }
  UpdaterStoreItem device = store->AddDevice(serialNumber);
  display.message(Level::INFO, "%s firmware with build: %u", action, build);
  const std::string fileName = std::to_string(build) + kBirdSuffix;
  try {
    return device.ReadBirdFile(fileName);
  } catch (const std::runtime_error&) {
    if (!downloadIfMissing) throw std::runtime_error("Error reading birdfile");
  }
  display.message(Level::INFO, "Downloading firmware build %u", build);
  (void)Download_Firmware(serialNumber, std::to_string(build), false, false);
  return device.ReadBirdFile(fileName);
}

bool Updater::_validate_birdfile(UpdaterDisplayInterface& shown, BirdFile& file, Module& module,
                                 unsigned serialNumber) {
  if (file.blockCount == 0) return false;
  if (!file.hasSerialOffsets && !file.ValidateSerialNumber(serialNumber)) return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, kSystemIndex);
  uint32_t deviceSerial = 0;
  aErr err = system.getSerialNumber(&deviceSerial);
  if (err != aErrNone || deviceSerial != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
    return false;
  }
  uint8_t model = 0;
  err = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (!file.ValidateModel(name)) {
    shown.message(UpdaterDisplayInterface::ERROR,
                  "Connected device model and Bird file model do not match [%s] (%d)", name, err);
    return false;
  }
  return true;
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface& shown, Module& module, BirdFile& file) {
  using Level = UpdaterDisplayInterface::Level;
  UpdaterEntity entity;
  entity.init(&module, kEntityIndex, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
    return err;
  }
  shown.message(Level::INFO, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
  shown.display_progress(true);
  int sentBlocks = 0;
  uint32_t total = 0;
  int k = 0;
  for (const BirdBlock& block : blocks) {
    ++k;
    shown.message(Level::INFO, "Transferring loader block %d of %d, %d bytes", k,
                  static_cast<int>(blocks.size()), static_cast<int>(block.length));
    uint16_t blockSize = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, aError_GetErrorText(err));
      break;
    }
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, aError_GetErrorText(err));
      // Starting a loader with a block missing would run broken code.
      break;
    }
    total += block.length;
    ++sentBlocks;
  }
  shown.message(Level::INFO, "Transferred %d blocks, %d total bytes", sentBlocks, static_cast<int>(total));
  shown.display_progress(false);
  if (err != aErrNone) return err;

  shown.message(Level::INFO, "Starting Load on Device");
  err = entity.LoaderStart();
  if (err == aErrTimeout) {
    Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    err = aErrNone;
  } else if (err != aErrNone) {
    shown.message(Level::ERROR, "Error starting loader [%d, %s]", err, aError_GetErrorText(err));
  }
  return err;
}

aErr Updater::_transfer_firmware(UpdaterDisplayInterface& shown, Module& module, BirdFile& file, bool routed,
                                 bool fasterLoading) {
  using Level = UpdaterDisplayInterface::Level;
  UpdaterEntity entity;
  entity.init(&module, kEntityIndex, true, routed);
  // Without the UEI data option the transfer goes packet by packet.
  if (fasterLoading && entity.CheckUEIDataSupport() == aErrNone) {
    const aErr pooled = entity.CheckPooledPacketsSupport();
    if (pooled != aErrNone) Log::log(DEBUG_Updater, "Pooled packets not enabled [%d].\n", pooled);
  }
  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.path.c_str());
  const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  aErr err = aErrNone;
  int sentBlocks = 0;
  uint32_t total = 0;
  unsigned k = 0;
  for (const BirdBlock& block : blocks) {
    ++k;
    for (int attempt = 0; attempt < kFirmwareBlockTries; ++attempt) {
      shown.message(Level::INFO, "Transferring firmware block %u of %u, %d bytes", k,
                    static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
      if (attempt > 0) shown.message(Level::INFO, "  Retry %d", attempt);
      uint16_t blockSize = 0;
      err = entity.TransferPrepare(block.data, block.length, block.flags, &blockSize);
      if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, aError_GetErrorText(err));
        break;
      }
      err = entity.FirmwareTransfer(block.data, block.length, blockSize, shown);
      if (err == aErrNone) break;
      Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
    }
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    total += block.length;
    ++sentBlocks;
  }
  shown.message(Level::INFO, "Transferred %d blocks, %d total bytes", sentBlocks, static_cast<int>(total));
  if (err != aErrNone) return err;
  return entity.LoaderReboot(shown);
}
