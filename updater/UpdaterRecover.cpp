// Recovery of a module whose firmware is gone, and the chip fingerprint that
// identifies it. An LPC chip is reached through its ROM's serial ISP protocol
// and its flash is written directly; an i.MX chip gets a recovery loader in
// RAM through its serial download protocol, which then enumerates on USB and
// takes the firmware through the ordinary upgrade protocol.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpp/Module.h"
#include "cpp/SystemClass.h"
#include "loaders/HID_SDPLoader.h"
#include "loaders/NXPSerialClass.h"
#include "loaders/SDPLoader.h"
#include "loaders/Serial_SDPLoader.h"
#include "unix/aOS.h"
#include "unix/cvusb.h"
#include "updater/BirdFile.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterConstants.h"
#include "updater/UpdaterStore.h"
#include "updater/report/Log.h"

using Tessaron::Corvalith::Module;
using Tessaron::Corvalith::SystemClass;

using namespace updater_jobs;

namespace {

using Level = UpdaterDisplayInterface::Level;

constexpr uint8_t kChipImx = 1;
constexpr uint8_t kChipLpc = 2;
// A recovery loader that does not know its device yet presents itself with
// this serial number; the store and the server keep the default recovery
// image under it.
constexpr unsigned kDefaultSerialNumber = 0xDEADDEAD;
constexpr uint32_t kDefaultLoaderEntry = 0x20000400;
// The identification step always talks to the ROM at this rate.
constexpr unsigned kIdentifyRate = 115200;
constexpr const char* kUsbPort = "USB";
constexpr uint8_t kModuleAddress = 0;
// System option holding the chip's unique id, one 32-bit word per subindex.
constexpr uint8_t kOptionUniqueId = 39;
constexpr int kFingerprintWords = 4;
// LPC17xx flash: all sectors are erased before the image goes in.
constexpr uint32_t kFirstSector = 0;
constexpr uint32_t kLastSector = 29;
constexpr uint32_t kChunkSize = 4096;
// A firmware block with this many bytes after its address ends the image.
constexpr uint32_t kEndMarkerLength = 4;
// Return code of an LPC whose new image enabled code read protection.
constexpr long kCodeReadProtected = 19;
constexpr uint8_t kErasedByte = 0xFF;
// Reads of one chunk during the read-back before the recovery counts as failed.
constexpr int kReadBackTries = 3;

uint32_t sRoundUp4(uint32_t n) {
  return (n + 3u) & ~3u;
}

enum class Verify { Matches, Protected, Differs, Unreadable };

struct VerifyResult {
  Verify verdict = Verify::Matches;
  uint32_t address = 0;  // first differing byte, or where the read failed
  aErr err = aErrNone;
};

// Reads back every written block and compares it with what was sent.
VerifyResult sVerifyFlash(NXPSerialClass& chip, const std::vector<BirdBlock>& written) {
  std::vector<uint8_t> readBack(kChunkSize);
  for (const BirdBlock& block : written) {
    const uint8_t* payload = block.data + BirdFile::kAddressSize;
    const uint32_t length = block.length - BirdFile::kAddressSize;
    for (uint32_t offset = 0; offset < length; offset += kChunkSize) {
      const uint32_t chunk = std::min(kChunkSize, length - offset);
      const uint32_t target = block.address + offset;
      aErr err = aErrNone;
      for (int attempt = 1; attempt <= kReadBackTries; ++attempt) {
        err = chip.Read(target, sRoundUp4(chunk), readBack.data());
        if (err == aErrNone) break;
        if (chip.LastReturnCode() == kCodeReadProtected) return {Verify::Protected, target, err};
        // A chip that refused the read would refuse it again; an answer that
        // broke off on the line is read once more.
        if (chip.LastReturnCode() > 0 || attempt == kReadBackTries) break;
        Log::log(DEBUG_Updater, "Read back at 0x%08X broke off [%d, %s], reading again\n", target, err,
                 aError_GetErrorText(err));
        if (chip.Settle() != aErrNone) break;
      }
      if (err != aErrNone) return {Verify::Unreadable, target, err};
      for (uint32_t i = 0; i < chunk; ++i) {
        if (readBack[i] != payload[offset + i]) return {Verify::Differs, target + i, aErrNone};
      }
    }
  }
  return {};
}

// A failed step of the LPC recovery: the log line as the protocol trace
// expects it, and the same words for the user, who otherwise only sees the
// run fail.
bool sLpcStepFailed(UpdaterDisplayInterface& shown, unsigned package, const char* what) {
  Log::log(package, "%s\n", what);
  shown.display_progress(false);
  while (*what == '\t' || *what == ' ') ++what;
  shown.message(Level::ERROR, "Recovery failed: %s", what);
  return false;
}

// Connects over USB to the module with the serial number; true once connected.
bool sConnectUsb(Module& module, unsigned serialNumber) {
  return module.discoverAndConnect(USB, serialNumber) == aErrNone && module.isConnected();
}

}  // namespace

