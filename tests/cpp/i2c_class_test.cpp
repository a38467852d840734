// I2CClass against a scripted module: the request bytes on the wire and how
// the reply's status byte (byte 4) is read.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "cpp/I2CClass.h"
#include "cpp/Module.h"
#include "cpp_test_support.h"

using namespace Tessaron::Corvalith;

namespace {

constexpr uint32_t kSerial = 0x12C00001;
constexpr uint8_t kBus = 2;
constexpr uint8_t kTarget = 0x50;

class I2CPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.start());
    ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(TcpSpec(kSerial, peer.port())), aErrNone);
    bus.init(&module, kBus);
  }
  void TearDown() override {
    (void)module.disconnect();
    peer.stop();
  }
  // Every I2C request is answered with the header echoed, then the count
  // (the given one for reads, 0 for writes, as a write reply is matched on
  // it), the status and the data bytes.
  void answer(uint8_t count, uint8_t status, const std::vector<uint8_t>& data) {
    peer.setHandler([=](const RawPacket& in) {
      std::vector<RawPacket> out;
      if (in.data.size() < 3 || in.data[0] != kI2CClass) return out;
      const uint8_t n = (in.data[2] & 1) ? count : 0;
      RawPacket reply{peer.address(), {in.data[0], in.data[1], in.data[2], n, status}};
      reply.data.insert(reply.data.end(), data.begin(), data.end());
      out.push_back(reply);
      return out;
    });
  }

  FakePeer peer{4};
  Module module{2, 0};
  I2CClass bus;
};

TEST_F(I2CPeerTest, ReadSendsTheReadAddressAndCopiesTheReplyData) {
  answer(3, 0x00, {0xA1, 0xB2, 0xC3});
  ASSERT_EQ(bus.setSpeed(2), aErrNone);
  uint8_t out[8] = {};
  ASSERT_EQ(bus.read(kTarget, 3, out), aErrNone);
  EXPECT_EQ(out[0], 0xA1);
  EXPECT_EQ(out[1], 0xB2);
  EXPECT_EQ(out[2], 0xC3);
  EXPECT_EQ(out[3], 0x00) << "nothing past the count is written";
  const std::vector<RawPacket> sent = peer.received();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].address, 4);
  EXPECT_EQ(Hex(sent[0].data), "08 02 51 03 02");
}

TEST_F(I2CPeerTest, ErrorFlagGivesTheCodeAndNeverTheData) {
  uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  answer(2, 0x80 | aErrBusy, {0x11, 0x22});
  EXPECT_EQ(bus.read(kTarget, 2, out), aErrBusy);
  EXPECT_EQ(bus.write(kTarget, 1, out), aErrBusy);

  // The flag with code 0 still says the transfer failed.
  answer(2, 0x80, {0x11, 0x22});
  EXPECT_EQ(bus.read(kTarget, 2, out), aErrUnknown);
  EXPECT_EQ(out[0], 0xEE) << "an error reply's bytes are not a read";
  EXPECT_EQ(out[1], 0xEE);
  EXPECT_EQ(bus.write(kTarget, 1, out), aErrUnknown);
  EXPECT_EQ(bus.setPullup(true), aErrUnknown);
}

TEST_F(I2CPeerTest, WriteAndPullupRequestsOnTheWire) {
  answer(0, 0x00, {});
  const uint8_t data[] = {0x01, 0x00, 0xFF};
  ASSERT_EQ(bus.write(kTarget, sizeof data, data), aErrNone);
  ASSERT_EQ(bus.setPullup(true), aErrNone);
  ASSERT_EQ(bus.setPullup(false), aErrNone);
  uint8_t big[24] = {};
  EXPECT_EQ(bus.write(kTarget, 24, big), aErrSize);
  EXPECT_EQ(bus.read(kTarget, 24, big), aErrSize);
  EXPECT_EQ(bus.setSpeed(4), aErrParam);
  const std::vector<RawPacket> sent = peer.received();
  ASSERT_EQ(sent.size(), 3u) << "refused transfers send nothing";
  EXPECT_EQ(Hex(sent[0].data), "08 02 50 03 00 01 00 FF");
  EXPECT_EQ(Hex(sent[1].data), "08 02 01 01");
  EXPECT_EQ(Hex(sent[2].data), "08 02 01 00");
}

}  // namespace
