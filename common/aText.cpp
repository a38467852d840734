#include "common/aText.h"

#include <cstdio>

namespace {

constexpr size_t kHex32Chars = 8;

}  // namespace

bool aText_IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int aText_HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

size_t aText_ConsumeDigits(const char* text, size_t length, unsigned base, uint32_t* value) {
  uint64_t v = 0;
  size_t i = 0;
  for (; text != nullptr && i < length; ++i) {
    const int digit = aText_HexDigitValue(text[i]);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) break;
    const uint64_t next = v * base + static_cast<unsigned>(digit);
    if (next > UINT32_MAX) break;
    v = next;
  }
  if (value != nullptr) *value = static_cast<uint32_t>(v);
  return i;
}

bool aText_ParseUnsigned32(const std::string& text, unsigned base, uint32_t* value) {
  size_t start = 0;
  if (base == 0) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      base = 16;
      start = 2;
    } else {
      base = text.size() > 1 && text[0] == '0' ? 8 : 10;
    }
  } else if (base != 10 && base != 16) {
    return false;
  }
  if (start >= text.size()) return false;
  uint32_t v = 0;
  const size_t used = aText_ConsumeDigits(text.data() + start, text.size() - start, base, &v);
  if (start + used != text.size()) return false;
  if (value != nullptr) *value = v;
  return true;
}

std::string aText_Hex32(uint32_t value) {
  char text[kHex32Chars + 1];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}