bool Updater::Recover_Firmware(std::string port, unsigned build, unsigned baudRate, unsigned serialNumber,
                               std::string birdFile, bool /*override: a recovery image is never checked*/) {
  const uint32_t startMs = aTime_GetMSTicks();
  Fingerprint fingerprint;
  if (!Get_Fingerprint(fingerprint, port, serialNumber, birdFile, kIdentifyRate, false)) {
    display.message(Level::ERROR, "Could not get Device Identifier");
    return false;
  }

  if (birdFile.empty()) {
    uint32_t serverSerial = 0;
    uint32_t serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, &serverSerial, &serverBuild,
                                              serverUrl.c_str())) {
      display.message(Level::ERROR, "Failed to retrieve recovery information from Tessaron server");
      return false;
    }
    serialNumber = serverSerial;
    if (build == 0) build = serverBuild;
  }

  BirdFile file;
  try {
    file = load_bird("Recovering", birdFile, serialNumber, build, true);
  } catch (const std::runtime_error&) {
    display.message(Level::ERROR, "Failed to load bird file");
    return false;
  }
  // An empty file (the store could not be opened) has nothing to put back,
  // and writing it would leave an LPC with erased flash.
  if (file.blockCount == 0) {
    display.message(Level::ERROR, "Failed to load bird file");
    return false;
  }
  if (file.hasSerialOffsets) {
    display.message(Level::ERROR, "Updater does not support offline recovery");
    return false;
  }

  bool result = false;
  WritingDevice writing;
  if (chipKind == kChipImx) {
    result = _recover_firmware_imx(display, file, serialNumber, ueiBytesLoad);
  } else if (chipKind == kChipLpc) {
    (void)file.DecodeFirmwareBlocks(fingerprint.word);  // always true
    result = _recover_firmware_lpc(display, file, port, baudRate, fingerprint);
  } else {
    display.message(Level::ERROR, "Unknown device");
    return false;
  }
  display.message(Level::INFO, "Update time: %.4f sec", (aTime_GetMSTicks() - startMs) / 1000.0);
  return result;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned serialNumber,
                              std::string birdFile, unsigned baudRate, bool resetAfter) {
  if (_get_fingerprint_lpc(port, baudRate, fingerprint)) {
    chipKind = kChipLpc;
    return true;
  }
  chipKind = kChipImx;
  return _get_fingerprint_imx(display, *this, port, serialNumber, birdFile, fingerprint, resetAfter);
}

bool Updater::_get_fingerprint_lpc(const std::string& port, unsigned baudRate, Fingerprint& fingerprint) {
  NXPSerialClass chip;
  aErr err = chip.Connect(port.c_str(), baudRate);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = chip.Sync();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", err);
    (void)chip.Disconnect();  // always aErrNone
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  if (chip.GetDeviceID() != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    (void)chip.Disconnect();
    return false;
  }
  std::memcpy(fingerprint.word, chip.DeviceId(), sizeof fingerprint.word);
  (void)chip.Disconnect();
  return true;
}

