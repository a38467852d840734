// The real Updater against the simulated i.MX boot ROM on a serial line
// (corvalith-sdp-rom): the recovery loader reaches RAM block by block and is
// started, after which the Updater looks for it on USB.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/RunProcess.h"
#include "support/SdpRomProcess.h"
#include "support/TempFiles.h"
#include "support/TestBird.h"
#include "support/UpdateServerProcess.h"

namespace {

const std::string kUpdater = CV_BINARY_DIR "/Updater";
const char* const kDeadServer = "http://127.0.0.1:1/cgi/u";
constexpr uint32_t kDefaultEntry = 0x20000400;

size_t sCount(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(RecoverImxE2E, LoaderBlocksGoToRamAndStartAtTheDefaultEntry) {
  TempDir temp;
  MakeDirectory(temp / "home");
  TestBird bird;
  bird.serial = 0x1A2B;
  bird.model = "HubLink 8";
  // 2500 bytes take three data reports; the second block has its own address.
  bird.loader = {{0x20000000, TestPayload(2500, 7)}, {0x20002000, TestPayload(300, 8)}};
  bird.firmware = {{0x60000000, TestPayload(64, 9)}};
  bird.write(temp / "recovery.bird");

  SdpRomProcess rom;
  ASSERT_TRUE(rom.start({}, temp / "sdp.json"));
  ProcessOptions options;
  // Loader start, then 15 connection attempts 1 s apart on a bus with no loader.
  options.timeoutMs = 40000;
  const ProcessResult r = RunProcess(kUpdater,
                                     {"-N", "-s", rom.pty(), "-d", "1A2B", "-f", temp / "recovery.bird", "-i",
                                      temp / "home", "-u", kDeadServer, "-X", "0x10001"},
                                     options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.find("Transfer Loader via Serial Interface (iMX):\n") != std::string::npos) << r.err;
  EXPECT_EQ(sCount(r.err, "Failed enumeration after 3 tries, refreshing libusb context.\n"), 5u);
  EXPECT_TRUE(r.err.find("Could not connect to device.\nGot no response from chip\n") != std::string::npos)
      << r.err;

  ASSERT_EQ(rom.stop(), 0);
  SdpRomState state;
  ASSERT_TRUE(rom.readState(&state));
  ASSERT_EQ(state.ram.count(0x20000000), 1u);
  EXPECT_TRUE(state.ram[0x20000000] == bird.loader[0].payload) << "RAM differs from the first block";
  ASSERT_EQ(state.ram.count(0x20002000), 1u);
  EXPECT_TRUE(state.ram[0x20002000] == bird.loader[1].payload) << "RAM differs from the second block";
  EXPECT_TRUE(state.jumped);
  EXPECT_EQ(state.jumpAddress, kDefaultEntry);
}

}  // namespace

namespace {

const std::string kSdpRom = CV_BINARY_DIR "/sim/corvalith-sdp-rom";
constexpr int kBedUnavailable = 125;

// The Updater inside one of the ROM's USB beds (FORM --usb: the ROM on a
// pseudo-terminal; --hid: the ROM as an emulated HID device) next to the
// recovery loader the ROM starts on the emulated bus.
// The image comes from SOURCE (Updater options), by default the file
// recovery.bird with no server.
ProcessResult sInBed(const TempDir& temp, const std::string& updaterArgs, const std::string& form = "--usb",
                     std::string source = "") {
  if (source.empty()) source = "-f " + (temp / "recovery.bird") + " -u " + kDeadServer;
  const std::string port = form == "--hid" ? "USB" : "\"$CORVALITH_SDP_PTY\"";
  ProcessOptions options;
  options.timeoutMs = 60000;
  return RunProcess(
      kSdpRom,
      {form, "--loader-serial", "40F5849A", "--fingerprint", "11111111,22222222,33333333,44444444",
       "--loader-flash", temp / "loader-flash.bin", "--state", temp / "sdp.json", "--", "sh", "-c",
       "exec " + kUpdater + " -s " + port + " -d 40F5849A " + source + " -i " + (temp / "home") + " " +
           updaterArgs},
      options);
}

TEST(RecoverImxE2E, RecoveryWritesTheLoaderModulesFlash) {
  struct Case {
    const char* form;
    uint32_t loaderStart;  // 0: no loader-start block
    uint32_t entry;
    bool fromServer;  // the image found by serial number, the build by fingerprint
  };
  for (const Case& c :
       {Case{"--usb", 0, kDefaultEntry, false}, Case{"--hid", 0x20000800, 0x20000800, true}}) {
    SCOPED_TRACE(c.form);
    TempDir temp;
    MakeDirectory(temp / "home");
    TestBird bird;
    bird.serial = 0x40F5849A;
    bird.build = 7;
    bird.model = "HubLink 8";
    bird.loader = {{0x20000000, TestPayload(2500, 7)}};
    bird.loaderStart = c.loaderStart;
    // Two chunks of the loader's 2048-byte blocks, then a second block.
    bird.firmware = {{0x1000, TestPayload(3000, 9)}, {0x3000, TestPayload(100, 10)}};
    bird.write(temp / "recovery.bird");

    std::string source;
    std::unique_ptr<UpdateServerProcess> server;
    if (c.fromServer) {
      MakeDirectory(temp / "served");
      MakeDirectory(temp / "served/40F5849A");
      bird.write(temp / "served/40F5849A/7.bird");
      WriteText(temp / "served/fingerprints", "11111111 22222222 33333333 44444444 40F5849A 7\n");
      server = std::make_unique<UpdateServerProcess>(temp / "served", temp / "requests.log");
      ASSERT_TRUE(server->running()) << server->startOutput();
      source = "-u " + server->url();
    }
    const ProcessResult r = sInBed(temp, "-U -t RECOVER", c.form, source);
    if (r.exitCode == kBedUnavailable) GTEST_SKIP() << "no emulated USB bed: " << r.err;
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Transferred 2 blocks, 3108 total bytes\n"), std::string::npos) << r.out << r.err;
    EXPECT_TRUE(ReadBytes(temp / "loader-flash.bin") == FlashImage(bird.firmware)) << "loader flash differs";
    SdpRomState state;
    ASSERT_TRUE(ParseSdpRomState(ReadText(temp / "sdp.json"), &state));
    EXPECT_EQ(state.jumpAddress, c.entry);
  }
}

TEST(RecoverImxE2E, LoaderOnUsbGivesTheFingerprintWords) {
  TempDir temp;
  MakeDirectory(temp / "home");
  TestBird bird;
  bird.serial = 0x40F5849A;
  bird.model = "HubLink 8";
  bird.loader = {{0x20000000, TestPayload(2500, 7)}};
  bird.firmware = {{0x1000, TestPayload(3000, 9)}};
  bird.write(temp / "recovery.bird");

  // Subindex j of the loader's identifier option is word 3 - j.
  ProcessResult r = sInBed(temp, "-N");
  if (r.exitCode == kBedUnavailable) GTEST_SKIP() << "no emulated USB bed: " << r.err;
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\n[ 11111111 22222222 33333333 44444444 ]\n"), std::string::npos) << r.out << r.err;
}

}  // namespace
