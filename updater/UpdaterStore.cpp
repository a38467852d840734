#include "updater/UpdaterStore.h"

#include <cstring>
#include <stdexcept>

#include "common/aText.h"
#include "unix/aDirectory.h"
#include "unix/aFile.h"
#include "updater/report/Log.h"

namespace {

constexpr unsigned kDirectoryMode = 0755;

std::string sJoin(const std::string& first, const std::string& second) {
  return first + "/" + second;
}

// The entry's own name: the part of its full path after the last separator.
const char* sEntryName(const char* fullPath) {
  const char* slash = std::strrchr(fullPath, '/');
  return slash ? slash + 1 : fullPath;
}

bool sIsDotEntry(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

void sEnsureDirectory(const std::string& path) {
  if (aDirectory_Exists(path.c_str())) {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    return;
  }
  if (aFile_Exists(path.c_str())) {
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  }
  const aErr err = aDirectory_Ensure(path.c_str(), kDirectoryMode);
  if (err != aErrNone) {
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                             std::to_string(static_cast<int>(err)));
  }
  Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// Listing state of a name search. Matching is on the entry's own name only:
// a base path that happens to contain the searched text must not match.
struct NameSearch {
  const std::string* name;
  bool found = false;
  std::string fullPath;
  bool isDirectory = false;
};

bool sFindItem(const aDirectoryListData* data, void* ref) {
  auto* search = static_cast<NameSearch*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->fullPath,
           static_cast<int>(data->isDirectory), static_cast<int>(data->size), search->name->c_str());
  const char* entry = sEntryName(data->fullPath);
  if (sIsDotEntry(entry) || *search->name != entry) return true;
  search->found = true;
  search->fullPath = data->fullPath;
  search->isDirectory = data->isDirectory != 0;
  return false;
}

bool sSearch(const std::string& directory, const std::string& name, NameSearch* search) {
  search->name = &name;
  (void)aDirectory_List(directory.c_str(), sFindItem, search);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", search->found ? "Found" : "Not Found",
           name.c_str());
  return search->found;
}

struct BuildListing {
  std::string directory;
  std::vector<UpdaterStoreItem>* items;
};

bool sFindItems(const aDirectoryListData* data, void* ref) {
  auto* listing = static_cast<BuildListing*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->fullPath,
           static_cast<int>(data->isDirectory), static_cast<int>(data->size));
  const char* entry = sEntryName(data->fullPath);
  // Hidden entries (".", "..", ".settings", temporary files) are never builds.
  if (entry[0] == '.') return true;
  // Build items carry no settings; loading them would create files inside
  // what may be a firmware file's path.
  UpdaterStoreItem item;
  item.basePath = listing->directory;
  item.name = entry;
  item.kind = data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
  listing->items->push_back(item);
  return true;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& entryName,
                                   store_item_t entryKind)
    : basePath(base), name(entryName), kind(entryKind) {
  const std::string settingsPath = sJoin(Path(), KeyValueStore::DEFAULT_FILENAME);
  // A failure stays in settings.readFailed, which callers check before they
  // record anything; the item is still listed.
  if (settings.Load(settingsPath.c_str()) != aErrNone) {
    Log::log(DEBUG_Updater, "Could not load %s\n", settingsPath.c_str());
  }
}

std::string UpdaterStoreItem::Path() const {
  return sJoin(basePath, name);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
  NameSearch search;
  return sSearch(Path(), fileName, &search);
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* data, size_t length) {
  if (data == nullptr) return aErrNotFound;
  return aFile_Replace(sJoin(Path(), fileName).c_str(), data, length);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
  const std::string filePath = sJoin(Path(), fileName);
  if (!BirdFile::VerifyFile(filePath.c_str())) {
    throw std::runtime_error("Invalid bird " + filePath);
  }
  return BirdFile(filePath.c_str());
}

UpdaterStore::UpdaterStore(const std::string& base) : basePath(base) {
  sEnsureDirectory(basePath);
}

std::string UpdaterStore::DeviceName(uint32_t serialNumber) {
  return aText_Hex32(serialNumber);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serialNumber) {
  return AddDevice(DeviceName(serialNumber));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
  sEnsureDirectory(sJoin(basePath, name));
  return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serialNumber, UpdaterStoreItem* item) const {
  return FindDevice(DeviceName(serialNumber), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const {
  NameSearch search;
  if (!sSearch(basePath, name, &search)) return false;
  if (item != nullptr) {
    const size_t slash = search.fullPath.rfind('/');
    const std::string parent = slash == std::string::npos ? basePath : search.fullPath.substr(0, slash);
    *item = UpdaterStoreItem(parent, sEntryName(search.fullPath.c_str()),
                             search.isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  }
  return true;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) const {
  const std::string name = DeviceName(serialNumber);
  if (!FindDevice(name)) return true;
  BuildListing listing{sJoin(basePath, name), &items};
  (void)aDirectory_List(listing.directory.c_str(), sFindItems, &listing);
  return true;
}