bool Updater::_get_fingerprint_imx(UpdaterDisplayInterface& shown, Updater& updater, const std::string& port,
                                   unsigned serialNumber, const std::string& birdFile,
                                   Fingerprint& fingerprint, bool resetAfter) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(shown, updater.storePath, "_get_fingerprint_imx");
  if (!store) return false;
  if (serialNumber == 0) serialNumber = kDefaultSerialNumber;
  UpdaterStoreItem device;
  bool known = store->FindDevice(serialNumber, &device) && device.IsValid();

  std::string imagePath;  // a named file; empty: a file of the store entry
  std::string storeFile;
  if (!birdFile.empty()) {
    if (serialNumber == kDefaultSerialNumber) {
      shown.message(Level::ERROR,
                    "Add serial number or remove the bird filename to use a default recovery image.");
      return false;
    }
    imagePath = birdFile;
  } else if (!known) {
    shown.mute_messages(true);
    Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
    const unsigned build = updater.Download_Firmware(serialNumber, std::string(), false, false);
    if (build != 0) {
      storeFile = std::to_string(build) + kBirdSuffix;
      known = store->FindDevice(serialNumber, &device) && device.IsValid();
    }
    shown.mute_messages(false);
  } else {
    storeFile = device.settings.GetString(kKeyLatestDownload, "");
  }

  BirdFile file;
  try {
    if (!imagePath.empty()) {
      file = BirdFile(imagePath.c_str());
    } else if (known && !storeFile.empty()) {
      file = device.ReadBirdFile(storeFile);
    } else {
      throw std::runtime_error("No recovery image for " + UpdaterStore::DeviceName(serialNumber));
    }
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    return false;
  }

  if (_transfer_recovery_loader(shown, file, port) != aErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    return false;
  }

  Module module(kModuleAddress, kAnyModel);
  if (_disableWeft(module, shown) != aErrNone) return false;
  bool connected = false;
  for (int attempt = 1; attempt <= kEnumerationAttempts && !connected; ++attempt) {
    if (attempt % kEnumerationRefreshEvery == 0) {
      Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      Corvalith_libusb_exit();
    }
    connected = sConnectUsb(module, serialNumber);
    if (!connected) {
      (void)module.disconnect();  // nothing to release but the attempt
      if (attempt < kEnumerationAttempts) aTime_MSSleep(kEnumerationPauseMs);
    }
  }
  if (!connected) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    return false;
  }

  SystemClass system;
  system.init(&module, kSystemIndex);
  for (int j = 0; j < kFingerprintWords; ++j) {
    uint32_t value = 0;
    if (system.getUEI32(kOptionUniqueId, static_cast<uint8_t>(j), &value) != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", j);
      (void)module.disconnect();
      return false;
    }
    fingerprint.word[kFingerprintWords - 1 - j] = value;
  }
  if (resetAfter) {
    const aErr err = system.reset();
    // The loader drops the link as it restarts, so the reply may never come.
    if (err != aErrNone) Log::log(DEBUG_APP, "Reset after reading the identifier: %d\n", err);
  }
  (void)module.disconnect();
  return true;
}

