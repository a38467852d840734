// Arbitrary wire bytes into the packetised serial decoder. Every packet it
// accepts must be self-consistent and survive being framed and decoded again;
// the input itself must round-trip through COBS.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/aCOBS.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aCOBSReceiver receiver{};
  for (size_t i = 0; i < size; ++i) {
    uint8_t packet[aCOBS_MAX_PACKET];
    size_t length = 0;
    aErr err = aCOBSReceiver_Feed(&receiver, data[i], packet, &length);
    if (err == aErrNotReady || err == aErrPacket) continue;
    if (err != aErrNone) std::abort();
    if (length < 2 || length > aCOBS_MAX_PACKET - 1 || length != static_cast<size_t>(packet[1]) + 2)
      std::abort();
    uint8_t frame[aCOBS_MAX_WRITE_FRAME];
    size_t framed = aCOBS_FramePacket(packet, length, frame, sizeof frame);
    if (framed == 0) std::abort();
    aCOBSReceiver again{};
    uint8_t back[aCOBS_MAX_PACKET];
    size_t backLength = 0;
    aErr last = aErrNotReady;
    for (size_t k = 0; k < framed; ++k) last = aCOBSReceiver_Feed(&again, frame[k], back, &backLength);
    if (last != aErrNone || backLength != length || std::memcmp(back, packet, length) != 0) std::abort();
  }

  std::vector<uint8_t> encoded(aCOBS_EncodedSize(size));
  size_t n = aCOBS_Encode(data, size, encoded.data(), encoded.size());
  if (n == 0 || n > encoded.size()) std::abort();
  if (size > 0) {
    if (aCOBS_Decode(encoded.data(), n) != size || std::memcmp(encoded.data(), data, size) != 0) std::abort();
  }
  // Decoding arbitrary bytes in place must stay inside them.
  std::vector<uint8_t> copy(data, data + size);
  if (aCOBS_Decode(copy.data(), copy.size()) > size) std::abort();
  return 0;
}
