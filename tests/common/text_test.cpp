// The shared number text: what the command line, the store, the server
// replies and firmware descriptors accept as a number, and the serial-number
// form they all write.
#include <gtest/gtest.h>

#include <string>

#include "common/aText.h"

namespace {

TEST(TextTest, ParseUnsigned32TakesTheWholeTextOrNothing) {
  struct Case {
    const char* text;
    unsigned base;
    bool ok;
    uint32_t value;
  };
  const Case cases[] = {
      {"0", 10, true, 0},
      {"1210", 10, true, 1210},
      {"4294967295", 10, true, 4294967295u},
      {"4294967296", 10, false, 0},
      {"00000000000000001", 10, true, 1},
      {"", 10, false, 0},
      {" 12", 10, false, 0},
      {"12 ", 10, false, 0},
      {"+12", 10, false, 0},
      {"-1", 10, false, 0},
      {"12a", 10, false, 0},
      {"1A2B", 16, true, 0x1A2B},
      {"deadBEEF", 16, true, 0xDEADBEEF},
      {"FFFFFFFF", 16, true, 0xFFFFFFFF},
      {"100000000", 16, false, 0},
      {"0x1A", 16, false, 0},
      {"1G", 16, false, 0},
      {"0x1A", 0, true, 0x1A},
      {"0X1a", 0, true, 0x1A},
      {"017", 0, true, 15},
      {"08", 0, false, 0},
      {"0x", 0, false, 0},
      {"0", 0, true, 0},
      {"99", 0, true, 99},
      {"12", 8, false, 0},
  };
  for (const Case& c : cases) {
    uint32_t value = 77;
    EXPECT_EQ(aText_ParseUnsigned32(c.text, c.base, &value), c.ok) << c.text << " base " << c.base;
    EXPECT_EQ(value, c.ok ? c.value : 77u) << c.text << " base " << c.base << ": a refusal leaves the value";
  }
}

TEST(TextTest, ConsumeDigitsStopsAtTheFirstNonDigitOrOverflow) {
  uint32_t value = 1;
  EXPECT_EQ(aText_ConsumeDigits("123x", 4, 10, &value), 3u);
  EXPECT_EQ(value, 123u);
  EXPECT_EQ(aText_ConsumeDigits("x", 1, 10, &value), 0u);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(aText_ConsumeDigits("429496729599", 12, 10, &value), 10u)
      << "the digit that would overflow stays";
  EXPECT_EQ(value, 4294967295u);
  EXPECT_EQ(aText_ConsumeDigits("ffZ", 3, 16, &value), 2u);
  EXPECT_EQ(value, 0xFFu);
  EXPECT_EQ(aText_ConsumeDigits("129", 2, 10, &value), 2u) << "never past the length";
  EXPECT_EQ(value, 12u);
}

TEST(TextTest, CharacterClasses) {
  for (char c : std::string(" \t\n\v\f\r")) EXPECT_TRUE(aText_IsSpace(c)) << static_cast<int>(c);
  for (char c : std::string("a0_\x01")) EXPECT_FALSE(aText_IsSpace(c)) << static_cast<int>(c);
  EXPECT_EQ(aText_HexDigitValue('7'), 7);
  EXPECT_EQ(aText_HexDigitValue('b'), 11);
  EXPECT_EQ(aText_HexDigitValue('F'), 15);
  EXPECT_EQ(aText_HexDigitValue('g'), -1);
  EXPECT_EQ(aText_HexDigitValue(' '), -1);
}

TEST(TextTest, Hex32IsEightUpperCaseDigits) {
  EXPECT_EQ(aText_Hex32(0), "00000000");
  EXPECT_EQ(aText_Hex32(0x1a2b), "00001A2B");
  EXPECT_EQ(aText_Hex32(0xFFFFFFFF), "FFFFFFFF");
}

}  // namespace