aErr Updater::_transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& file, const std::string& port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  std::unique_ptr<SDPLoader_Interface> transport;
  if (port == kUsbPort) {
    transport.reset(new HID_SDPLoader(HID_SDPLoader::kVendorId, HID_SDPLoader::kProductId));
  } else {
    transport.reset(new Serial_SDPLoader(port.c_str()));
  }
  SDPLoader loader;
  if (!loader.setLoader(std::move(transport)) || loader.init() != SDPLoader::kSuccess) return aErrNotReady;

  uint32_t address = 0;
  int number = 0;
  for (const BirdBlock& block : file.FindBlocks(BirdFile::BLOCK_LOADER)) {
    std::vector<uint8_t> image;
    if (block.length >= BirdFile::kAddressSize) {
      address = GetInt(block.data);
      image.assign(block.data + BirdFile::kAddressSize, block.data + block.length);
    }
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, image.size(),
             static_cast<int>(address));
    if (loader.writeLoader(image, address) != SDPLoader::kSuccess) return aErrConnection;
    ++number;
  }

  uint32_t entry = kDefaultLoaderEntry;
  const std::vector<BirdBlock> starts = file.FindBlocks(BirdFile::BLOCK_LOADER_START);
  if (!starts.empty() && starts.front().length >= BirdFile::kAddressSize) entry = GetInt(starts.front().data);
  loader.startLoader(entry);
  return aErrNone;
}

bool Updater::_recover_firmware_imx(UpdaterDisplayInterface& shown, BirdFile& file, unsigned serialNumber,
                                    bool ueiBytes) {
  Module module(kModuleAddress, kAnyModel);
  if (_disableWeft(module, shown) != aErrNone) {
    shown.message(Level::ERROR, "Failed to transfer firmware");
    return false;
  }
  bool connected = false;
  for (int round = 0; round < kEnumerationAttempts && !connected; ++round) {
    connected = sConnectUsb(module, kDefaultSerialNumber);
    if (!connected) {
      (void)module.disconnect();
      connected = sConnectUsb(module, serialNumber);
    }
    if (!connected) {
      (void)module.disconnect();
      if (round + 1 < kEnumerationAttempts) aTime_MSSleep(kEnumerationPauseMs);
    }
  }
  if (!connected) {
    shown.message(Level::ERROR, "Could not connect to device");
    return false;
  }
  const aErr err = _transfer_firmware(shown, module, file, false, ueiBytes);
  (void)module.disconnect();
  if (err != aErrNone) {
    shown.message(Level::ERROR, "Failed to transfer firmware");
    return false;
  }
  return true;
}

