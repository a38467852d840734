// The object through which the command line runs every job: discovery,
// firmware update, download, build lists, device token, recovery and
// fingerprints. Every user-visible message goes through the display.
#ifndef CORVALITH_UPDATER_UPDATER_H
#define CORVALITH_UPDATER_UPDATER_H

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/aErr.h"
#include "common/linkSpec.h"
#include "updater/report/UpdaterDisplayInterface.h"

class UpdaterStore;
class BirdFile;
namespace Tessaron {
namespace Corvalith {
class Module;
}
}  // namespace Tessaron

// True while an update or a recovery is writing a device, from the first
// block sent until the last is in: an interrupt then leaves the device in its
// loader or with incomplete firmware. Safe to call from a signal handler.
bool Updater_IsWritingDevice();

// One discovered device: its specifier as discovery delivered it (module and
// router overwritten with what the device reports), then what was read from it.
struct DeviceInfo {
  linkSpec spec;
  uint32_t networkAddress = 0;
  uint32_t build = 0;
  uint8_t major = 0;
  uint8_t minor = 0;
  uint32_t patch = 0;
  std::string modelName;
  std::string deviceName;
  int32_t error = 0;
};

// A chip's 128-bit unique id, in the order the loader reads the words.
struct Fingerprint {
  uint32_t word[4] = {0, 0, 0, 0};
};

class Updater {
 public:
  Updater(const char* serverUrl, const char* storePath, UpdaterDisplayInterface& display);
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  void Set_UEIBytes_Load(bool enabled) { ueiBytesLoad = enabled; }

