// The jobs that talk to the update server but not to a device: fetching a
// build into the local store (-G), the server's build list (-B) and the
// device token (-J).
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

#include "updater/Base64.h"
#include "updater/BirdFile.h"
#include "updater/BirdImageCheck.h"
#include "updater/BuildNumber.h"
#include "updater/KeyValueStore.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterConstants.h"
#include "updater/UpdaterStore.h"
#include "updater/report/Log.h"

using namespace updater_jobs;

namespace {

constexpr auto kSpinnerStep = std::chrono::milliseconds(100);
constexpr const char* kSpinnerLabel = "Downloading";
constexpr const char* kKeyLastDownloadDate = "LAST_DOWNLOAD_DATE";

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Pings the server; false, with the error the user sees, when it does not
// answer.
bool sServerAnswers(UpdaterDisplayInterface& display, const std::string& serverUrl) {
  if (UpdateServerRequest::ping(serverUrl.c_str())) return true;
  display.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s",
                  serverUrl.empty() ? UpdateServerRequest::default_url : serverUrl.c_str());
  return false;
}

// A server can answer with another build than it named, or with a file made
// for another device; storing either would install the wrong firmware later.
// The file must load by the rules an update applies (decompression bound
// included), carry the asked build, and, unless it is generic (serial
// offsets), the device's serial number.
bool sIsWhatWasAsked(UpdaterDisplayInterface& display, const uint8_t* bytes, size_t length,
                     unsigned serialNumber, unsigned buildNumber) {
  BirdFile file;
  if (!file.LoadFromMemory(bytes, length) || !file.HasDescriptor()) {
    display.message(UpdaterDisplayInterface::ERROR, "Downloaded file is not a valid BIRD file");
    return false;
  }
  if (file.GetBuild() != buildNumber) {
    display.message(UpdaterDisplayInterface::ERROR, "Downloaded file holds build %u, not build %u",
                    file.GetBuild(), buildNumber);
    return false;
  }
  if (!file.hasSerialOffsets && !file.ValidateSerialNumber(serialNumber)) {
    display.message(UpdaterDisplayInterface::ERROR, "Downloaded file is for device %08X, not %08X",
                    file.GetSerialNumber(), serialNumber);
    return false;
  }
  return true;
}

}  // namespace

