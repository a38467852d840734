// NXPSerialClass against corvalith-lpc-rom on a pseudo-terminal, and the ROM
// checked by an independent ISP programmer, lpc21isp, as a black box. The
// flash is compared through the ROM's state dump.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "loaders/NXPSerialClass.h"
#include "support/LpcRomProcess.h"
#include "support/RunProcess.h"
#include "support/TempFiles.h"

namespace {

constexpr uint32_t kRate = 115200;
constexpr int kIspToolTimeoutMs = 120000;
const char kIspTool[] = "/usr/bin/lpc21isp";

std::vector<uint8_t> sImage(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> image(size);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  return image;
}

class RomTest : public ::testing::Test {
 protected:
  void startRom(const std::vector<std::string>& args) {
    ASSERT_TRUE(rom_.start(args, dir_ / "state.json"));
    ASSERT_EQ(client_.Connect(rom_.pty().c_str(), kRate), aErrNone);
    ASSERT_EQ(client_.Sync(), aErrNone);
  }
  LpcRomState stopRom() {
    EXPECT_EQ(client_.Disconnect(), aErrNone);
    rom_.stop();
    LpcRomState state;
    EXPECT_TRUE(rom_.readState(&state));
    return state;
  }

  TempDir dir_;
  LpcRomProcess rom_;
  NXPSerialClass client_;
};

}  // namespace

TEST_F(RomTest, ProgramsABlockInChunksAndReadsItBack) {
  startRom({"--uid", "11223344 55667788 99AABBCC DDEEFF00"});
  ASSERT_EQ(client_.GetDeviceID(), aErrNone);
  EXPECT_EQ(std::vector<uint32_t>(client_.DeviceId(), client_.DeviceId() + 4),
            (std::vector<uint32_t>{0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00}));
  uint64_t part = 0;
  ASSERT_EQ(client_.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, 0x26013F37u);
  ASSERT_EQ(client_.Unlock(), aErrNone);

  // With echo on, a RAM round trip of more than one checksum block.
  const std::vector<uint8_t> small = sImage(1000, 7);
  ASSERT_EQ(client_.Write(NXPSerialClass::WRITE_ADDRESS, 1000, small.data()), aErrNone);
  std::vector<uint8_t> back(1000);
  ASSERT_EQ(client_.Read(NXPSerialClass::WRITE_ADDRESS, 1000, back.data()), aErrNone);
  EXPECT_EQ(back, small);

  ASSERT_EQ(client_.SetEcho(false), aErrNone);
  const std::vector<uint8_t> image = sImage(10000, 1);
  ASSERT_EQ(client_.Prepare(0, 2), aErrNone);
  ASSERT_EQ(client_.Erase(0, 2), aErrNone);
  ASSERT_EQ(client_.ProgramFlash(0, image.data(), 10000), aErrNone);
  std::vector<uint8_t> flash(12288);
  ASSERT_EQ(client_.Read(0, 12288, flash.data()), aErrNone);

  LpcRomState state = stopRom();
  ASSERT_EQ(state.flash.size(), 0x80000u);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), state.flash.begin())) << "flash differs from the block";
  // The last chunk was 1808 bytes copied as 4096: the rest must stay erased,
  // not carry the previous chunk's bytes from the staging RAM.
  EXPECT_TRUE(
      std::all_of(state.flash.begin() + 10000, state.flash.end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), state.flash.begin()))
      << "read-back differs from the flash";
  EXPECT_EQ(std::count(state.commands.begin(), state.commands.end(), "C 8192 268439552 4096"), 1);
}

TEST_F(RomTest, RomFaultsReachTheCaller) {
  startRom({"--resend-checksum", "1", "--resend-checksum", "2", "--resend-checksum", "4", "--resend-checksum",
            "5", "--resend-checksum", "6", "--fail", "C=9@1", "--bad-read-checksum", "1", "--fail",
            "R=19@2"});
  const std::vector<uint8_t> data = sImage(256, 3);
  EXPECT_EQ(client_.Write(NXPSerialClass::WRITE_ADDRESS, 256, data.data()), aErrNone)
      << "two resends recover";
  std::vector<uint8_t> back(256);
  EXPECT_EQ(client_.Read(NXPSerialClass::WRITE_ADDRESS, 256, back.data()), aErrNone)
      << "a bad checksum is re-read";
  EXPECT_EQ(back, data);
  EXPECT_EQ(client_.LastReturnCode(), 0);
  // Read protection must be told apart from a broken line.
  EXPECT_EQ(client_.Read(0, 256, back.data()), aErrParam);
  EXPECT_EQ(client_.LastReturnCode(), 19);
  ASSERT_EQ(client_.Unlock(), aErrNone);
  ASSERT_EQ(client_.Prepare(0, 0), aErrNone);
  EXPECT_EQ(client_.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam) << "injected code 9";
  EXPECT_EQ(client_.LastReturnCode(), 9);
  EXPECT_EQ(client_.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
  EXPECT_EQ(client_.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam) << "P must precede each C";
  // The chip stays in the transfer after this, so it comes last.
  EXPECT_EQ(client_.Write(NXPSerialClass::WRITE_ADDRESS, 256, data.data()), aErrTimeout)
      << "the third does not";
  LpcRomState state = stopRom();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), state.flash.begin()));
}

TEST(IspToolCheck, Lpc21ispProgramsAndVerifiesThroughTheRom) {
  if (access(kIspTool, X_OK) != 0) GTEST_SKIP() << "lpc21isp is not installed (scripts/setup.sh installs it)";
  TempDir dir;
  // Five sectors; word 7 holds the vector checksum the tool would write,
  // so the flash must equal the file.
  std::vector<uint8_t> image = sImage(5 * 4096 + 1000, 5);
  uint32_t words[7];
  std::memcpy(words, image.data(), sizeof words);
  uint32_t check = 0;
  for (uint32_t w : words) check -= w;
  std::memcpy(image.data() + 28, &check, 4);
  const std::string file = dir / "image.bin";
  WriteBytes(file, image);

  LpcRomProcess rom;
  ASSERT_TRUE(rom.start({}, dir / "state.json"));
  ProcessOptions options;
  options.timeoutMs = kIspToolTimeoutMs;
  options.mergeStderr = true;
  ProcessResult run = RunProcess(kIspTool, {"-bin", "-verify", file, rom.pty(), "115200", "14746"}, options);
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("Verified correct"), std::string::npos) << run.out;
  rom.stop();
  LpcRomState state;
  ASSERT_TRUE(rom.readState(&state));
  ASSERT_EQ(state.flash.size(), 0x80000u);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), state.flash.begin())) << "flash differs from the image";
}
