#include "app/UpdaterMain.h"

#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/ConsoleTables.h"
#include "app/Parameters.h"
#include "app/Usage.h"
#include "common/aText.h"
#include "unix/aDirectory.h"
#include "updater/BuildPath.h"
#include "updater/Updater.h"
#include "updater/report/Log.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

constexpr size_t kHomeDirectorySize = 2048;
constexpr unsigned kStoreDirectoryMode = 0755;
// Stands in for the serial number when reading a bare chip's fingerprint
// without -d.
constexpr unsigned kFingerprintSerialNumber = 0xDEADDEAD;

void sUsage(FILE* stream, bool longForm, bool extended) {
  std::string text = UsageText(longForm, extended);
  fwrite(text.data(), 1, text.size(), stream);
  fflush(stream);
}

// Runs one job. A job that throws (one this version does not carry, or a
// constructor that failed) is reported through the display and counts as
// failed rather than ending the program.
template <typename Job>
bool sRunJob(UpdaterDisplayInterface& display, Job&& job) {
  try {
    job();
    return true;
  } catch (const std::exception& e) {
    display.message(Level::ERROR, "%s", e.what());
    return false;
  }
}

// The store directory for this run, created when missing; empty on failure
// (already reported).
std::string sPrepareStoreDirectory(const Parameters& p, UpdaterDisplayInterface& display) {
  std::string base = p.storeDirectory;
  if (base.empty()) {
    std::vector<char> home(kHomeDirectorySize, '\0');
    aErr err = aDirectory_GetHomeDirectory(home.data(), home.size());
    home.back() = '\0';
    // Without a home directory the store would land in the file system root.
    if (err == aErrNone && home[0] == '\0') err = aErrNotFound;
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
      display.message(Level::ERROR, "Could not find updater directory at %s", "~/.tessaron/updater");
      return std::string();
    }
    base = BuildPath(home.data(), ".tessaron", nullptr);
  }
  std::string path = BuildPath(base.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(path.c_str(), kStoreDirectoryMode) != aErrNone) {
    display.message(Level::ERROR, "Could not find updater directory at %s", path.c_str());
    return std::string();
  }
  return path;
}

int sDiscover(Updater& updater, const Parameters& p, UpdaterDisplayInterface& display) {
  uint32_t type = (p.transportGiven && p.transport != kTransportRecover) ? p.transport : 0;
  std::vector<DeviceInfo> devices;
  if (p.routerSerialNumber != 0) {
    display.message(Level::INFO, "Searching for Corvalith Network devices connected to %08X",
                    p.routerSerialNumber);
    if (!sRunJob(display, [&] {
          devices = updater.Discover_CVNetwork_Devices(p.routerSerialNumber, static_cast<linkType>(type));
        })) {
      return 1;
    }
  } else {
    if (type == 0) type = USB;
    display.message(Level::INFO, "Searching for Corvalith devices");
    if (!sRunJob(display, [&] { devices = updater.Discover_Devices(static_cast<linkType>(type)); })) return 1;
  }
  ShowDeviceList(display, type, devices);
  return 0;
}

int sUpdate(Updater& updater, const Parameters& p, UpdaterDisplayInterface& display) {
  uint32_t build = 0;
  if (!aText_ParseUnsigned32(p.build, 10, &build)) build = 0;  // latest
  updater.Set_UEIBytes_Load(p.ueiBytesLoad);
  bool ok = false;
  if (p.transport == kTransportRecover) {
    if (!sRunJob(display, [&] {
          ok = updater.Recover_Firmware(p.serialPort, build, p.baudRate, p.serialNumber, p.birdFile,
                                        p.override);
        })) {
      return 1;
    }
  } else {
    if (p.serialNumber == 0) {
      display.message(Level::ERROR, "Must specify the specific device to be updated");
      return 1;
    }
    if (!sRunJob(display, [&] {
          ok = updater.Update_Firmware(p.serialNumber, build, p.birdFile, p.module, p.routerSerialNumber,
                                       p.override);
        })) {
      return 1;
    }
  }
  return ok ? 0 : 1;
}

// -B, -L and -J need a device; without one they explain and show the usage.
bool sNeedSerial(const Parameters& p, UpdaterDisplayInterface& display, FILE* usage, const char* error) {
  if (p.serialNumber != 0) return true;
  display.message(Level::ERROR, "%s", error);
  sUsage(usage, false, false);
  return false;
}

}  // namespace

