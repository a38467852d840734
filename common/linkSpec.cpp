#include "common/linkSpec.h"

#include <cstring>
#include <new>

namespace {

// Leading 32-bit words of the record: up to and including the second
// transport word, or the first only for a serial specifier, whose port name
// starts at offset 28.
constexpr size_t kWords = 8;
constexpr size_t kSerialWords = 7;

void sPutLE(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t sGetLE(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace

bool isAWEFT(linkType type) {
  return type >= AWEFT && type <= AWEFT_SERIAL;
}

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = new (std::nothrow) linkSpec{};
  if (spec != nullptr) spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) {
  linkSpec* copy = new (std::nothrow) linkSpec;
  if (copy != nullptr) std::memcpy(copy, &spec, sizeof spec);
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (spec == nullptr || *spec == nullptr) return aErrParam;
  delete *spec;
  *spec = nullptr;
  return aErrNone;
}

// Bytes from offset 28 on are the port name of a serial specifier and go over
// as text; for every other type the word at 28 (the TCP port) is a number.
// Whatever lies past the last word is copied as it is.
void aLinkSpec_ToImage(const linkSpec& spec, uint8_t image[kLinkSpecSize]) {
  std::memcpy(image, &spec, kLinkSpecSize);
  const size_t words = spec.type == SERIAL ? kSerialWords : kWords;
  for (size_t offset = 0; offset < 4 * words; offset += 4) {
    uint32_t word;
    std::memcpy(&word, image + offset, sizeof word);
    sPutLE(image + offset, word);
  }
}

aErr aLinkSpec_FromImage(const uint8_t* image, size_t size, linkSpec* spec) {
  if (image == nullptr || spec == nullptr) return aErrParam;
  if (size != kLinkSpecSize) return aErrSize;
  uint8_t raw[kLinkSpecSize];
  std::memcpy(raw, image, sizeof raw);
  const size_t words = sGetLE(image) == SERIAL ? kSerialWords : kWords;
  for (size_t offset = 0; offset < 4 * words; offset += 4) {
    const uint32_t word = sGetLE(image + offset);
    std::memcpy(raw + offset, &word, sizeof word);
  }
  std::memcpy(spec, raw, sizeof raw);
  return aErrNone;
}
