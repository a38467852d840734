// The real Updater recovering a bare LPC17xx through its simulated boot ROM
// (corvalith-lpc-rom): the fingerprint, the image found on
// corvalith-update-server by that fingerprint, and the flash the ROM dumps
// afterwards compared with the plain firmware. Images are keyed to the chip
// here, by the test's own encoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/LpcRomProcess.h"
#include "support/RunProcess.h"
#include "support/TempFiles.h"
#include "support/TestBird.h"
#include "support/UpdateServerProcess.h"

namespace {

const std::string kUpdater = CV_BINARY_DIR "/Updater";
const char* const kDeadServer = "http://127.0.0.1:1/cgi/u";
const uint32_t kUid[4] = {0x01020304, 0xA0B0C0D0, 0x11223344, 0xDEADBEEF};
const char* const kUidText = "01020304 A0B0C0D0 11223344 DEADBEEF";
constexpr uint32_t kSerial = 0x00ABCDEF;
const char* const kSerialText = "00ABCDEF";
constexpr unsigned kBuild = 77;
constexpr uint32_t kFlashSize = 0x80000;
constexpr uint32_t kRamBuffer = 0x10001000;
const char* const kImxTrace = "Transfer Loader via Serial Interface";

bool sContains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool sHasCommand(const std::vector<std::string>& commands, const std::string& command) {
  for (const std::string& c : commands) {
    if (c == command) return true;
  }
  return false;
}

// Each stored byte is the plain byte XOR the key byte XOR the plain byte
// before it; the key is the fingerprint's words, most significant byte first.
std::vector<uint8_t> sKeyed(const std::vector<uint8_t>& plain) {
  std::vector<uint8_t> out(plain.size());
  uint8_t previous = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    const uint8_t key = static_cast<uint8_t>(kUid[(i % 16) / 4] >> (24 - 8 * (i % 4)));
    out[i] = static_cast<uint8_t>(plain[i] ^ key ^ previous);
    previous = plain[i];
  }
  return out;
}

class RecoverLpcE2E : public ::testing::Test {
 protected:
  TempDir temp;

  void SetUp() override {
    served = temp / "served";
    MakeDirectory(served);
    MakeDirectory(served + "/" + kSerialText);
    // The Updater makes its store directory on every run; that is no change.
    MakeDirectory(temp / "home");
    MakeDirectory(temp / "home/updater");
    // 10000 bytes take chunks of 4096, 4096 and 1808; the second block lies
    // in the 4096 bytes the last chunk's copy covers; the third is in a 32 KB
    // sector.
    plain = {{0x0, TestPayload(10000, 1)}, {0x2800, TestPayload(300, 2)}, {0x10000, TestPayload(5000, 3)}};
  }

  // The chip-keyed device image with its 4-byte end block.
  std::string WriteImage(const std::string& path, bool generic = false) const {
    TestBird bird;
    bird.build = kBuild;
    bird.serial = kSerial;
    bird.model = "HubLink 4";
    for (const TestBird::Block& b : plain) bird.firmware.push_back({b.address, sKeyed(b.payload)});
    bird.firmware.push_back({0, {0xFF, 0xFF, 0xFF, 0xFF}});
    bird.generic = generic;
    if (generic) bird.serialWordAddress = 0x100;
    bird.write(path);
    return path;
  }

  void Publish(bool listFingerprint) {
    WriteImage(served + "/" + kSerialText + "/" + std::to_string(kBuild) + ".bird");
    WriteText(served + "/fingerprints", "# chip words, serial, build\n" +
                                            std::string(listFingerprint ? kUidText : "1 2 3 4") + " " +
                                            kSerialText + " " + std::to_string(kBuild) + "\n");
    server = std::make_unique<UpdateServerProcess>(served, temp / "requests.log");
    ASSERT_TRUE(server->running()) << server->startOutput();
  }

  void StartRom(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--uid", kUidText});
    ASSERT_TRUE(rom.start(args, temp / "rom.json"));
  }

