// Decodes arbitrary text as base64 (as a downloaded BIRD file arrives) and
// round-trips arbitrary bytes through the encoder.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "updater/Base64.h"

namespace {

void sCheck(bool ok) {
  if (!ok) std::abort();
}

struct Freed {
  void* p;
  ~Freed() { std::free(p); }
};

// encode then decode must give back exactly the bytes.
void sRoundTrip(const unsigned char* bytes, size_t size) {
  size_t textLength = 0;
  char* text = base64_encode(bytes, size, &textLength);
  Freed t{text};
  sCheck(text != nullptr && textLength == (size + 2) / 3 * 4 && std::strlen(text) == textLength);
  size_t back = 0;
  unsigned char* decoded = base64_decode(text, textLength, &back);
  Freed d{decoded};
  sCheck(decoded != nullptr && back == size && (size == 0 || std::memcmp(decoded, bytes, size) == 0) &&
         decoded[back] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t length = 0;
  unsigned char* decoded = base64_decode(reinterpret_cast<const char*>(data), size, &length);
  Freed d{decoded};
  if (decoded) {
    sCheck(size % 4 == 0 && length <= size / 4 * 3 && length + 2 >= size / 4 * 3 && decoded[length] == 0);
    sRoundTrip(decoded, length);
  } else {
    sCheck(size % 4 != 0 || size > 0);
  }
  sRoundTrip(data, size);
  return 0;
}
