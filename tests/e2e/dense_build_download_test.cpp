// A build whose contents compress far better than eight to one (erased-flash
// padding) cannot be loaded for an update: -G refuses to store it, and -L
// still lists one found in the store though its version cannot be read.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunProcess.h"
#include "support/TempFiles.h"
#include "support/UpdateServerProcess.h"

namespace fs = std::filesystem;

namespace {

const std::string kUpdater = CV_BINARY_DIR "/Updater";

// Build 1310, version 3.0.0, for device 0000DE5E: 64 KiB of 0xFF firmware,
// deflated at level 9 (152 bytes holding 65622 bytes of contents).
const unsigned char kDenseBird[] = {
    0x62, 0x69, 0x72, 0x64, 0x01, 0x01, 0x78, 0xDA, 0xED, 0xCC, 0x31, 0x0E, 0x82, 0x40, 0x00, 0x44, 0xD1,
    0xC1, 0xD8, 0xD9, 0x78, 0x04, 0x4F, 0x40, 0x96, 0x6C, 0xE8, 0x8D, 0x91, 0x84, 0x9E, 0xD8, 0x5A, 0x78,
    0x02, 0x1A, 0xCF, 0x0F, 0xDB, 0x90, 0x70, 0x88, 0xF7, 0xBA, 0x3F, 0xC5, 0x24, 0xB9, 0x5C, 0x93, 0x3C,
    0x87, 0x5A, 0xCA, 0xE3, 0xA4, 0xF6, 0xA5, 0x3F, 0x0F, 0xA5, 0x79, 0x4F, 0xE3, 0x74, 0xF4, 0x67, 0x79,
    0xCD, 0xFF, 0x5F, 0x5D, 0x8F, 0xEE, 0xD2, 0xA5, 0x1D, 0xDD, 0xB3, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x93, 0xED, 0xF6, 0xDD, 0x01, 0x53, 0x91, 0x1B, 0xB8,
};

std::string sRead(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string sLine(const std::string& build, const std::string& version) {
  char line[64];
  std::snprintf(line, sizeof(line), "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
  return line;
}

TEST(DenseBuildDownloadTest, DenseBuildIsRefusedByGetAndListedFromTheStore) {
  TempDir temp;
  const fs::path root = fs::path(temp.path()) / "served";
  const fs::path storeParent = fs::path(temp.path()) / "home";
  const std::string image(reinterpret_cast<const char*>(kDenseBird), sizeof(kDenseBird));
  fs::create_directories(root / "0000DE5E");
  std::ofstream(root / "0000DE5E" / "1310.bird", std::ios::binary) << image;

  UpdateServerProcess server(root.string(), (fs::path(temp.path()) / "requests.log").string());
  ASSERT_TRUE(server.running()) << server.startOutput();
  ProcessOptions options;
  options.unsetEnv = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"};
  options.timeoutMs = 20000;

  ProcessResult get =
      RunProcess(kUpdater, {"-G", "-d", "DE5E", "-u", server.url(), "-i", storeParent.string()}, options);
  ASSERT_FALSE(get.timedOut);
  EXPECT_EQ(get.exitCode, 1) << get.err;
  EXPECT_EQ(get.err, "Downloaded file is not a valid BIRD file\n");
  const fs::path device = storeParent / "updater" / "0000DE5E";
  EXPECT_FALSE(fs::exists(device / "1310.bird"));
  EXPECT_EQ(sRead(device / ".settings").find("LATEST_DOWNLOAD"), std::string::npos)
      << sRead(device / ".settings");

  std::ofstream(device / "1310.bird", std::ios::binary) << image;
  ProcessResult list =
      RunProcess(kUpdater, {"-L", "-d", "DE5E", "-u", server.url(), "-i", storeParent.string()}, options);
  EXPECT_EQ(list.exitCode, 0) << list.err;
  const std::string table =
      "Build List for device [0000DE5E]:\n\n" + sLine("Build", "Version") + "\n" + sLine("1310", "") + "\n";
  ASSERT_GE(list.out.size(), table.size());
  EXPECT_EQ(list.out.substr(list.out.size() - table.size()), table) << list.out;
}

}  // namespace