bool Updater::_recover_firmware_lpc(UpdaterDisplayInterface& shown, BirdFile& file, const std::string& port,
                                    unsigned baudRate, const Fingerprint&) {
  NXPSerialClass chip;
  if (chip.Connect(port.c_str(), baudRate) != aErrNone) {
    const std::string what = "Could not connect to " + port;
    return sLpcStepFailed(shown, DEBUG_Network, what.c_str());
  }
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (chip.Unlock() != aErrNone) return sLpcStepFailed(shown, DEBUG_Network, "Could not unlock");
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (chip.Prepare(kFirstSector, kLastSector) != aErrNone)
    return sLpcStepFailed(shown, DEBUG_Network, "Could not prepare");
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (chip.Erase(kFirstSector, kLastSector) != aErrNone)
    return sLpcStepFailed(shown, DEBUG_Network, "Could not erase");
  // Without echo the data lines go out at full speed; a failure here only
  // shows as a failure of the first write.
  const aErr echoOff = chip.SetEcho(false);
  if (echoOff != aErrNone) Log::log(DEBUG_Updater, "Could not switch echo off [%d]\n", echoOff);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.path.c_str());

  const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const int announced = static_cast<int>(blocks.size()) - 1;
  const uint32_t ramBuffer = NXPSerialClass::WRITE_ADDRESS;
  std::vector<BirdBlock> written;
  std::vector<uint8_t> staging(kChunkSize);
  uint32_t total = 0;
  int number = 0;
  for (const BirdBlock& block : blocks) {
    ++number;
    if (block.length < BirdFile::kAddressSize) continue;  // no address, nothing to place
    const uint32_t length = block.length - BirdFile::kAddressSize;
    if (length == kEndMarkerLength) break;
    const uint8_t* payload = block.data + BirdFile::kAddressSize;
    shown.message(Level::INFO, "Transferring firmware block %d of %d, %d bytes", number, announced,
                  static_cast<int>(block.length));
    shown.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
             static_cast<int>(length), block.address);
    uint32_t target = block.address;
    for (uint32_t offset = 0; offset < length;) {
      const uint32_t chunk = std::min(kChunkSize, length - offset);
      const uint32_t copy = NXPSerialClass::CopyLength(chunk);
      Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", static_cast<int>(chunk),
               target);
      Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(chunk), ramBuffer);
      // The copy takes copy bytes from RAM, so the bytes after a short chunk
      // are set to erased flash; otherwise the previous chunk's tail (or
      // whatever RAM held) would be burnt in after the block, where the next
      // block could no longer be programmed.
      std::fill(staging.begin(), staging.end(), kErasedByte);
      std::memcpy(staging.data(), payload + offset, chunk);
      const uint32_t sent = sRoundUp4(chunk);
      aErr err = chip.Write(ramBuffer, sent, staging.data());
      if (err == aErrNone && sent < copy)
        err = chip.Write(ramBuffer + sent, copy - sent, staging.data() + sent);
      if (err != aErrNone) return sLpcStepFailed(shown, DEBUG_Updater, "\t Write to RAM failed");
      // Every sector the copy touches must be prepared, not only the chunk's.
      const uint32_t first = NXPSerialClass::SectorFromAddress(target);
      const uint32_t last = NXPSerialClass::SectorFromAddress(target + copy - 1);
      Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first),
               static_cast<int>(last));
      if (chip.Prepare(first, last) != aErrNone)
        return sLpcStepFailed(shown, DEBUG_Updater, "\t Prepare failed");
      Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy), ramBuffer,
               target);
      if (chip.CopyToFlash(target, ramBuffer, copy) != aErrNone)
        return sLpcStepFailed(shown, DEBUG_Updater, "\t Transfer to flash failed");
      target += chunk;
      offset += chunk;
      shown.update_progress(static_cast<double>(offset) / length, nullptr);
    }
    shown.display_progress(false);
    total += block.length;
    written.push_back(block);
  }
  shown.message(Level::INFO, "Transferred %d blocks, %d total bytes", announced, static_cast<int>(total));

  const uint32_t verifyStartMs = aTime_GetMSTicks();
  const VerifyResult check = sVerifyFlash(chip, written);
  Log::log(DEBUG_Updater, "Flash read back in %u ms\n", aTime_GetMSTicks() - verifyStartMs);
  switch (check.verdict) {
    case Verify::Matches:
      break;
    case Verify::Protected:
      // The new image locks its flash against reading; it is in place but
      // nobody can tell whether correctly.
      shown.message(Level::INFO,
                    "Firmware written but not verified: the chip refuses to read its flash at 0x%08X "
                    "(code read protection)",
                    check.address);
      break;
    case Verify::Differs:
      shown.message(Level::ERROR, "Recovery failed: the flash at 0x%08X does not hold the firmware written",
                    check.address);
      return false;
    case Verify::Unreadable:
      shown.message(Level::ERROR, "Recovery failed: could not read back the flash at 0x%08X [%d, %s]",
                    check.address, check.err, aError_GetErrorText(check.err));
      return false;
  }

  const aErr err = chip.SetEcho(true);
  if (err != aErrNone) {
    // The chip stopped answering after the last block: nothing says the
    // image is complete, so the recovery counts as failed.
    shown.message(Level::ERROR, "Recovery Error transfering data to device ==> [%d, %s]", err,
                  aError_GetErrorText(err));
    return false;
  }
  shown.message(Level::INFO, "Rebooting Device");
  const aErr started = chip.ExecuteFrom(0);
  // The chip leaves its boot loader as it answers, so a lost answer is normal.
  if (started != aErrNone) Log::log(DEBUG_Updater, "No answer to the start of the firmware [%d]\n", started);
  return true;
}
