#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempFiles.h"
#include "tools/BirdWriter.h"
#include "updater/UpdaterStore.h"

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<uint8_t> SmallBird(uint32_t build, const std::string& version) {
  BirdWriter writer;
  writer.SetDescriptor(build, version, 0x1A2B, "M");
  writer.AddFirmware(0x1000, std::vector<uint8_t>(32, 0x5A));
  return writer.FileImage();
}

std::vector<std::string> Names(const std::vector<UpdaterStoreItem>& items) {
  std::vector<std::string> names;
  for (const auto& item : items) names.push_back(item.name);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(UpdaterStore, BaseDirectoryIsCreatedOrRefused) {
  TempDir dir;
  LogCapture log(DEBUG_Updater);
  const std::string deep = dir / "a/b/c";
  UpdaterStore store(deep);
  EXPECT_EQ(deep, store.BasePath());
  EXPECT_TRUE(IsDirectory(deep));
  EXPECT_NE(std::string::npos, log.text().find("UpdaterStore: Created directory [" + deep + "].\n"));

  UpdaterStore again(deep);
  EXPECT_NE(std::string::npos, log.text().find("UpdaterStore: [" + deep + "] already exists.\n"));

  const std::string file = dir / "file";
  WriteText(file, "x");
  try {
    UpdaterStore refused(file);
    FAIL() << "a file was taken for the store";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("UpdaterStore: " + file + " exists and is a file", std::string(e.what()));
  }
  try {
    UpdaterStore refused(file + "/below");
    FAIL() << "a directory below a file was created";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("UpdaterStore: Could not create directory " + file + "/below error 12", std::string(e.what()));
  }
  EXPECT_EQ("x", ReadText(file));
}

TEST(UpdaterStore, AddAndFindDevices) {
  TempDir dir;
  LogCapture log(DEBUG_Updater);
  UpdaterStore store(dir.path());
  EXPECT_FALSE(store.FindDevice(0x1A2B));
  EXPECT_NE(std::string::npos, log.text().find("UpdaterStore: FindDevice Not Found 00001A2B.\n"));

  const UpdaterStoreItem added = store.AddDevice(0x1A2B);
  EXPECT_EQ(dir.path(), added.basePath);
  EXPECT_EQ("00001A2B", added.name);
  EXPECT_EQ(STORE_ITEM_DIRECTORY, added.kind);
  EXPECT_TRUE(added.IsValid());
  const std::string settings = ReadText(dir / "00001A2B/.settings");
  EXPECT_EQ(0u, settings.find("CREATED_TIME="));
  EXPECT_NE(std::string::npos, settings.find("\nUPDATED_TIME="));

  UpdaterStoreItem found;
  ASSERT_TRUE(store.FindDevice(0x1A2B, &found));
  EXPECT_NE(std::string::npos, log.text().find("UpdaterStore: FindDevice Found 00001A2B.\n"));
  EXPECT_EQ(dir.path(), found.basePath);
  EXPECT_EQ("00001A2B", found.name);
  EXPECT_EQ(STORE_ITEM_DIRECTORY, found.kind);
  EXPECT_EQ(added.settings.entries, found.settings.entries);
  EXPECT_TRUE(store.FindDevice("00001A2B"));

  // Adding an existing device keeps its settings.
  EXPECT_TRUE(found.settings.Add("LATEST_DOWNLOAD", "1234.bird"));
  ASSERT_EQ(aErrNone, found.settings.Save());
  EXPECT_EQ("1234.bird", store.AddDevice("00001A2B").settings.GetString("LATEST_DOWNLOAD"));

  const UpdaterStoreItem empty;
  EXPECT_FALSE(empty.IsValid());
  EXPECT_EQ(STORE_ITEM_NONE, empty.kind);
  EXPECT_TRUE(empty.settings.path.empty());
}

TEST(UpdaterStore, LookupsMatchWholeEntryNames) {
  TempDir dir;
  // The base path itself contains the serial text; so do neighbouring entries.
  const std::string base = dir / "00001A2B/store";
  UpdaterStore store(base);
  MakeDirectory(base + "/100001A2B");
  MakeDirectory(base + "/00001A2B0");
  WriteText(base + "/00001A2B.bird", "x");
  EXPECT_FALSE(store.FindDevice(0x1A2B));
  EXPECT_FALSE(store.FindDevice(0x1A2B, nullptr));

  store.AddDevice(0x1A2B);
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(0x1A2B, &item));
  EXPECT_EQ(base, item.basePath);
  EXPECT_EQ("00001A2B", item.name);

  WriteText(base + "/00001A2B/1234.bird", "x");
  EXPECT_TRUE(item.FileExists("1234.bird"));
  EXPECT_FALSE(item.FileExists("1234"));
  EXPECT_FALSE(item.FileExists("234.bird"));
  EXPECT_FALSE(item.FileExists("00001A2B"));  // the directory's own name is no entry of it

  // A plain file standing where a device directory belongs is found as a file.
  WriteText(base + "/0000BEEF", "not a directory");
  ASSERT_TRUE(store.FindDevice(0xBEEF, &item));
  EXPECT_EQ(STORE_ITEM_FILE, item.kind);
  EXPECT_EQ("not a directory", ReadText(base + "/0000BEEF"));
}

