// The commands that need only the local store and firmware files (-L, -C,
// -I), run through the real Updater against a store the test lays out with
// birdtool, checking output, exit codes and that no file changed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "support/RunProcess.h"
#include "support/TempFiles.h"
#include "support/Text.h"

namespace fs = std::filesystem;

namespace {

const std::string kUpdater = CV_BINARY_DIR "/Updater";
const std::string kBirdtool = CV_BINARY_DIR "/tools/birdtool";
// Jobs here never contact the server; point it at a dead loopback port anyway.
const char* const kDeadServer = "http://127.0.0.1:1/cgi/u";

std::string Row(const std::string& build, const std::string& version) {
  char line[64];
  std::snprintf(line, sizeof(line), "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
  return line;
}

class StoreCommandsTest : public ::testing::Test {
 protected:
  TempDir tempDir;

  void SetUp() override {
    root = tempDir.path();
    store = root / "updater";
    device = store / "00001A2B";
    fs::create_directories(device);
    WriteText(root / "fw.bin", std::string(200, '\x5A') + "payload");
    WriteText(root / "loader.bin", std::string(64, '\x11'));
  }

  ProcessResult Run(const std::vector<std::string>& args) {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"-i", root.string(), "-u", kDeadServer});
    return RunProcess(kUpdater, all);
  }

  // A firmware file written by birdtool; generic files carry serial offsets.
  void Pack(const fs::path& out, const std::string& build, const std::string& version, bool generic) {
    std::vector<std::string> args = {"pack",  "-o",      out.string(), "--build",  build, "--version",
                                     version, "--model", "HubLink 8",  "--serial", "1A2B"};
    if (generic) {
      args.insert(args.end(), {"--serial-offsets", "0x1010:0x1020", "--loader-start", "0x20000400",
                               "--loader", "0x20000000:" + (root / "loader.bin").string() + ":1"});
    }
    args.insert(args.end(), {"--firmware", "0x1000:" + (root / "fw.bin").string()});
    const ProcessResult r = RunProcess(kBirdtool, args);
    ASSERT_EQ(0, r.exitCode) << r.err;
  }

  // The lines after the version line that every run prints first.
  static std::vector<std::string> Body(const std::string& out) {
    std::vector<std::string> lines = SplitLines(out);
    if (!lines.empty()) lines.erase(lines.begin());
    return lines;
  }

  fs::path root;
  fs::path store;
  fs::path device;
};

TEST_F(StoreCommandsTest, LocalBuildListSortsByVersionAndSurvivesBadFiles) {
  Pack(device / "1234.bird", "1234", "2.9.0", false);
  Pack(device / "1240.bird", "1240", "2.10.0", true);
  Pack(device / "1100.bird", "1100", "2.10.1", false);
  // Header check passes, contents cut: listed without a version.
  const std::string whole = ReadText(device / "1234.bird");
  WriteText(device / "1300.bird", whole.substr(0, whole.size() / 2));
  // Not a BIRD file at all.
  WriteText(device / "1400.bird", "not a firmware file");
  WriteText(device / ".settings", "CREATED_TIME=Mon Jan  1 00:00:00 2001\nLATEST_DOWNLOAD=1240.bird\n");
  const auto before = SnapshotTree(root);

  const ProcessResult r = Run({"-L", "-d", "1A2B"});
  ASSERT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_EQ("", r.err);
  const std::vector<std::string> expected = {"Build List for device [00001A2B]:",
                                             "",
                                             Row("Build", "Version"),
                                             Row("1100", "2.10.1"),
                                             Row("1240", "2.10.0"),
                                             Row("1234", "2.9.0"),
                                             Row("1300", ""),
                                             Row("1400", "")};
  EXPECT_EQ(expected, Body(r.out));
  EXPECT_EQ(before, SnapshotTree(root));
}