  LpcRomState StopRom() {
    LpcRomState state;
    EXPECT_EQ(rom.stop(), 0);
    EXPECT_TRUE(rom.readState(&state));
    return state;
  }

  std::map<std::string, std::string> Store() const { return SnapshotTree(temp / "home"); }

  ProcessResult Updater(std::vector<std::string> args) const {
    args.insert(args.end(), {"-i", temp / "home", "-u", server ? server->url() : kDeadServer});
    ProcessOptions options;
    options.unsetEnv = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"};
    options.timeoutMs = 30000;
    return RunProcess(kUpdater, args, options);
  }

  std::string served;
  std::vector<TestBird::Block> plain;
  LpcRomProcess rom;
  std::unique_ptr<UpdateServerProcess> server;
};

TEST_F(RecoverLpcE2E, FingerprintComesFromTheLpcWithoutTouchingTheImxPath) {
  Publish(true);
  StartRom();
  const auto before = Store();
  const ProcessResult r = Updater({"-N", "-s", rom.pty(), "-X", "0x10001"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(sContains(r.out, "\n[ 01020304 A0B0C0D0 11223344 DEADBEEF ]\n")) << r.out;
  EXPECT_TRUE(sContains(r.err, "\n\tGet Info from Device:\n")) << r.err;
  EXPECT_FALSE(sContains(r.err, kImxTrace)) << r.err;
  EXPECT_FALSE(sContains(r.err, "FindDevice")) << "the store was searched:\n" << r.err;
  EXPECT_TRUE(server->requests().empty());
  EXPECT_EQ(Store(), before);
  EXPECT_EQ(StopRom().commands, std::vector<std::string>{"N"});
}

TEST_F(RecoverLpcE2E, RecoveryByFingerprintRestoresTheFlashAndRestartsTheChip) {
  Publish(true);
  StartRom();
  const ProcessResult r = Updater({"-U", "-t", "RECOVER", "-s", rom.pty(), "-X", "0x1"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(sContains(r.out, "Transferring firmware block 1 of 3, 10004 bytes\n")) << r.out;
  EXPECT_TRUE(sContains(r.out, "Transferring firmware block 3 of 3, 5004 bytes\n")) << r.out;
  EXPECT_TRUE(sContains(r.out, "Transferred 3 blocks, 15312 total bytes\nRebooting Device\nUpdate time: "))
      << r.out;
  EXPECT_FALSE(sContains(r.err, kImxTrace)) << r.err;
  EXPECT_TRUE(sContains(r.err, "\t Copy 4096 bytes from 10001000 to 00002000\n")) << r.err;
  const std::vector<std::string> requests = server->requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front(), "GET /cgi/u?brief=true&fp=01020304%20A0B0C0D0%2011223344%20DEADBEEF&op=fix&");

  const LpcRomState state = StopRom();
  std::vector<uint8_t> expected = FlashImage(plain);
  expected.resize(kFlashSize, 0xFF);
  ASSERT_EQ(state.flash.size(), expected.size());
  for (uint32_t a = 0; a < kFlashSize; ++a) {
    ASSERT_EQ(state.flash[a], expected[a]) << "first difference at flash address " << a;
  }
  // The 10000-byte block: two whole chunks, then 1808 bytes and erased
  // bytes up to the 4096 the copy takes from RAM.
  const std::string ram = std::to_string(kRamBuffer);
  const std::vector<std::string> firstBlock = {"W " + ram + " 4096",
                                               "P 0 0",
                                               "C 0 " + ram + " 4096",
                                               "W " + ram + " 4096",
                                               "P 1 1",
                                               "C 4096 " + ram + " 4096",
                                               "W " + ram + " 1808",
                                               "W " + std::to_string(kRamBuffer + 1808) + " 2288",
                                               "P 2 2",
                                               "C 8192 " + ram + " 4096"};
  const std::vector<std::string> opening = {"N", "U 23130", "P 0 29", "E 0 29", "A 0"};
  ASSERT_GT(state.commands.size(), opening.size() + firstBlock.size() + 2);
  EXPECT_EQ(std::vector<std::string>(state.commands.begin(), state.commands.begin() + 5), opening);
  EXPECT_EQ(std::vector<std::string>(state.commands.begin() + 5, state.commands.begin() + 15), firstBlock);
  EXPECT_TRUE(sHasCommand(state.commands, "R 8192 1808")) << "the flash was not read back";
  EXPECT_EQ(std::vector<std::string>(state.commands.end() - 2, state.commands.end()),
            (std::vector<std::string>{"A 1", "G 0 T"}));
}

TEST_F(RecoverLpcE2E, RefusedRecoveriesSayWhyAndLeaveTheStoreAlone) {
  const struct {
    const char* name;
    std::vector<std::string> romArgs;
    bool listed;   // the server knows the fingerprint
    int fileKind;  // 0: fetched, 1: the device image with -f, 2: a generic image with -f
    std::vector<std::string> args;
    std::string error;
    bool flashTouched;
  } cases[] = {
      {"generic file",
       {},
       true,
       2,
       {"-U", "-t", "RECOVER"},
       "Updater does not support offline recovery\n",
       false},
      {"unknown fingerprint",
       {},
       false,
       0,
       {"-U", "-t", "RECOVER"},
       "Failed to retrieve recovery information from Tessaron server\n",
       false},
      {"silent mid-transfer",
       {"--silent-after", "8"},
       true,
       1,
       {"-U", "-t", "RECOVER"},
       "Recovery failed: Write to RAM failed\n",
       true},
      {"-N with -f and no -d, no LPC",
       {"--silent"},
       true,
       1,
       {"-N"},
       "Add serial number or remove the bird filename to use a default recovery image.\n"
       "Got no response from chip\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Publish(c.listed);
    StartRom(c.romArgs);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-s", rom.pty()});
    if (c.fileKind != 0) args.insert(args.end(), {"-f", WriteImage(temp / "given.bird", c.fileKind == 2)});
    const auto before = Store();
    const ProcessResult r = Updater(args);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(r.err, c.error);
    EXPECT_EQ(Store(), before);
    const LpcRomState state = StopRom();
    EXPECT_EQ(sHasCommand(state.commands, "E 0 29"), c.flashTouched);
    EXPECT_FALSE(sHasCommand(state.commands, "G 0 T")) << "a failed recovery started the firmware";
    server.reset();
  }
}

TEST_F(RecoverLpcE2E, ReadBackDecidesWhetherTheRecoverySucceeded) {
  const struct {
    const char* name;
    std::vector<std::string> romArgs;
    int exitCode;
    std::string message;  // on stdout for success, stderr for failure
    bool started;
  } cases[] = {
      {"cell that does not program",
       {"--stuck-byte", "2345"},
       1,
       "Recovery failed: the flash at 0x00002345 does not hold the firmware written\n",
       false},
      {"read protection by the new image",
       {"--fail", "R=19"},
       0,
       "Firmware written but not verified: the chip refuses to read its flash at 0x00000000 (code read "
       "protection)\n",
       true},
      {"read answer that breaks off once", {"--cut-read", "1"}, 0, "Rebooting Device\n", true},
      {"read answer that breaks off every time",
       {"--cut-read", "1", "--cut-read", "2", "--cut-read", "3"},
       1,
       "Recovery failed: could not read back the flash at 0x00000000 [11, aErrNotReady]\n",
       false},
      {"echo refused at the end",
       {"--fail", "A=1@2"},
       1,
       "Recovery Error transfering data to device ==> [2, ",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartRom(c.romArgs);
    const ProcessResult r = Updater(
        {"-U", "-t", "RECOVER", "-s", rom.pty(), "-d", kSerialText, "-f", WriteImage(temp / "dev.bird")});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_TRUE(sContains(c.exitCode == 0 ? r.out : r.err, c.message)) << r.out << r.err;
    EXPECT_EQ(sHasCommand(StopRom().commands, "G 0 T"), c.started);
  }
}

}  // namespace
