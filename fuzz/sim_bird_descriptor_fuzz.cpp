// The simulator's own reader of BIRD descriptors (reboot-bird) over untrusted
// bytes: it must refuse or answer without reading past the decompressed data.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimUpgrade.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kMaxInput = 1 << 20;
  if (size > kMaxInput) return 0;
  const std::vector<uint8_t> file(data, data + size);
  sim::BirdDescriptor descriptor;
  std::string error;
  if (sim::parseBirdDescriptor(file, descriptor, error)) {
    uint32_t packed = 0;
    (void)sim::parseVersionText(descriptor.version, packed);
  }
  return 0;
}
