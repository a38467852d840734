#include "updater/Base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Decodes text; nullopt-like: ok=false when base64_decode refused it.
struct Decoded {
  bool ok = false;
  std::string bytes;
};

Decoded sDecode(const std::string& text) {
  size_t length = 12345;
  std::unique_ptr<unsigned char, FreeDeleter> bytes(base64_decode(text.data(), text.size(), &length));
  if (!bytes) return {};
  EXPECT_EQ(bytes.get()[length], '\0') << "decoded bytes must be followed by a NUL";
  return {true, std::string(reinterpret_cast<char*>(bytes.get()), length)};
}

std::string sEncode(const std::string& bytes) {
  size_t length = 12345;
  std::unique_ptr<char, FreeDeleter> text(
      base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length));
  EXPECT_NE(text, nullptr);
  EXPECT_EQ(std::strlen(text.get()), length);
  return std::string(text.get(), length);
}

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(sEncode(plain), coded) << plain;
    const Decoded d = sDecode(coded);
    EXPECT_TRUE(d.ok) << coded;
    EXPECT_EQ(d.bytes, plain) << coded;
  }
}

TEST(Base64, DecodeLengthFollowsPadding) {
  EXPECT_FALSE(sDecode("Zm9vY").ok) << "5 characters is not a multiple of 4";
  EXPECT_FALSE(sDecode("Zm9").ok);
  EXPECT_EQ(sDecode("Zm8=").bytes.size(), 2u);
  EXPECT_EQ(sDecode("Zg==").bytes.size(), 1u);
  EXPECT_EQ(sDecode("+/+/").bytes, "\xfb\xff\xbf");
}

TEST(Base64, RefusesCharactersOutsideTheAlphabetAndMisplacedPadding) {
  const std::string bad[] = {
      "Zm9*",       "Zm 9",
      "Zm9v\r\n==", "Zm9-",
      "Zm9_",       "Z=9v",
      "Zg=a",       "====",
      "A===",       "Zm==Zm9v",
      "Zm8=Zm9v",   std::string("Zm\0v", 4),
      "Zm9\xff",    "\x80\x81\x82\x83",
  };
  for (const std::string& text : bad) {
    EXPECT_FALSE(sDecode(text).ok) << "accepted [" << text << "]";
  }
}

TEST(Base64, RoundTripsEveryByteValueAtEveryLengthRemainder) {
  std::string bytes;
  for (int i = 0; i < 515; ++i) bytes += static_cast<char>((i * 37 + 11) & 0xFF);
  for (size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 255u, 256u, 257u, 515u}) {
    const std::string part = bytes.substr(0, n);
    const std::string text = sEncode(part);
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
    const Decoded d = sDecode(text);
    ASSERT_TRUE(d.ok) << n;
    EXPECT_EQ(d.bytes, part) << n;
  }
}

TEST(Base64, NullTextWithZeroLengthDecodesToNothing) {
  size_t length = 99;
  std::unique_ptr<unsigned char, FreeDeleter> bytes(base64_decode(nullptr, 0, &length));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(base64_decode(nullptr, 4, &length), nullptr);
}

}  // namespace
