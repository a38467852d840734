#include "updater/Base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;

// Indexed by every possible byte value, so no input can read outside it.
constexpr std::array<uint8_t, 256> sMakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr std::array<uint8_t, 256> kDecode = sMakeDecodeTable();

}  // namespace

char* base64_encode(const unsigned char* data, size_t length, size_t* outLength) {
  const size_t groups = length / 3 + (length % 3 ? 1 : 0);
  const size_t textLength = groups * 4;
  auto* text = static_cast<char*>(std::malloc(textLength + 1));
  if (!text) return nullptr;

  char* out = text;
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    *out++ = kAlphabet[(v >> 18) & 0x3F];
    *out++ = kAlphabet[(v >> 12) & 0x3F];
    *out++ = kAlphabet[(v >> 6) & 0x3F];
    *out++ = kAlphabet[v & 0x3F];
  }
  const size_t rest = length - i;
  if (rest) {
    uint32_t v = uint32_t{data[i]} << 16;
    if (rest == 2) v |= uint32_t{data[i + 1]} << 8;
    *out++ = kAlphabet[(v >> 18) & 0x3F];
    *out++ = kAlphabet[(v >> 12) & 0x3F];
    *out++ = rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : '=';
    *out++ = '=';
  }
  *out = '\0';
  if (outLength) *outLength = textLength;
  return text;
}

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
  if (length % 4 != 0 || (length && !text)) return nullptr;

  size_t padding = 0;
  if (length >= 4 && text[length - 1] == '=') {
    padding = text[length - 2] == '=' ? 2 : 1;
  }
  const size_t dataLength = length / 4 * 3 - padding;
  auto* bytes = static_cast<unsigned char*>(std::malloc(dataLength + 1));
  if (!bytes) return nullptr;

  unsigned char* out = bytes;
  for (size_t i = 0; i < length; i += 4) {
    const bool last = i + 4 == length;
    // "=" is padding only in the last group; a lone "=" before a data
    // character ("ab=c") is refused by the table like any foreign byte.
    const size_t dataChars = last ? 4 - padding : 4;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      uint8_t sextet = 0;
      if (k < dataChars) {
        sextet = kDecode[static_cast<unsigned char>(text[i + k])];
        if (sextet == kInvalid) {
          std::free(bytes);
          return nullptr;
        }
      }
      v = (v << 6) | sextet;
    }
    *out++ = static_cast<unsigned char>(v >> 16);
    if (dataChars > 2) *out++ = static_cast<unsigned char>(v >> 8);
    if (dataChars > 3) *out++ = static_cast<unsigned char>(v);
  }
  *out = '\0';
  if (outLength) *outLength = dataLength;
  return bytes;
}