TEST(UpdaterStore, LocalBuildsSkipHiddenEntries) {
  TempDir dir;
  UpdaterStore store(dir.path());
  std::vector<UpdaterStoreItem> items;
  EXPECT_TRUE(store.FindLocalBuilds(0x1A2B, items));
  EXPECT_TRUE(items.empty());

  UpdaterStoreItem device = store.AddDevice(0x1A2B);
  const std::vector<uint8_t> a = SmallBird(1234, "2.9.0");
  const std::vector<uint8_t> b = SmallBird(1240, "2.10.0");
  ASSERT_EQ(aErrNone, device.WriteFile("1234.bird", a.data(), a.size()));
  ASSERT_EQ(aErrNone, device.WriteFile("1240.bird", b.data(), b.size()));
  WriteText(dir / "00001A2B/.1250.bird.tmp1-1", "leftover");
  MakeDirectory(dir / "00001A2B/subdir");
  const auto before = SnapshotTree(dir.path());

  EXPECT_TRUE(store.FindLocalBuilds(0x1A2B, items));
  EXPECT_EQ((std::vector<std::string>{"1234.bird", "1240.bird", "subdir"}), Names(items));
  for (const auto& item : items) {
    EXPECT_EQ(dir / "00001A2B", item.basePath);
    EXPECT_EQ(item.name == "subdir" ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE, item.kind) << item.name;
    EXPECT_TRUE(item.settings.entries.empty());
  }
  // Listing builds writes nothing (no settings appear inside entries).
  EXPECT_EQ(before, SnapshotTree(dir.path()));

  // Appends to what the caller holds; another device's builds stay apart.
  store.AddDevice(0x2222);
  EXPECT_TRUE(store.FindLocalBuilds(0x2222, items));
  EXPECT_EQ(3u, items.size());
}

TEST(UpdaterStore, WriteFileAndReadBirdFile) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x1A2B);

  EXPECT_EQ(aErrNotFound, device.WriteFile("null.bird", nullptr, 10));
  EXPECT_FALSE(device.FileExists("null.bird"));

  const std::vector<uint8_t> first = SmallBird(1234, "2.9.0");
  ASSERT_EQ(aErrNone, device.WriteFile("1234.bird", first.data(), first.size()));
  const std::vector<uint8_t> second = SmallBird(1234, "2.9.1");
  ASSERT_EQ(aErrNone, device.WriteFile("1234.bird", second.data(), second.size()));
  EXPECT_EQ(second, ReadBytes(dir / "00001A2B/1234.bird"));
  EXPECT_EQ((std::vector<std::string>{".settings", "1234.bird"}), ListNames(dir / "00001A2B"));

  const BirdFile file = device.ReadBirdFile("1234.bird");
  EXPECT_EQ("2.9.1", file.GetVersion());
  EXPECT_EQ(dir / "00001A2B/1234.bird", file.path);

  const std::string notBird = dir / "00001A2B/bad.bird";
  WriteText(notBird, "BIRD and more bytes");
  try {
    (void)device.ReadBirdFile("bad.bird");
    FAIL() << "read a file without the signature";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("Invalid bird " + notBird, std::string(e.what()));
  }
  EXPECT_THROW(device.ReadBirdFile("missing.bird"), std::runtime_error);

  // Header fine, contents corrupt.
  std::vector<uint8_t> corrupt = first;
  corrupt.resize(corrupt.size() / 2);
  ASSERT_EQ(aErrNone, device.WriteFile("cut.bird", corrupt.data(), corrupt.size()));
  try {
    (void)device.ReadBirdFile("cut.bird");
    FAIL() << "loaded a cut file";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("Failed to load bird data", e.what());
  }

  // A file that cannot be created: the device directory is gone.
  UpdaterStoreItem ghost(dir.path(), "00009999", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(aErrNotFound, ghost.WriteFile("1.bird", first.data(), first.size()));
}
