// SDPLoader over Serial_SDPLoader against corvalith-sdp-rom on a
// pseudo-terminal: what reached the ROM's RAM is compared byte for byte
// through its state dump, and each fault gives its result code.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "loaders/SDPLoader.h"
#include "loaders/Serial_SDPLoader.h"
#include "support/SdpRomProcess.h"
#include "support/TempFiles.h"

namespace {

constexpr uint32_t kLoadAddress = 0x20000400;

std::vector<uint8_t> sImage(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> image(size);
  for (uint8_t& b : image) b = static_cast<uint8_t>(random());
  return image;
}

class SdpRomTest : public ::testing::Test {
 protected:
  void startRom(std::vector<std::string> args) {
    args.insert(args.end(), {"--ram", "0x20000000:0x80000"});
    ASSERT_TRUE(rom_.start(args, dir_ / "state.json"));
    path_ = rom_.pty();
    ASSERT_TRUE(engine_.setLoader(std::make_unique<Serial_SDPLoader>(path_.c_str())));
    ASSERT_EQ(engine_.init(), SDPLoader::kSuccess);
  }
  SdpRomState stopRom() {
    EXPECT_EQ(rom_.stop(), 0);
    SdpRomState state;
    EXPECT_TRUE(rom_.readState(&state));
    return state;
  }

  TempDir dir_;
  SdpRomProcess rom_;
  std::string path_;
  SDPLoader engine_;
};

}  // namespace

TEST_F(SdpRomTest, WritesTheLoaderReadsTheFingerprintAndJumps) {
  startRom({"--register", "0x401F4410=0x11223344", "--register", "0x401F4420=0x55667788", "--jump-status",
            "0xF0F0F0F0"});
  const std::vector<uint8_t> image = sImage(70001, 3);
  ASSERT_EQ(engine_.writeLoader(image, kLoadAddress), SDPLoader::kSuccess);
  uint64_t id = 0;
  ASSERT_EQ(engine_.getFingerprint(id), SDPLoader::kSuccess);
  EXPECT_EQ(id, 0x5566778811223344ull);
  engine_.startLoader(kLoadAddress);

  SdpRomState state = stopRom();
  EXPECT_EQ(state.commands, (std::vector<std::string>{"ERROR_STATUS", "WRITE_FILE", "ERROR_STATUS",
                                                      "READ_REGISTER", "READ_REGISTER", "JUMP_ADDRESS"}));
  EXPECT_EQ(state.dataBytes, image.size());
  ASSERT_EQ(state.ram.size(), 1u);
  EXPECT_EQ(state.ram.begin()->first, kLoadAddress);
  EXPECT_TRUE(state.ram.begin()->second == image) << "RAM differs from the image";
  EXPECT_TRUE(state.jumped);
  EXPECT_EQ(state.jumpAddress, kLoadAddress);
}

TEST_F(SdpRomTest, SilentRomGetsFiveStatusRequestsAndNoFile) {
  startRom({"--silent"});
  EXPECT_EQ(engine_.writeLoader(sImage(3000, 1), kLoadAddress), SDPLoader::kNoAnswer);
  SdpRomState state = stopRom();
  EXPECT_EQ(state.commands, std::vector<std::string>(5, "ERROR_STATUS"));
  EXPECT_TRUE(state.ram.empty());
}

TEST_F(SdpRomTest, EarlyAnswerAbortsTheTransfer) {
  startRom({"--early-answer", "1024"});
  // The line holds far less than the image, so the answer sent after the
  // first report is seen before the last one would go out.
  const std::vector<uint8_t> image = sImage(400 * 1024, 2);
  EXPECT_EQ(engine_.writeLoader(image, kLoadAddress), SDPLoader::kDataDuringTransfer);
  SdpRomState state = stopRom();
  EXPECT_LT(state.dataBytes, image.size());
  EXPECT_GE(state.dataBytes, 1024u);
}

TEST_F(SdpRomTest, WrongFinalStatusIsAnIncompleteTransfer) {
  startRom({"--final-status", "0x12345678"});
  EXPECT_EQ(engine_.writeLoader(sImage(2500, 4), kLoadAddress), SDPLoader::kTransferIncomplete);
  SdpRomState state = stopRom();
  EXPECT_EQ(state.dataBytes, 2500u);
}

TEST_F(SdpRomTest, ClosedPartTakesTheImageButRefusesTheJump) {
  startRom({"--closed"});
  const std::vector<uint8_t> image = sImage(1500, 5);
  EXPECT_EQ(engine_.writeLoader(image, kLoadAddress), SDPLoader::kSuccess);
  engine_.startLoader(kLoadAddress);
  SdpRomState state = stopRom();
  EXPECT_EQ(state.security, "closed");
  ASSERT_EQ(state.ram.count(kLoadAddress), 1u);
  EXPECT_TRUE(state.ram[kLoadAddress] == image);
  EXPECT_FALSE(state.jumped);
}
