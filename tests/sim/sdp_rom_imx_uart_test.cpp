// corvalith-sdp-rom checked by an independent SDP host, Debian's imx_uart, as
// a black box: it associates, loads an image with an IVT header, reads it
// back to verify and jumps to it. The ROM's state dump must hold the image
// and the entry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "support/RunProcess.h"
#include "support/SdpRomProcess.h"
#include "support/TempFiles.h"

namespace {

const char kHost[] = "/usr/bin/imx_uart";
const char kConfig[] = "/usr/share/imx-usb-loader/imx-loader.d/mx6ull_usb_work.conf";
constexpr int kHostTimeoutMs = 60000;
constexpr uint32_t kImageAddress = 0x87800000;
constexpr uint32_t kDcdAddress = 0x00910000;  // where the configuration has DCD tables go
constexpr size_t kIvtSize = 32;
constexpr size_t kBootDataOffset = 0x20;
constexpr size_t kDcdOffset = 0x100;
constexpr size_t kIvtDcdField = 12;

void sPut32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void sPutBig32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// An image that starts with an image vector table: header tag 0xD1, length
// 32, version 0x40; entry, reserved, DCD, boot data, self, CSF, reserved.
// The boot data names the image's start (0x400 before the IVT, as on boot
// media) and length.
std::vector<uint8_t> sIvtImage(size_t size, bool withDcd) {
  std::mt19937 random(11);
  std::vector<uint8_t> image(size);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  std::fill(image.begin(), image.begin() + kBootDataOffset + 12, 0);
  image[0] = 0xD1;
  image[1] = 0x00;
  image[2] = kIvtSize;
  image[3] = 0x40;
  sPut32(image, 4, kImageAddress + 0x1000);
  if (withDcd) sPut32(image, kIvtDcdField, kImageAddress + kDcdOffset);
  sPut32(image, 16, kImageAddress + kBootDataOffset);
  sPut32(image, 20, kImageAddress);
  sPut32(image, kBootDataOffset, kImageAddress - 0x400);
  sPut32(image, kBootDataOffset + 4, static_cast<uint32_t>(size + 0x400));
  if (withDcd) {
    // DCD: header (tag 0xD2, length, version), one write-data command of two
    // 32-bit address/value pairs.
    const uint8_t dcd[] = {0xD2, 0x00, 0x18, 0x40, 0xCC, 0x00, 0x14, 0x04};
    std::copy(std::begin(dcd), std::end(dcd), image.begin() + kDcdOffset);
    sPutBig32(image, kDcdOffset + 8, 0x020E04B4);
    sPutBig32(image, kDcdOffset + 12, 0x000C3000);
    sPutBig32(image, kDcdOffset + 16, 0x020E04B8);
    sPutBig32(image, kDcdOffset + 20, 0x00000011);
  }
  return image;
}

}  // namespace

TEST(SdpRomIndependentHost, ImxUartLoadsVerifiesAndJumps) {
  if (access(kHost, X_OK) != 0) GTEST_SKIP() << kHost << " is not installed (Debian package imx-usb-loader)";
  struct Case {
    const char* what;
    bool withDcd;
    std::vector<std::string> commands;
  };
  const Case cases[] = {
      {"plain image", false, {"ERROR_STATUS", "WRITE_FILE", "READ_REGISTER", "JUMP_ADDRESS"}},
      {"image with DCD", true, {"ERROR_STATUS", "WRITE_DCD", "WRITE_FILE", "READ_REGISTER", "JUMP_ADDRESS"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::vector<uint8_t> image = sIvtImage(0x3000, c.withDcd);
    WriteBytes(dir / "image.imx", image);
    SdpRomProcess rom;
    ASSERT_TRUE(rom.start(
        {"--ram", "0x80000000:0x40000000", "--ram", "0x00900000:0x20000", "--jump-status", "0xF0F0F0F0"},
        dir / "state.json"));
    ProcessOptions options;
    options.mergeStderr = true;
    options.timeoutMs = kHostTimeoutMs;
    ProcessResult run = RunProcess(kHost, {"-n", "-v", rom.pty(), kConfig, dir / "image.imx"}, options);
    ASSERT_EQ(rom.stop(), 0);
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut) << run.out;
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("Verify success"), std::string::npos) << run.out;

    SdpRomState state;
    ASSERT_TRUE(rom.readState(&state));
    std::vector<std::string> kinds;
    for (const std::string& name : state.commands) {
      if (kinds.empty() || kinds.back() != name) kinds.push_back(name);
    }
    EXPECT_EQ(kinds, c.commands);
    // The host has the ROM run the DCD itself and loads the image with its
    // DCD pointer cleared.
    std::vector<uint8_t> expected = image;
    if (c.withDcd) {
      sPut32(expected, kIvtDcdField, 0);
      ASSERT_EQ(state.ram.count(kDcdAddress), 1u);
      EXPECT_TRUE(std::equal(state.ram[kDcdAddress].begin(), state.ram[kDcdAddress].end(),
                             image.begin() + kDcdOffset));
    }
    ASSERT_EQ(state.ram.count(kImageAddress), 1u);
    EXPECT_TRUE(state.ram[kImageAddress] == expected) << "RAM differs from the image";
    EXPECT_TRUE(state.jumped);
    EXPECT_EQ(state.jumpAddress, kImageAddress);
  }
}
