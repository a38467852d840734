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
namespace Tessaron {
namespace Corvalith {
class Module;
}
}  // namespace Tessaron

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

// Thrown by a job that this version of the program does not carry yet; the
// front end reports it and fails the run.
class JobUnavailable : public std::runtime_error {
 public:
  explicit JobUnavailable(const std::string& job)
      : std::runtime_error(job + " is not available in this version") {}
};

class Updater {
 public:
  Updater(const char* serverUrl, const char* storePath, UpdaterDisplayInterface& display);
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  void Set_UEIBytes_Load(bool enabled) { ueiBytesLoad = enabled; }

  // Opens the local store for one job; null (after showing why) when the
  // directory cannot be made. caller names the job in the message.
  static std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                           const std::string& storePath, const char* caller);

  std::vector<DeviceInfo> Discover_Devices(linkType type);
  std::vector<DeviceInfo> Discover_CVNetwork_Devices(unsigned routerSerialNumber, linkType type);

  bool Update_Firmware(unsigned serialNumber, unsigned build, std::string birdFile, unsigned char module,
                       unsigned routerSerialNumber, bool override);

  unsigned Download_Firmware(unsigned serialNumber, std::string build, bool override, bool noCalibration);
  std::map<std::string, std::string> Get_BuildList(unsigned serialNumber);
  std::map<std::string, std::string> Get_BuildListLocal(unsigned serialNumber);
  std::string Get_JWT(unsigned serialNumber);
  // True when the server's build list for the device holds that build.
  bool _valid_build(unsigned serialNumber, unsigned build, const char* serverUrl);

  // -C -f FILE: describes and checks a firmware file; true when it is valid.
  bool Check_BirdFile(const std::string& path);
  // -I -d SERIAL: shows what the store knows about a device; false when nothing.
  bool Show_StoredDevice(unsigned serialNumber);

  bool Recover_Firmware(std::string port, unsigned build, unsigned baudRate, unsigned serialNumber,
                        std::string birdFile, bool override);
  bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned serialNumber,
                       std::string birdFile, unsigned baudRate, bool resetAfter);

  std::string serverUrl;
  std::string storePath;
  UpdaterDisplayInterface& display;
  uint8_t chipKind = 0;
  bool ueiBytesLoad = false;
};

#endif
