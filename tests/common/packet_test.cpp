#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/aPacket.h"

namespace {

// Feeds bytes until one is refused; returns the result of the last byte added.
aErr sFeed(aPacket* packet, const std::vector<uint8_t>& bytes) {
  aErr err = aErrNone;
  for (uint8_t byte : bytes) {
    err = aPacket_AddByte(packet, byte);
    if (err != aErrNone) break;
  }
  return err;
}

struct PacketTest : ::testing::Test {
  void SetUp() override { ASSERT_NE(packet = aPacket_Create(), nullptr); }
  void TearDown() override {
    if (packet != nullptr) {
      EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
    }
  }
  aPacket* packet = nullptr;
};

TEST_F(PacketTest, AddByteBuildsPacketsFromTheWire) {
  EXPECT_EQ(aPacket_AddByte(packet, 0x00), aErrPacket) << "address 0 never starts a packet";

  ASSERT_EQ(aPacket_Reset(packet), aErrNone);
  ASSERT_EQ(aPacket_AddByte(packet, 0x04), aErrNone);
  EXPECT_FALSE(aPacket_IsComplete(packet)) << "address alone is not a packet";
  ASSERT_EQ(aPacket_AddByte(packet, 0x00), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(packet)) << "length 0 completes at once";
  EXPECT_EQ(packet->address, 4);
  EXPECT_EQ(packet->length, 0);

  ASSERT_EQ(aPacket_Reset(packet), aErrNone);
  EXPECT_EQ(sFeed(packet, {0x04, 0x1D}), aErrPacket) << "29 data bytes do not fit";

  ASSERT_EQ(aPacket_Reset(packet), aErrNone);
  ASSERT_EQ(sFeed(packet, {0x06, 0x03, 0x11, 0x22}), aErrNone);
  EXPECT_FALSE(aPacket_IsComplete(packet));
  ASSERT_EQ(aPacket_AddByte(packet, 0x33), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(packet));
  EXPECT_EQ(packet->address, 6);
  EXPECT_EQ(packet->length, 3);
  EXPECT_EQ(packet->data[0], 0x11);
  EXPECT_EQ(packet->data[2], 0x33);
  EXPECT_EQ(aPacket_AddByte(packet, 0x44), aErrPacket) << "byte past a complete packet";
}

TEST_F(PacketTest, CompleteEmptyPacketDoesNotTakeANewLength) {
  ASSERT_EQ(sFeed(packet, {0x04, 0x00}), aErrNone);
  EXPECT_EQ(aPacket_AddByte(packet, 0x02), aErrPacket);
}

TEST_F(PacketTest, ThirtyFirstByteOverruns) {
  std::vector<uint8_t> full = {0x02, kMaxPacketData};
  for (uint8_t i = 0; i < kMaxPacketData; ++i) full.push_back(static_cast<uint8_t>(0xA0 + i));
  ASSERT_EQ(sFeed(packet, full), aErrNone);
  ASSERT_TRUE(aPacket_IsComplete(packet));
  EXPECT_EQ(packet->data[kMaxPacketData - 1], 0xA0 + kMaxPacketData - 1);
  EXPECT_EQ(aPacket_AddByte(packet, 0x00), aErrOverrun);
  // A long run of garbage must not wrap the byte count back into range.
  for (int i = 0; i < 300; ++i) ASSERT_EQ(aPacket_AddByte(packet, 0x01), aErrOverrun) << "byte " << i;
}

TEST(Packet, CreateWithDataLimits) {
  uint8_t data[kMaxPacketData + 1] = {};
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i + 1);

  aPacket* full = aPacket_CreateWithData(0x02, kMaxPacketData, data);
  ASSERT_NE(full, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(full));
  EXPECT_EQ(full->count, kMaxPacketData + 2);
  EXPECT_EQ(std::memcmp(full->data, data, kMaxPacketData), 0);
  EXPECT_EQ(aPacket_Destroy(&full), aErrNone);

  EXPECT_EQ(aPacket_CreateWithData(0x02, kMaxPacketData + 1, data), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(0x02, 1, nullptr), nullptr);

  aPacket* empty = aPacket_CreateWithData(0xAD, 0, data);
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(empty));
  EXPECT_EQ(aPacket_Destroy(&empty), aErrNone);
}