TEST_F(StoreCommandsTest, LocalBuildListOfUnknownDevice) {
  const auto before = SnapshotTree(root);
  const ProcessResult r = Run({"-L", "-d", "99"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ((std::vector<std::string>{"No builds found for device [00000099]"}), Body(r.out));
  EXPECT_EQ(before, SnapshotTree(root));

  // A known device without builds lists nothing either, and gains no files.
  const ProcessResult empty = Run({"-L", "-d", "1A2B"});
  EXPECT_EQ(0, empty.exitCode);
  EXPECT_EQ((std::vector<std::string>{"No builds found for device [00001A2B]"}), Body(empty.out));
  EXPECT_EQ(before, SnapshotTree(root));
}

TEST_F(StoreCommandsTest, CheckDescribesAValidFile) {
  const fs::path generic = root / "generic.bird";
  Pack(generic, "1240", "2.10.0", true);
  const std::string bytes = ReadText(generic);

  const ProcessResult r = Run({"-C", "-f", generic.string()});
  ASSERT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_EQ("", r.err);
  const std::vector<std::string> body = Body(r.out);
  const std::vector<std::string> head = {"BIRD file: " + generic.string(),
                                         "Format version: 0101",
                                         "Build: 1240",
                                         "Version: 2.10.0",
                                         "Serial number: generic",
                                         "Model: HubLink 8",
                                         "Blocks: 5",
                                         "    Type            Flags  Length      Address",
                                         "    DESCRIPTOR      0      64          -",
                                         "    SERIAL_OFFSETS  0      8           -",
                                         "    LOADER_START    0      4           -",
                                         "    LOADER          1      68          20000000",
                                         "    FIRMWARE        0      211         00001000",
                                         "Serial-number offsets: 00001010 (number), 00001020 (text)"};
  ASSERT_GE(body.size(), head.size() + 2);
  EXPECT_EQ(head, std::vector<std::string>(body.begin(), body.begin() + head.size()));
  EXPECT_EQ(0u, body[head.size()].find("File checksum: "));
  EXPECT_EQ("File is valid", body.back());
  EXPECT_EQ(bytes, ReadText(generic));

  const fs::path specific = root / "specific.bird";
  Pack(specific, "1234", "2.9.0", false);
  const ProcessResult s = Run({"-C", "-f", specific.string()});
  EXPECT_EQ(0, s.exitCode);
  EXPECT_NE(std::string::npos, s.out.find("\nSerial number: 00001A2B\n"));
}

TEST_F(StoreCommandsTest, CheckRefusesBrokenFiles) {
  const fs::path good = root / "good.bird";
  Pack(good, "1240", "2.10.0", false);
  const std::string bytes = ReadText(good);

  struct Case {
    const char* name;
    std::string content;
    const char* reason;
  };
  const Case cases[] = {
      {"cut.bird", bytes.substr(0, bytes.size() - 20), "File is not valid: cannot decompress the contents"},
      {"header.bird", bytes.substr(0, 6), "File is not valid: file too short (6 bytes)"},
      {"text.bird", "plain text, long enough to pass for contents", "File is not valid: not a BIRD file"},
      {"zero.bird", bytes.substr(0, 4) + std::string("\x01\x00", 2) + bytes.substr(6),
       "File is not valid: format version 0100 has a zero byte"},
      {"empty.bird", "", "File is not valid: file too short (0 bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = root / c.name;
    WriteText(path, c.content);
    const ProcessResult r = Run({"-C", "-f", path.string()});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(0u, r.err.find(c.reason)) << r.err;
    EXPECT_EQ(1u, SplitLines(r.err).size()) << r.err;
    EXPECT_EQ(c.content, ReadText(path));
  }

  const ProcessResult missing = Run({"-C", "-f", (root / "missing.bird").string()});
  EXPECT_EQ(1, missing.exitCode);
  EXPECT_EQ("File is not valid: file not found\n", missing.err);

  // Without -f the command only prints the version line.
  const ProcessResult bare = Run({"-C"});
  EXPECT_EQ(0, bare.exitCode);
  EXPECT_EQ(1u, SplitLines(bare.out).size()) << bare.out;
}

TEST_F(StoreCommandsTest, FifosWhereFilesBelongAreRefusedWithoutHanging) {
  // A blocking open of any of these would wait for a writer for ever.
  Pack(device / "1200.bird", "1200", "2.1.0", false);
  for (const fs::path& fifo : {root / "pipe.bird", device / "1300.bird", device / ".settings"}) {
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << fifo;
  }
  ProcessResult r = Run({"-C", "-f", (root / "pipe.bird").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(std::string::npos, r.err.find("File is not valid: cannot open the file")) << r.out << r.err;

  r = Run({"-L", "-d", "00001A2B"});
  EXPECT_FALSE(r.timedOut);
  EXPECT_NE(std::string::npos, r.out.find(Row("1200", "2.1.0"))) << r.out << r.err;
  r = Run({"-I", "-d", "00001A2B"});
  EXPECT_FALSE(r.timedOut);
  EXPECT_TRUE(fs::is_fifo(device / ".settings")) << "the FIFO is not replaced";
}

TEST_F(StoreCommandsTest, InfoShowsSettingsAndBuilds) {
  Pack(device / "1234.bird", "1234", "2.9.0", false);
  Pack(device / "1240.bird", "1240", "2.10.0", false);
  // A value with a terminal escape is shown inert.
  WriteText(device / ".settings",
            "UPDATED_TIME=Tue Feb  2 10:11:12 2021\nCREATED_TIME=Mon Jan  1 00:00:00 2001\n"
            "LATEST_DOWNLOAD=1240.bird\nNOTE=\x1b[2Jcleared\n");
  const auto before = SnapshotTree(root);

  const ProcessResult r = Run({"-I", "-d", "1A2B"});
  ASSERT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_EQ("", r.err);
  const std::vector<std::string> expected = {"Stored information for device [00001A2B]:",
                                             "Settings:",
                                             "    CREATED_TIME = Mon Jan  1 00:00:00 2001",
                                             "    LATEST_DOWNLOAD = 1240.bird",
                                             "    NOTE = ?[2Jcleared",
                                             "    UPDATED_TIME = Tue Feb  2 10:11:12 2021",
                                             "Local builds:",
                                             "    " + Row("Build", "Version"),
                                             "    " + Row("1240", "2.10.0"),
                                             "    " + Row("1234", "2.9.0")};
  EXPECT_EQ(expected, Body(r.out));
  EXPECT_EQ(before, SnapshotTree(root));
}

TEST_F(StoreCommandsTest, InfoOnUnknownOrBareDevices) {
  const auto before = SnapshotTree(root);
  const ProcessResult unknown = Run({"-I", "-d", "99"});
  EXPECT_EQ(1, unknown.exitCode);
  EXPECT_EQ("No stored information for device [00000099]\n", unknown.err);
  EXPECT_EQ(before, SnapshotTree(root));

  // A plain file named like a device holds no information.
  WriteText(store / "0000BEEF", "stray");
  const ProcessResult file = Run({"-I", "-d", "BEEF"});
  EXPECT_EQ(1, file.exitCode);
  EXPECT_EQ("No stored information for device [0000BEEF]\n", file.err);

  // A device directory without settings or builds: shown, nothing created.
  const auto bare = SnapshotTree(root);
  const ProcessResult r = Run({"-I", "-d", "1A2B"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ((std::vector<std::string>{"Stored information for device [00001A2B]:", "Settings:", "    none",
                                      "Local builds:", "    none"}),
            Body(r.out));
  EXPECT_EQ(bare, SnapshotTree(root));

  const ProcessResult noSerial = Run({"-I"});
  EXPECT_EQ(0, noSerial.exitCode);
  EXPECT_EQ(1u, SplitLines(noSerial.out).size()) << noSerial.out;
}

}  // namespace