unsigned Updater::Download_Firmware(unsigned serialNumber, std::string build, bool override,
                                    bool noCalibration) {
  unsigned buildNumber = 0;
  if (!build.empty() && !ParseBuildNumber(build, buildNumber)) {
    display.message(UpdaterDisplayInterface::ERROR, "Build number '%s' must be an number", build.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(UpdaterDisplayInterface::ERROR, "Serial Number must be non-zero");
    return 0;
  }
  const char* url = serverUrl.c_str();
  if (!sServerAnswers(display, serverUrl)) return 0;

  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storePath, "Download_Firmware");
  if (!store) return 0;
  UpdaterStoreItem device;
  if (!store->FindDevice(serialNumber, &device)) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      device = store->AddDevice(serialNumber);
    } catch (const std::runtime_error&) {
      display.message(UpdaterDisplayInterface::ERROR, "Could not create directory for storing BIRD file");
      return 0;
    }
  }

  if (device.settings.readFailed) {
    display.message(UpdaterDisplayInterface::ERROR, "Could not read settings file %s",
                    device.settings.path.c_str());
    return 0;
  }

  std::string serverBuild;
  std::string firmware;
  if (!UpdateServerRequest::QueryBuild(serialNumber, serverBuild, firmware, url)) {
    display.message(UpdaterDisplayInterface::ERROR, "No build information for device");
    return 0;
  }
  if (build.empty() && !ParseBuildNumber(serverBuild, buildNumber)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", serverBuild.c_str());
    buildNumber = 0;
  }
  display.message(UpdaterDisplayInterface::INFO, "Retrieving build %u", buildNumber);

  if (override) {
    display.message(UpdaterDisplayInterface::INFO, "Override specified, skipping validation of build %u",
                    buildNumber);
  } else {
    display.message(UpdaterDisplayInterface::INFO, "Validating build %u with server", buildNumber);
    if (!_valid_build(serialNumber, buildNumber, url)) {
      display.message(UpdaterDisplayInterface::ERROR, "No valid build %u", buildNumber);
      return 0;
    }
    display.message(UpdaterDisplayInterface::INFO, "Build %u is valid", buildNumber);
  }

  // The request runs on a worker so the spinner keeps turning; bird belongs
  // to this thread and is read only after the worker has been joined.
  const std::string buildText = std::to_string(buildNumber);
  std::string bird;
  bool received = false;
  try {
    std::promise<bool> result;
    std::future<bool> done = result.get_future();
    std::thread worker([&, result = std::move(result)]() mutable {
      bool ok = false;
      try {
        ok = UpdateServerRequest::GetBuild(serialNumber, firmware, buildText, bird, url, noCalibration);
      } catch (...) {
        ok = false;
      }
      result.set_value(ok);
    });
    // Joined on every way out of this block: the worker writes into bird.
    struct Joiner {
      std::thread& thread;
      ~Joiner() {
        if (thread.joinable()) thread.join();
      }
    } joiner{worker};
    display.update_spinner(true, kSpinnerLabel);
    while (done.wait_for(kSpinnerStep) != std::future_status::ready)
      display.update_spinner(true, kSpinnerLabel);
    display.update_spinner(false, kSpinnerLabel);
    received = done.get();
  } catch (const std::system_error&) {
    received = false;  // no worker could be started
  }
  if (!received) display.message(UpdaterDisplayInterface::ERROR, "Download failed");

  if (bird.empty()) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  const std::string fileName = buildText + kBirdSuffix;
  size_t length = 0;
  std::unique_ptr<unsigned char, FreeDeleter> bytes(base64_decode(bird.data(), bird.size(), &length));
  if (!bytes) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to decode the downloaded BIRD file");
    return 0;
  }
  if (!IsStorableBirdImage(bytes.get(), length)) {
    display.message(UpdaterDisplayInterface::ERROR, "Downloaded file is not a valid BIRD file");
    return 0;
  }
  if (!sIsWhatWasAsked(display, bytes.get(), length, serialNumber, buildNumber)) return 0;
  const std::string when = KeyValueStore::CurrentTime();
  const aErr written = device.WriteFile(fileName, bytes.get(), length);
  bytes.reset();
  if (written != aErrNone) {
    // Not recorded: the update flow would pick a build that is not there.
    display.message(UpdaterDisplayInterface::ERROR, "Failed to write file with %d",
                    static_cast<int>(written));
    return 0;
  }
  (void)device.settings.Add(kKeyLatestDownload, fileName);
  (void)device.settings.Add(kKeyLastDownloadDate, when);
  if (device.settings.Save() != aErrNone) {
    // The build is in the store but not recorded: the command has failed.
    display.message(UpdaterDisplayInterface::ERROR, "Could not save settings file %s",
                    device.settings.path.c_str());
    return 0;
  }
  return buildNumber;
}

bool Updater::_valid_build(unsigned serialNumber, unsigned build, const char* url) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url)) return false;
  for (const auto& entry : builds) {
    unsigned listed = 0;
    if (!ParseBuildNumber(entry.first, listed)) {
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
      listed = 0;
    }
    if (listed == build) return true;
  }
  return false;
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned serialNumber, bool* requestFailed) {
  std::map<std::string, std::string> builds;
  bool failed = !sServerAnswers(display, serverUrl);
  if (!failed && !UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl.c_str())) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve builds for %08X", serialNumber);
    failed = true;
  }
  if (requestFailed) *requestFailed = failed;
  return builds;
}

std::string Updater::Get_JWT(unsigned serialNumber) {
  std::string token;
  if (sServerAnswers(display, serverUrl) &&
      !UpdateServerRequest::GetDeviceJWT(serialNumber, token, serverUrl.c_str())) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve jwt for %08X", serialNumber);
    token.clear();
  }
  return token;
}
