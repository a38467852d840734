// Version packing and the UEI byte-order and packet helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/aUEI.h"
#include "common/aVersion.h"
#include "cpp/EntityClass.h"

namespace {

aPacket sPacket(std::initializer_list<uint8_t> data) {
  aPacket p{};
  p.check = kPacketCheck;
  p.address = 2;
  p.length = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), p.data);
  return p;
}

TEST(VersionTest, PacksTaggedFormFrom2_15AndLegacyBefore) {
  const uint32_t tagged = aVersion_Pack(2, 15, 3);
  uint8_t bytes[4];
  aUEI_StoreInt(bytes, tagged);
  EXPECT_EQ(bytes[0], 0x2F);
  EXPECT_EQ(bytes[1], 2);
  EXPECT_EQ(bytes[2], 15);
  EXPECT_EQ(bytes[3], 3);
  EXPECT_FALSE(aVersion_IsLegacyFormat(tagged));
  EXPECT_EQ(aVersion_ParseMajor(tagged), 2u);
  EXPECT_EQ(aVersion_ParseMinor(tagged), 15u);
  EXPECT_EQ(aVersion_ParsePatch(tagged), 3u);

  const uint32_t legacy = aVersion_Pack(2, 14, 3);
  EXPECT_EQ(legacy >> 28, 2u);
  EXPECT_EQ((legacy >> 24) & 0xF, 14u);
  EXPECT_EQ(legacy & 0xFFFFFF, 3u);
  EXPECT_TRUE(aVersion_IsLegacyFormat(legacy));

  // Legacy patches have 24 bits.
  const uint32_t wide = 1u << 28 | 10u << 24 | 261u;
  char text[16];
  EXPECT_EQ(aVersion_ParseString(wide, text, sizeof text), 8);
  EXPECT_STREQ(text, "1.10.261");
  EXPECT_EQ(aVersion_Pack(3, 0, 1), 0x2F030001u);
  EXPECT_EQ(aVersion_Pack(1, 0x1A, 7), (1u << 28) | (0xAu << 24) | 7u) << "legacy minor keeps 4 bits";
}

TEST(VersionTest, ParseStringTruncatesButReportsFullLength) {
  char small[4];
  EXPECT_EQ(aVersion_ParseString(aVersion_Pack(2, 15, 3), small, sizeof small), 6);
  EXPECT_STREQ(small, "2.1");
  EXPECT_EQ(aVersion_ParseString(aVersion_Pack(2, 15, 3), nullptr, 10), 6);
}

TEST(VersionTest, ComparesMajorFirstAsUnsignedBytes) {
  EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 10, 4, 2, 10, 4));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 10, 3, 2, 10, 4));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 9, 255, 2, 10, 0));
  EXPECT_TRUE(aVersion_IsAtLeastCompare(200, 0, 0, 127, 0, 0)) << "parts compare unsigned";
}

TEST(VersionTest, LibraryVersionAndFeatures) {
  EXPECT_STREQ(aVersion_GetString(), "2.12.1");
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 12);
  EXPECT_EQ(aVersion_GetPatch(), 1);
  EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 1));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 2));
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
  aVersion_DestroyFeatureList(&list);  // already null: nothing
}

TEST(UEIHelperTest, ByteOrderIsMostSignificantFirst) {
  uint8_t b[4];
  aUEI_StoreShort(b, 0xA1B2);
  EXPECT_EQ(b[0], 0xA1);
  EXPECT_EQ(b[1], 0xB2);
  EXPECT_EQ(aUEI_RetrieveShort(b), 0xA1B2);
  aUEI_StoreInt(b, 0x01020304);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[3], 4);
  EXPECT_EQ(aUEI_RetrieveInt(b), 0x01020304u);

  uint32_t words[2];
  const uint8_t wire[8] = {0x11, 0x22, 0x33, 0x44, 0xDE, 0xAD, 0xBE, 0xEF};
  std::memcpy(words, wire, sizeof wire);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x11223344u);
  EXPECT_EQ(words[1], 0xDEADBEEFu);
}

TEST(UEIHelperTest, TrailerSequenceAndContinueComeFromTheLastByte) {
  aPacket p = sPacket({3, 32, 0, 'a', 0x85});
  EXPECT_EQ(aUEI_getBytesSequence(&p), 5);
  EXPECT_TRUE(aUEI_getBytesContinue(&p));
  p = sPacket({3, 32, 0, 0x7F});
  EXPECT_EQ(aUEI_getBytesSequence(&p), 127);
  EXPECT_FALSE(aUEI_getBytesContinue(&p));
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  EXPECT_FALSE(aUEI_getBytesContinue(nullptr));
  aPacket empty = sPacket({});
  EXPECT_EQ(aUEI_getBytesSequence(&empty), 0);
  aPacket bad = p;
  bad.check = 0;
  EXPECT_EQ(aUEI_getBytesSequence(&bad), 0) << "an invalid packet is not read";

  aPacket full{};
  full.check = kPacketCheck;
  for (uint8_t n : {26, 27, 28}) {
    full.length = n;
    EXPECT_EQ(aUEI_getBytesFullPacket(&full), n >= 27) << int(n);
  }
}

TEST(UEIHelperTest, PayloadKindsFollowTheCommandByte) {
  for (uint8_t raw : {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175}) {
    aPacket p = sPacket({raw, 0x41, 0x20});
    EXPECT_TRUE(aUEI_isNotUEIPayload(&p)) << int(raw);
    EXPECT_FALSE(aUEI_isUEIPayload(&p)) << int(raw);
  }
  for (uint8_t cmd : {3, 5, 92, 93, 255}) {
    aPacket p = sPacket({cmd, 0x41, 0x20});
    EXPECT_TRUE(aUEI_isUEIPayload(&p)) << int(cmd);
  }
  aPacket none = sPacket({});
  EXPECT_FALSE(aUEI_isUEIPayload(&none));

  aPacket stream = sPacket({3, 7, 0x40, 1, 0});
  EXPECT_TRUE(aUEI_isStreamPacket(&stream));
  aPacket shortOne = sPacket({3, 7, 0x40, 1});
  EXPECT_FALSE(aUEI_isStreamPacket(&shortOne)) << "needs more than 4 bytes";
  aPacket getBit = sPacket({3, 0x47, 0x40, 1, 0});
  EXPECT_FALSE(aUEI_isStreamPacket(&getBit)) << "option byte must be below 64";
  aPacket noBit = sPacket({3, 7, 0x20, 1, 0});
  EXPECT_FALSE(aUEI_isStreamPacket(&noBit));
  aPacket raw = sPacket({8, 7, 0x40, 1, 0});
  EXPECT_FALSE(aUEI_isStreamPacket(&raw)) << "I2C packets are not UEIs";
}

TEST(UEIHelperTest, BytesCheckDividesWholeUnitsOnly) {
  using Tessaron::Corvalith::EntityClass;
  size_t count = 7;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), 1);
  EXPECT_EQ(count, 7u);
  count = 8;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
  EXPECT_EQ(count, 2u);
  count = 0;
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 4), aErrNone);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), aErrParam);
  EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, 0), aErrParam);
}

}  // namespace