  // Opens the local store for one job; null (after showing why) when the
  // directory cannot be made. caller names the job in the message.
  [[nodiscard]] static std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                                         const std::string& storePath,
                                                                         const char* caller);

  // Every module reachable over the transport (0: USB, then TCP/IP), each
  // opened and read; one that cannot be opened or read keeps its error code.
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  // The modules on the I2C network of the routing module with this serial
  // number (type 0: the router is looked for over USB, then TCP/IP). Empty
  // when the router is not found or cannot be opened.
  std::vector<DeviceInfo> Discover_CVNetwork_Devices(unsigned routerSerialNumber, linkType type);

  // Turns network sharing off for the module's link, so the updater talks to
  // the device itself and never through or as a device server. Call before
  // connecting; shows "Failed to SET network configuration" on failure.
  [[nodiscard]] static aErr _disableWeft(Tessaron::Corvalith::Module& module,
                                         UpdaterDisplayInterface& display);
  // The firmware build number of a connected module; 0 when it cannot be read.
  static uint32_t _get_build_number(Tessaron::Corvalith::Module& module);
  // Version, module address and router address of a connected module into
  // info; the first failing read's code.
  [[nodiscard]] static aErr _get_version(Tessaron::Corvalith::Module& module, DeviceInfo& info);
  // The device name (at most 32 bytes) for firmware 2.10.4 and later; older
  // firmware has none and gives aErrNone with the name left empty.
  [[nodiscard]] static aErr _get_device_name(Tessaron::Corvalith::Module& module, DeviceInfo& info);
  // Discovery callback: appends the found device to the DeviceInfo vector
  // that ref points at, counts it and asks for more.
  static bool _discovered_device(const linkSpec* spec, uint8_t* counted, void* ref);

  // -U with a device: picks the build (0: the server's current when stored,
  // else the latest download, else the latest transfer) unless birdFile is
  // given, connects (routerSerialNumber 0: directly; module 0: looked up on
  // the router's network), checks file against device unless override, sends
  // loader and firmware and records the transfer. True when the device was
  // told to reboot into the new firmware and the transfer was recorded.
  [[nodiscard]] bool Update_Firmware(unsigned serialNumber, unsigned build, std::string birdFile,
                                     unsigned char module, unsigned routerSerialNumber, bool override);
  // The BIRD file at birdFile, or (birdFile empty) build BUILD.bird of the
  // device's store entry, downloaded first when missing and asked to. Throws
  // std::runtime_error when it cannot be read; an empty file without store.
  [[nodiscard]] BirdFile load_bird(const char* action, std::string birdFile, unsigned serialNumber,
                                   unsigned build, bool downloadIfMissing);
  // Whether file and connected device belong together: blocks present,
  // serial number (for a device-specific file) and model.
  [[nodiscard]] bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file,
                                        Tessaron::Corvalith::Module& module, unsigned serialNumber);
  // The loader phase: INIT, every loader block, LOAD. The first error, with
  // a LOAD time-out counting as success.
  [[nodiscard]] aErr _transfer_loader(UpdaterDisplayInterface& display, Tessaron::Corvalith::Module& module,
                                      BirdFile& file);
  // The firmware phase: every firmware block (up to 5 tries each), then the
  // reboot; routed skips waiting for the link to drop.
  [[nodiscard]] aErr _transfer_firmware(UpdaterDisplayInterface& display, Tessaron::Corvalith::Module& module,
                                        BirdFile& file, bool routed, bool ueiBytesLoad);

  unsigned Download_Firmware(unsigned serialNumber, std::string build, bool override, bool noCalibration);
  // *requestFailed (when given) tells a failed request from an empty list.
  std::map<std::string, std::string> Get_BuildList(unsigned serialNumber, bool* requestFailed = nullptr);
  std::map<std::string, std::string> Get_BuildListLocal(unsigned serialNumber);
  std::string Get_JWT(unsigned serialNumber);
  // True when the server's build list for the device holds that build.
  [[nodiscard]] bool _valid_build(unsigned serialNumber, unsigned build, const char* serverUrl);

  // -C -f FILE: describes and checks a firmware file; true when it is valid.
  [[nodiscard]] bool Check_BirdFile(const std::string& path);
  // -I -d SERIAL: shows what the store knows about a device; false when nothing.
  [[nodiscard]] bool Show_StoredDevice(unsigned serialNumber);

  // -U -t RECOVER: identifies the chip on port, finds its device and build
  // (from the server unless birdFile is given; build 0: the server's) and
  // puts the firmware back, on an LPC at baudRate. True when the firmware
  // was written (and, where the chip allows, read back unchanged).
  [[nodiscard]] bool Recover_Firmware(std::string port, unsigned build, unsigned baudRate,
                                      unsigned serialNumber, std::string birdFile, bool override);
  // The chip's unique id: an LPC boot ROM on port is asked first (chip kind
  // 2); otherwise an i.MX ROM gets the recovery loader, which is asked over
  // USB (chip kind 1) and left running unless resetAfter.
  [[nodiscard]] bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned serialNumber,
                                     std::string birdFile, unsigned baudRate, bool resetAfter);
  [[nodiscard]] static bool _get_fingerprint_lpc(const std::string& port, unsigned baudRate,
                                                 Fingerprint& fingerprint);
  [[nodiscard]] static bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater,
                                                 const std::string& port, unsigned serialNumber,
                                                 const std::string& birdFile, Fingerprint& fingerprint,
                                                 bool resetAfter);
  // Writes the file's loader blocks through the i.MX boot ROM on port ("USB"
  // for its HID form) and starts the loader: aErrNotReady when the ROM cannot
  // be opened, aErrConnection when a block is refused.
  [[nodiscard]] static aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& file,
                                                      const std::string& port);
  // Programs the (already decoded) firmware blocks into an LPC's flash.
  [[nodiscard]] static bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file,
                                                  const std::string& port, unsigned baudRate,
                                                  const Fingerprint& fingerprint);
  // Installs the firmware through the recovery loader left running by the
  // identification step.
  [[nodiscard]] bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& file,
                                           unsigned serialNumber, bool ueiBytes);

  std::string serverUrl;
  std::string storePath;
  UpdaterDisplayInterface& display;
  uint8_t chipKind = 0;
  bool ueiBytesLoad = false;
};

#endif
