// Answer lines of an LPC boot ROM into the ISP client's parsers: data lines
// through uudecode (which must stay inside its room and honour the count),
// return-code lines through ReturnCode and GetErrorText. What decodes must
// encode back to the same line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "loaders/NXPSerialClass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The first byte picks the room, so refused counts are reached too.
  size_t room = size ? data[0] % (NXPSerialClass::MAX_BYTES_PER_LINE + 2) : 0;
  const std::string line = size ? text.substr(1) : text;

  uint8_t out[NXPSerialClass::MAX_BYTES_PER_LINE + 2 + 8];
  std::memset(out, 0xA5, sizeof out);
  size_t n = NXPSerialClass::uudecode(line.data(), line.size(), out, room);
  if (n > room) std::abort();
  for (size_t i = room; i < sizeof out; ++i) {
    if (out[i] != 0xA5) std::abort();
  }
  size_t counted = line.empty() ? 0 : ((static_cast<uint8_t>(line[0]) - 32) & 0x3F);
  if (n > counted) std::abort();
  if (n == counted && n > 0 && n <= NXPSerialClass::MAX_BYTES_PER_LINE) {
    char encoded[NXPSerialClass::kMaxEncodedLine + 1];
    size_t length = NXPSerialClass::uuencode(out, n, encoded);
    uint8_t back[NXPSerialClass::MAX_BYTES_PER_LINE];
    if (NXPSerialClass::uudecode(encoded, length, back, sizeof back) != n || std::memcmp(back, out, n) != 0)
      std::abort();
  }

  for (bool echo : {false, true}) {
    long code = NXPSerialClass::ReturnCode(text.data(), text.size(), echo);
    if (code < -1) std::abort();
  }
  const char* message = NXPSerialClass::GetErrorText(text.c_str());
  if (!message || !*message) std::abort();
  return 0;
}
