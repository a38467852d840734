// The jobs that need only the local store and firmware files: opening the
// store, the local build list (-L), checking a firmware file (-C) and showing
// what the store knows about a device (-I).
#include <exception>
#include <string>
#include <vector>

#include "common/aText.h"
#include "unix/aDirectory.h"
#include "unix/aFile.h"
#include "updater/BirdFile.h"
#include "updater/KeyValueStore.h"
#include "updater/UpdateServerRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterStore.h"
#include "updater/report/Log.h"

namespace {

const char* const kBirdExtension = ".bird";

// Text from a file may carry terminal control sequences; show them inert.
std::string sPrintable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return out;
}

const char* sBlockTypeName(uint8_t type) {
  switch (type) {
    case BirdFile::BLOCK_LOADER:
      return "LOADER";
    case BirdFile::BLOCK_FIRMWARE:
      return "FIRMWARE";
    case BirdFile::BLOCK_SERIAL_OFFSETS:
      return "SERIAL_OFFSETS";
    case BirdFile::BLOCK_DESCRIPTOR:
      return "DESCRIPTOR";
    case BirdFile::BLOCK_LOADER_START:
      return "LOADER_START";
    default:
      return "UNUSED";
  }
}

// The verdict line's reason, or empty for a usable file.
std::string sCheckProblem(const BirdFile& file, bool loaded) {
  if (!file.problem.empty()) return file.problem;
  if (!loaded) return "cannot be loaded";
  if (file.blockCount == 0) return "holds no blocks";
  return std::string();
}

}  // namespace

std::unique_ptr<UpdaterStore> Updater::_createUpdaterStore(UpdaterDisplayInterface& display,
                                                           const std::string& storePath, const char* caller) {
  try {
    return std::make_unique<UpdaterStore>(storePath);
  } catch (const std::exception& e) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                    caller ? caller : "", e.what());
    return nullptr;
  }
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned serialNumber) {
  std::map<std::string, std::string> builds;
  const std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storePath, "Get_BuildListLocal");
  if (!store) return builds;
  std::vector<UpdaterStoreItem> items;
  (void)store->FindLocalBuilds(serialNumber, items);
  for (const UpdaterStoreItem& item : items) {
    const std::string key = item.name.substr(0, item.name.find(kBirdExtension));
    std::string version;
    if (item.IsValid()) {
      const std::string path = item.basePath + "/" + item.name;
      if (BirdFile::VerifyFile(path.c_str())) {
        // A file that passes the header check but does not load is listed
        // with an empty version instead of ending the listing.
        try {
          const BirdFile file(path.c_str());
          const std::string found = file.GetVersion();
          if (!found.empty()) {
            version = sPrintable(found);
            Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
          }
        } catch (const std::exception& e) {
          Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        }
      } else {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.emplace(key, version);
  }
  return builds;
}

bool Updater::Check_BirdFile(const std::string& path) {
  const int info = UpdaterDisplayInterface::INFO;
  display.message(info, "BIRD file: %s", sPrintable(path).c_str());
  BirdFile file;
  file.path = path;
  const bool loaded = file.Load();
  if (loaded) {
    display.message(info, "Format version: %04X", file.version);
    display.message(info, "Build: %u", file.GetBuild());
    display.message(info, "Version: %s", sPrintable(file.GetVersion()).c_str());
    if (file.hasSerialOffsets) {
      display.message(info, "Serial number: generic");
    } else {
      display.message(info, "Serial number: %08X", file.GetSerialNumber());
    }
    display.message(info, "Model: %s", sPrintable(file.GetModel()).c_str());
    display.message(info, "Blocks: %u", file.blockCount);
    display.message(info, "    %-15s %-6s %-11s %s", "Type", "Flags", "Length", "Address");
    for (const BirdBlock& block : file.blocks) {
      const bool addressed = block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE;
      const std::string address = addressed ? aText_Hex32(block.address) : "-";
      display.message(info, "    %-15s %-6u %-11u %s", sBlockTypeName(block.type), block.flags, block.length,
                      address.c_str());
    }
    if (file.hasSerialOffsets) {
      display.message(info, "Serial-number offsets: %08X (number), %08X (text)", file.serialNumberOffset,
                      file.descriptorOffset);
    }
    display.message(info, "File checksum: %08X", file.fileChecksum);
  }
  const std::string problem = sCheckProblem(file, loaded);
  if (!problem.empty()) {
    display.message(UpdaterDisplayInterface::ERROR, "File is not valid: %s", problem.c_str());
    return false;
  }
  display.message(info, "File is valid");
  return true;
}

bool Updater::Show_StoredDevice(unsigned serialNumber) {
  const std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storePath, "Show_StoredDevice");
  if (!store) return false;
  const std::string name = UpdaterStore::DeviceName(serialNumber);
  const std::string directory = store->BasePath() + "/" + name;
  // Only a device directory holds information; a stray file of that name
  // does not count. Nothing here writes: a missing settings file is reported,
  // not created.
  if (!store->FindDevice(name) || !aDirectory_Exists(directory.c_str())) {
    display.message(UpdaterDisplayInterface::ERROR, "No stored information for device [%08X]", serialNumber);
    return false;
  }
  const int info = UpdaterDisplayInterface::INFO;
  display.message(info, "Stored information for device [%08X]:", serialNumber);
  display.message(info, "Settings:");
  const std::string settingsPath = directory + "/" + KeyValueStore::DEFAULT_FILENAME;
  aFileRef probe = aFile_Open(settingsPath.c_str(), aFileModeReadOnly);
  if (probe == nullptr) {
    display.message(info, "    none");
  } else {
    (void)aFile_Close(&probe);
    const KeyValueStore settings(settingsPath);
    if (settings.entries.empty()) display.message(info, "    none");
    for (const auto& entry : settings.entries) {
      display.message(info, "    %s = %s", sPrintable(entry.first).c_str(), sPrintable(entry.second).c_str());
    }
  }
  display.message(info, "Local builds:");
  const auto builds = UpdateServerRequest::SortBuildsByVersion(Get_BuildListLocal(serialNumber));
  if (builds.empty()) {
    display.message(info, "    none");
    return true;
  }
  display.message(info, "    %-15.15s\t%-15.15s", "Build", "Version");
  for (const auto& build : builds) {
    display.message(info, "    %-15.15s\t%-15.15s", sPrintable(build.first).c_str(), build.second.c_str());
  }
  return true;
}