TEST(Packet, CopyIsIndependent) {
  const uint8_t data[] = {5, 6, 7};
  aPacket* original = aPacket_CreateWithData(0x08, 3, data);
  ASSERT_NE(original, nullptr);
  aPacket* copy = aPacket_Copy(original);
  ASSERT_NE(copy, nullptr);
  original->data[0] = 0xFF;
  EXPECT_EQ(copy->address, 0x08);
  EXPECT_EQ(copy->length, 3);
  EXPECT_EQ(copy->data[0], 5);
  EXPECT_EQ(copy->data[2], 7);
  EXPECT_TRUE(aPacket_IsComplete(copy));

  // A record whose length was damaged is not copied past the data array.
  original->length = kMaxPacketData + 5;
  EXPECT_EQ(aPacket_Copy(original), nullptr);
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
  EXPECT_EQ(aPacket_Destroy(&original), aErrNone);
  EXPECT_EQ(aPacket_Destroy(&copy), aErrNone);
}

TEST(Packet, CommandOptionAndIndexMasks) {
  const uint8_t data[] = {0x85, 0xFF, 0xFF};
  uint8_t out = 0;
  for (uint8_t length = 0; length <= 3; ++length) {
    aPacket* packet = aPacket_CreateWithData(0x02, length, data);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(aPacket_GetCmd(packet, &out), length >= 1 ? aErrNone : aErrPacket) << "length " << int(length);
    if (length >= 1) {
      EXPECT_EQ(out, 0x85);
    }
    EXPECT_EQ(aPacket_GetOption(packet, &out), length >= 2 ? aErrNone : aErrPacket)
        << "length " << int(length);
    if (length >= 2) {
      EXPECT_EQ(out, 0x3F);
    }
    EXPECT_EQ(aPacket_GetIndex(packet, &out), length >= 3 ? aErrNone : aErrPacket)
        << "length " << int(length);
    if (length >= 3) {
      EXPECT_EQ(out, 0x1F);
    }
    EXPECT_EQ(aPacket_GetCmd(packet, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetOption(packet, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetIndex(packet, nullptr), aErrParam);
    EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
  }
  EXPECT_EQ(aPacket_GetCmd(nullptr, &out), aErrPacket);
}

TEST(Packet, GetBytesWritesTheWireImageOrNothing) {
  const uint8_t data[] = {0x10, 0x20, 0x30};
  aPacket* packet = aPacket_CreateWithData(0x04, 3, data);
  ASSERT_NE(packet, nullptr);

  uint8_t buffer[8];
  std::memset(buffer, 0xAA, sizeof buffer);
  size_t count = 99;
  EXPECT_EQ(aPacket_GetBytes(packet, buffer, 4, &count), aErrOverrun);
  EXPECT_EQ(count, 99u);
  for (uint8_t byte : buffer) EXPECT_EQ(byte, 0xAA) << "nothing may be written on overrun";

  ASSERT_EQ(aPacket_GetBytes(packet, buffer, 5, &count), aErrNone);
  EXPECT_EQ(count, 5u);
  const uint8_t expected[] = {0x04, 0x03, 0x10, 0x20, 0x30, 0xAA};
  EXPECT_EQ(std::memcmp(buffer, expected, sizeof expected), 0);
  EXPECT_EQ(aPacket_GetBytes(packet, buffer, sizeof buffer, nullptr), aErrNone);
  EXPECT_EQ(aPacket_GetBytes(packet, nullptr, sizeof buffer, &count), aErrParam);
  EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
}

TEST(Packet, RecordsWithoutCheckValueAreRefused) {
  aPacket fake{};
  fake.address = 2;
  fake.length = 1;
  uint8_t buffer[4];
  EXPECT_FALSE(aVALIDPACKET(&fake));
  EXPECT_EQ(aPacket_AddByte(&fake, 1), aErrParam);
  EXPECT_EQ(aPacket_Reset(&fake), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(&fake));
  EXPECT_EQ(aPacket_GetBytes(&fake, buffer, sizeof buffer, nullptr), aErrParam);
  EXPECT_EQ(aPacket_Copy(&fake), nullptr);
  aPacket* pointer = &fake;
  EXPECT_EQ(aPacket_Destroy(&pointer), aErrParam);
  EXPECT_EQ(pointer, &fake) << "a refused destroy leaves the pointer";
  EXPECT_EQ(aPacket_AddByte(nullptr, 1), aErrParam);
}

TEST(Packet, ResetAndDestroy) {
  const uint8_t data[] = {1, 2};
  aPacket* packet = aPacket_CreateWithData(0x04, 2, data);
  ASSERT_NE(packet, nullptr);
  ASSERT_EQ(aPacket_Reset(packet), aErrNone);
  EXPECT_EQ(packet->count, 0);
  EXPECT_EQ(packet->address, 0);
  EXPECT_EQ(packet->length, 0);
  EXPECT_EQ(packet->data[0] | packet->data[1], 0);
  EXPECT_TRUE(aVALIDPACKET(packet));
  ASSERT_EQ(sFeed(packet, {0x02, 0x00}), aErrNone) << "a reset packet takes a new one";

  EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
  EXPECT_EQ(packet, nullptr);
  EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

}  // namespace