int RunUpdater(int argc, const char* const argv[], UpdaterDisplayInterface& display, FILE* usage) {
  Log::SetOutput(stderr);
  // Holds the -k log file until the end of the run.
  ParseResult parsed = ParseCommandLine(argc, argv, display);
  Parameters& p = parsed.params;

  if (!parsed.ok) {
    display.message(Level::INFO, "%s", VersionLine().c_str());
    display.message(Level::INFO, "%s", MakerNotice().c_str());
    sUsage(usage, false, false);
    return 1;
  }

  display.message(Level::INFO, "%s", VersionLine().c_str());

  if (p.commands.IsSet(CMD_HELP) || !p.commands.IsSet(kAnyCommandMask)) {
    display.message(Level::INFO, "%s", MakerNotice().c_str());
    sUsage(usage, p.helpRequested, p.helpRequested && p.logMaskGiven);
    return 0;
  }

  std::string store = sPrepareStoreDirectory(p, display);
  if (store.empty()) return 1;
  p.storeDirectory = store;

  std::unique_ptr<Updater> owner;
  if (!sRunJob(display, [&] { owner.reset(new Updater(p.serverUrl.c_str(), store.c_str(), display)); })) {
    return 1;
  }
  Updater& updater = *owner;

  int pending = 0;
  if (p.commands.IsSet(CMD_FINGERPRINT)) {
    if (p.serialPort.empty()) {
      display.message(Level::ERROR, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fingerprint;
    bool got = false;
    sRunJob(display, [&] {
      // With -d, a file given with -f is the recovery image of that device.
      const unsigned serial = p.serialNumber != 0 ? p.serialNumber : kFingerprintSerialNumber;
      got = updater.Get_Fingerprint(fingerprint, p.serialPort, serial, p.birdFile, p.baudRate, true);
    });
    if (got) {
      ShowFingerprint(display, fingerprint);
    } else {
      display.message(Level::ERROR, "Got no response from chip");
      pending = 1;
    }
  }

  if (p.commands.IsSet(CMD_GET)) {
    if (p.serialNumber == 0) {
      display.message(Level::ERROR, "-G must specify a specific device via -d");
      display.message(Level::ERROR, "--help for usage information");
      return 1;
    }
    display.message(Level::INFO, "Retrieving firmware for device with serial number %08X", p.serialNumber);
    if (p.build.empty()) {
      display.message(Level::INFO, "No build specified");
      display.message(Level::INFO, "Using Latest build");
    } else {
      display.message(Level::INFO, "Retrieving firmware build %s", p.build.c_str());
    }
    unsigned stored = 0;
    sRunJob(display, [&] { stored = updater.Download_Firmware(p.serialNumber, p.build, p.override, false); });
    if (stored != 0) {
      // A following update installs exactly what was fetched. A failed -N
      // before stays failed: a download does not make up for it.
      p.build = std::to_string(stored);
    } else {
      pending = 1;
    }
  }

  const CommandsClass& c = p.commands;
  if (c.IsSet(CMD_DISCOVER)) return sDiscover(updater, p, display);
  if (c.IsSet(CMD_UPDATE)) return sUpdate(updater, p, display);
  if (c.IsSet(CMD_BUILDS)) {
    if (!sNeedSerial(p, display, usage, "Error must supply a serial number for the List Builds command"))
      return 1;
    std::map<std::string, std::string> builds;
    bool failed = true;
    if (!sRunJob(display, [&] { builds = updater.Get_BuildList(p.serialNumber, &failed); })) return 1;
    ShowBuildList(display, p.serialNumber, sortedBuilds(builds));
    return failed ? 1 : 0;
  }
  if (c.IsSet(CMD_LOCAL_BUILDS)) {
    if (!sNeedSerial(p, display, usage,
                     "Error must supply a serial number for the List Local Builds command")) {
      return 1;
    }
    std::map<std::string, std::string> builds;
    if (!sRunJob(display, [&] { builds = updater.Get_BuildListLocal(p.serialNumber); })) return 1;
    ShowBuildList(display, p.serialNumber, sortedBuilds(builds));
    return 0;
  }
  if (c.IsSet(CMD_JWT)) {
    if (!sNeedSerial(p, display, usage, "Error must supply a serial number for the Get JWT command"))
      return 1;
    std::string token;
    if (!sRunJob(display, [&] { token = updater.Get_JWT(p.serialNumber); })) return 1;
    // Get_JWT has said why when it returns no token.
    if (token.empty()) return 1;
    ShowToken(display, token);
    return 0;
  }
  if (c.IsSet(CMD_INFO) && p.serialNumber != 0) {
    bool known = false;
    if (!sRunJob(display, [&] { known = updater.Show_StoredDevice(p.serialNumber); })) return 1;
    return known ? 0 : 1;
  }
  if (c.IsSet(CMD_CHECK) && !p.birdFile.empty()) {
    bool valid = false;
    if (!sRunJob(display, [&] { valid = updater.Check_BirdFile(p.birdFile); })) return 1;
    return valid ? 0 : 1;
  }
  return pending;
}
