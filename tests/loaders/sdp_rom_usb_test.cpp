// The i.MX loader engine against corvalith-sdp-rom's USB forms: each case
// runs in a copy of this program started inside the ROM's umockdev bed
// (hidapi and libusb need the preload in their own process). What reached
// the ROM is read back from its state dump; after the jump the recovery
// loader must enumerate as a module and answer the fingerprint.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cpp/Module.h"
#include "cpp/SystemClass.h"
#include "loaders/HID_SDPLoader.h"
#include "loaders/SDPLoader.h"
#include "loaders/Serial_SDPLoader.h"
#include "support/RunProcess.h"
#include "support/SdpRomProcess.h"
#include "support/TempFiles.h"
#include "unix/cvusb.h"

namespace {

constexpr const char* kInside = "CV_SDP_ROM_INSIDE";
constexpr const char* kPtyVariable = "CORVALITH_SDP_PTY";
constexpr uint32_t kLoadAddress = 0x20000400;
constexpr uint32_t kUidLow = 0x11223344;
constexpr uint32_t kUidHigh = 0x55667788;
constexpr uint32_t kLoaderSerial = 0x40F5849A;
// The chip's words 0 to 3, as given to the ROM.
const uint32_t kWords[4] = {0xA0A1A2A3, 0xB0B1B2B3, 0xC0C1C2C3, 0xD0D1D2D3};
constexpr int kRunTimeoutMs = 60000;
constexpr int kEnumerateTimeoutMs = 10000;

std::vector<uint8_t> sImage(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> image(size);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  return image;
}

std::string sSelf() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  return path;
}

// Empty when the ROM's bed can run here, else why not.
std::string sBedMissing() {
  static const std::string why = [] {
    if (::access(SdpRomProcess::binary().c_str(), X_OK) != 0)
      return std::string("corvalith-sdp-rom not built");
    ProcessOptions o;
    o.timeoutMs = 20000;
    ProcessResult r = RunProcess(SdpRomProcess::binary(), {"--hid", "--", "true"}, o);
    if (r.exitCode != 0) return "the umockdev bed cannot run here: " + r.err;
    return std::string();
  }();
  return why;
}

class SdpRomUsbTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string stateText;

  void SetUp() override {
    const std::string missing = sBedMissing();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }

  // SdpRomInsideBed.<name> under corvalith-sdp-rom FORM ARGS...; the state
  // it left.
  SdpRomState Run(const std::string& form, std::vector<std::string> args, const std::string& name) {
    args.insert(args.begin(), form);
    args.insert(args.end(),
                {"--register", "0x401F4410=0x11223344", "--register", "0x401F4420=0x55667788", "--state",
                 dir / "state.json", "--", sSelf(), "--gtest_filter=SdpRomInsideBed." + name});
    ProcessOptions o;
    o.env[kInside] = "1";
    o.timeoutMs = kRunTimeoutMs;
    ProcessResult r = RunProcess(SdpRomProcess::binary(), args, o);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
    stateText = ReadText(dir / "state.json");
    SdpRomState state;
    EXPECT_TRUE(ParseSdpRomState(stateText, &state)) << stateText;
    return state;
  }
};

// The cases below do their work only inside the bed.
class SdpRomInsideBed : public ::testing::Test {
 protected:
  SDPLoader engine;

  void SetUp() override {
    if (!std::getenv(kInside)) GTEST_SKIP() << "runs only inside corvalith-sdp-rom (SdpRomUsbTest starts it)";
    // The serial form says where its terminal is; the HID form has none.
    const char* pty = std::getenv(kPtyVariable);
    if (pty) {
      ASSERT_TRUE(engine.setLoader(std::make_unique<Serial_SDPLoader>(pty)));
    } else {
      ASSERT_TRUE(engine.setLoader(std::make_unique<HID_SDPLoader>()));
    }
    ASSERT_EQ(engine.init(), SDPLoader::kSuccess);
  }
  void TearDown() override { Corvalith_libusb_exit(); }
};

TEST_F(SdpRomInsideBed, WritesReadsTheFingerprintAndJumps) {
  ASSERT_EQ(engine.writeLoader(sImage(70001, 3), kLoadAddress), SDPLoader::kSuccess);
  uint64_t id = 0;
  ASSERT_EQ(engine.getFingerprint(id), SDPLoader::kSuccess);
  EXPECT_EQ(id, static_cast<uint64_t>(kUidHigh) << 32 | kUidLow);
  engine.startLoader(kLoadAddress);
}

