// The local firmware store: a directory tree under a base directory with one
// subdirectory per device (its serial number as "%08X"), holding the device's
// ".settings" file and its downloaded firmware files (BUILD ".bird").
// UpdaterStore is the tree; UpdaterStoreItem is one entry of it. Everything
// lives in the file system; diagnostics go to the debug log (DEBUG_Updater).
#ifndef CORVALITH_UPDATER_UPDATERSTORE_H
#define CORVALITH_UPDATER_UPDATERSTORE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/aErr.h"
#include "updater/BirdFile.h"
#include "updater/KeyValueStore.h"

enum store_item_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
};

class UpdaterStoreItem {
 public:
  UpdaterStoreItem() = default;
  // Loads settings from basePath/name/.settings, creating that file when the
  // directory exists and the file does not.
  UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t kind);

  [[nodiscard]] bool IsValid() const { return !basePath.empty() && !name.empty(); }
  // The item's directory: basePath/name.
  std::string Path() const;
  // Whether this item's directory has an entry of exactly that name.
  [[nodiscard]] bool FileExists(const std::string& fileName) const;
  // Replaces basePath/name/fileName atomically. aErrNotFound for null data or
  // a file that cannot be created; aErrIO or aErrWrite when writing fails.
  [[nodiscard]] aErr WriteFile(const std::string& fileName, const uint8_t* data, size_t length);
  // Throws std::runtime_error: "Invalid bird " + path when the header check
  // fails, "Failed to load bird data" when loading fails.
  [[nodiscard]] BirdFile ReadBirdFile(const std::string& fileName) const;

  std::string basePath;
  std::string name;
  store_item_t kind = STORE_ITEM_NONE;
  KeyValueStore settings;
};

class UpdaterStore {
 public:
  // Makes sure the base directory exists; throws std::runtime_error when it
  // cannot be created or a file stands in its place.
  explicit UpdaterStore(const std::string& basePath);

  const std::string& BasePath() const { return basePath; }

  // Makes sure the device directory exists (throws like the constructor) and
  // returns its item, whose settings file is loaded or created.
  UpdaterStoreItem AddDevice(uint32_t serialNumber);
  UpdaterStoreItem AddDevice(const std::string& name);

  // Looks for a base-directory entry named exactly like the device; fills
  // *item (when given) on a match.
  [[nodiscard]] bool FindDevice(uint32_t serialNumber, UpdaterStoreItem* item = nullptr) const;
  [[nodiscard]] bool FindDevice(const std::string& name, UpdaterStoreItem* item = nullptr) const;

  // Appends the device's stored entries (not the hidden ones) in listing
  // order; nothing when the device is unknown. Always true.
  [[nodiscard]] bool FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) const;

  // The eight upper-case hexadecimal digits naming a device directory.
  static std::string DeviceName(uint32_t serialNumber);

 private:
  std::string basePath;
};

#endif
