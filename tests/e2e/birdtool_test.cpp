// birdtool as a user meets it: help, refused arguments, and files that the
// Updater accepts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/RunProcess.h"
#include "support/TempFiles.h"

namespace fs = std::filesystem;

namespace {

const std::string kBirdtool = CV_BINARY_DIR "/tools/birdtool";
const std::string kUpdater = CV_BINARY_DIR "/Updater";

class BirdtoolTest : public ::testing::Test {
 protected:
  TempDir tempDir;

  void SetUp() override {
    dir = tempDir.path();
    std::ofstream(dir / "fw.bin", std::ios::binary) << std::string(4096, '\0') << "end";
  }

  std::vector<std::string> PackArgs(const fs::path& out) const {
    return {"pack",
            "-o",
            out.string(),
            "--build",
            "77",
            "--version",
            "3.1.4",
            "--model",
            "Relay8",
            "--firmware",
            "0x8000:" + (dir / "fw.bin").string()};
  }

  fs::path dir;
};

TEST_F(BirdtoolTest, HelpAndUsage) {
  const ProcessResult help = RunProcess(kBirdtool, {"--help"});
  EXPECT_EQ(0, help.exitCode);
  EXPECT_EQ(0u, help.out.find("Usage:\n  birdtool pack -o OUT"));
  EXPECT_EQ("", help.err);

  const ProcessResult none = RunProcess(kBirdtool, {});
  EXPECT_EQ(1, none.exitCode);
  EXPECT_EQ(0u, none.err.find("Usage:"));

  const ProcessResult unknown = RunProcess(kBirdtool, {"unpack"});
  EXPECT_EQ(1, unknown.exitCode);
  EXPECT_EQ(0u, unknown.err.find("birdtool: unknown command 'unpack'\n"));
}

TEST_F(BirdtoolTest, RefusedArgumentsWriteNothing) {
  const fs::path out = dir / "out.bird";
  struct Case {
    std::vector<std::string> change;  // option, value replacing or adding
    const char* message;
  };
  const std::string fw = (dir / "fw.bin").string();
  const Case cases[] = {
      {{"--version", "2.10.0-rc.123456"}, "birdtool: version text longer than 15 characters\n"},
      {{"--model", "ABCDEFGHIJKLMNOPQ"}, "birdtool: model name longer than 16 characters\n"},
      {{"--build", "12x"}, "birdtool: invalid build number '12x'\n"},
      {{"--build", "4294967296"}, "birdtool: invalid build number '4294967296'\n"},
      {{"--serial", "XYZ"}, "birdtool: invalid serial number 'XYZ'\n"},
      {{"--firmware", "0x8000:" + fw + ":8"}, "birdtool: block flags must be 0 to 7\n"},
      {{"--firmware", "zz:" + fw}, "birdtool: invalid address 'zz'\n"},
      {{"--firmware", fw}, nullptr},
      {{"--firmware", "0x10:" + (dir / "missing.bin").string()}, nullptr},
      {{"--serial-offsets", "0x10"}, "birdtool: expected SERIAL_ADDR:DESCRIPTOR_ADDR, got '0x10'\n"},
      {{"--bogus", "1"}, "birdtool: unknown option --bogus\n"},
      {{"--loader-start"}, "birdtool: missing value for --loader-start\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change[0] + " " + (c.change.size() > 1 ? c.change[1] : ""));
    std::vector<std::string> args = PackArgs(out);
    bool replaced = false;
    for (size_t i = 0; i + 1 < args.size() && c.change.size() > 1; ++i) {
      if (args[i] == c.change[0] && args[i] != "--firmware") {
        args[i + 1] = c.change[1];
        replaced = true;
      }
    }
    if (!replaced) args.insert(args.end(), c.change.begin(), c.change.end());
    const ProcessResult r = RunProcess(kBirdtool, args);
    EXPECT_EQ(1, r.exitCode);
    if (c.message != nullptr) {
      EXPECT_EQ(c.message, r.err);
    } else {
      EXPECT_EQ(0u, r.err.find("birdtool: ")) << r.err;
    }
    EXPECT_FALSE(fs::exists(out)) << r.out << r.err;
  }

  // Each required part named when missing.
  const ProcessResult noFirmware = RunProcess(
      kBirdtool, {"pack", "-o", out.string(), "--build", "1", "--version", "1.0.0", "--model", "M"});
  EXPECT_EQ("birdtool: no firmware block (--firmware)\n", noFirmware.err);
  const ProcessResult noOutput = RunProcess(kBirdtool, {"pack", "--build", "1"});
  EXPECT_EQ("birdtool: no output file (-o)\n", noOutput.err);
}

TEST_F(BirdtoolTest, PaddedImagesStayLoadableAndReplaceOldFiles) {
  // 4 KiB of zeros compresses far beyond the reader's 8:1 limit.
  const fs::path out = dir / "77.bird";
  std::ofstream(out) << "old contents";
  std::vector<std::string> args = PackArgs(out);
  args.insert(args.end(), {"--firmware", "0x9000:" + (dir / "fw.bin").string() + ":2"});
  const ProcessResult r = RunProcess(kBirdtool, args);
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(0u, r.out.find(out.string() + ": 3 blocks, "));

  const ProcessResult check = RunProcess(kUpdater, {"-C", "-f", out.string(), "-i", dir.string()});
  EXPECT_EQ(0, check.exitCode) << check.out << check.err;
  EXPECT_NE(std::string::npos,
            check.out.find("\nBuild: 77\nVersion: 3.1.4\nSerial number: 00000000\nModel: Relay8\n"));
  EXPECT_NE(std::string::npos, check.out.find("    FIRMWARE        2      4103        00009000\n"));
  // No temporary file stays behind.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"77.bird", "fw.bin", "updater"}), names);
}

}  // namespace