TEST_F(SdpRomInsideBed, FindsNoRom) {
  EXPECT_EQ(engine.writeLoader(sImage(3000, 1), kLoadAddress), SDPLoader::kNoAnswer);
}

TEST_F(SdpRomInsideBed, StopsAtTheEarlyAnswer) {
  EXPECT_EQ(engine.writeLoader(sImage(40 * 1024, 2), kLoadAddress), SDPLoader::kDataDuringTransfer);
}

TEST_F(SdpRomInsideBed, ReachesTheLoaderAfterTheJump) {
  ASSERT_EQ(engine.writeLoader(sImage(5000, 4), kLoadAddress), SDPLoader::kSuccess);
  engine.startLoader(kLoadAddress);
  // The loader enumerates a moment after the jump.
  Tessaron::Corvalith::Module module(0, true, 0);
  aWeftConfig config{};
  ASSERT_EQ(module.getConfig(&config), aErrNone);
  config.enabled = 0;
  config.fallback = 0;
  config.localOnly = 1;
  ASSERT_EQ(module.setConfig(config), aErrNone);
  aErr err = aErrNotFound;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEnumerateTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    err = module.connect(USB, kLoaderSerial);
    if (err == aErrNone) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(err, aErrNone);
  Tessaron::Corvalith::SystemClass system;
  system.init(&module, 0);
  for (uint8_t j = 0; j < 4; ++j) {
    uint32_t word = 0;
    ASSERT_EQ(system.getUEI32(39, j, &word), aErrNone) << "subindex " << int(j);
    EXPECT_EQ(word, kWords[3 - j]) << "subindex " << int(j);
  }
  EXPECT_EQ(module.disconnect(), aErrNone);
  // On USB the loader took the ROM's place: it left before the loader came.
  if (!std::getenv(kPtyVariable)) {
    HID_SDPLoader rom;
    EXPECT_FALSE(rom.init()) << "the HID ROM is still on the bus";
  }
}

TEST_F(SdpRomUsbTest, HidTransportWritesTheImageReadsTheFusesAndJumps) {
  SdpRomState state = Run("--hid", {"--ram", "0x20000000:0x80000", "--jump-status", "0xF0F0F0F0"},
                          "WritesReadsTheFingerprintAndJumps");
  EXPECT_EQ(state.commands, (std::vector<std::string>{"ERROR_STATUS", "WRITE_FILE", "ERROR_STATUS",
                                                      "READ_REGISTER", "READ_REGISTER", "JUMP_ADDRESS"}));
  ASSERT_EQ(state.ram.size(), 1u);
  EXPECT_EQ(state.ram.begin()->first, kLoadAddress);
  EXPECT_TRUE(state.ram.begin()->second == sImage(70001, 3)) << "RAM differs from the image";
  EXPECT_TRUE(state.jumped);
  EXPECT_EQ(state.jumpAddress, kLoadAddress);
}

TEST_F(SdpRomUsbTest, SilentHidRomGetsFiveStatusRequestsAndNoFile) {
  SdpRomState state = Run("--hid", {"--silent"}, "FindsNoRom");
  EXPECT_EQ(state.commands, std::vector<std::string>(5, "ERROR_STATUS"));
  EXPECT_TRUE(state.ram.empty());
  EXPECT_NE(stateText.find("\"started\": false"), std::string::npos) << stateText;
}

TEST_F(SdpRomUsbTest, HidAnswerDuringTheTransferEndsItAfterTheFirstReport) {
  SdpRomState state = Run("--hid", {"--early-answer", "1024"}, "StopsAtTheEarlyAnswer");
  // The refusal is queued with the first report, so the next read sees it.
  EXPECT_EQ(state.dataBytes, 1024u);
}

TEST_F(SdpRomUsbTest, LoaderEnumeratesAfterTheJumpAndAnswersTheFingerprint) {
  for (const char* form : {"--usb", "--hid"}) {
    SCOPED_TRACE(form);
    SdpRomState state = Run(form,
                            {"--loader-serial", "40F5849A", "--fingerprint",
                             "A0A1A2A3,B0B1B2B3,C0C1C2C3,D0D1D2D3", "--loader-module", "heartbeat-ms=0"},
                            "ReachesTheLoaderAfterTheJump");
    EXPECT_TRUE(state.jumped);
    EXPECT_NE(stateText.find("\"loader\": {\"serial\": 1089832090, \"started\": true}"), std::string::npos)
        << stateText;
  }
}

}  // namespace
