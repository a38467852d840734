// Offers module replies to the UEI filter and to the UEI-bytes series filter
// the way a waiting exchange does. Input: expected module, class, option,
// index and buffer capacity, then packets as address, length, data. Neither
// filter may read past a packet, take a packet that does not match, or
// write past the caller's buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cpp/Link.h"
#include "cpp/UEIBytesReply.h"

using namespace Tessaron::Corvalith;

namespace {

void sCheck(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  uei expected{};
  expected.module = data[0];
  expected.command = data[1];
  expected.option = data[2];
  expected.specifier = data[3] & kUEIIndexMask;
  expected.type = VOID;
  // Exactly the capacity, so that the sanitizer sees any write past it.
  std::vector<uint8_t> buffer(data[4] + 1u);
  UEIBytesReply series{};
  series.record = expected;
  series.write = buffer.data();
  series.capacity = buffer.size();
  series.more = true;

  size_t at = 5;
  while (at + 2 <= size) {
    aPacket packet{};
    packet.check = kPacketCheck;
    packet.address = data[at];
    packet.length = static_cast<uint8_t>(data[at + 1] % (kMaxPacketData + 1));
    at += 2;
    const size_t n = packet.length < size - at ? packet.length : size - at;
    packet.length = static_cast<uint8_t>(n);
    std::memcpy(packet.data, data + at, n);
    at += n;

    uei u = expected;
    if (Link::ueiFilter(&packet, &u)) {
      sCheck(packet.address == expected.module && packet.length > 2);
      sCheck(packet.data[0] == expected.command && packet.data[1] == expected.option);
      sCheck((u.specifier & kUEIError) == (packet.data[2] & kUEIError));
    } else {
      sCheck(u.specifier == expected.specifier && u.type == VOID);
    }

    if (!series.more || series.error != aErrNone) continue;
    const size_t before = series.count;
    const uint8_t sequence = series.sequence;
    if (ueiBytesReplyFilter(&packet, &series)) {
      sCheck(packet.address == expected.module);
      if (series.error == aErrNone) {
        sCheck(aUEI_getBytesSequence(&packet) == sequence);
        sCheck(series.count == before + packet.length - kUEIBytesOverhead);
        series.sequence = static_cast<uint8_t>((series.sequence + 1) & kUEIBytesSequenceMask);
      }
    } else {
      sCheck(series.count == before);
    }
    sCheck(series.count <= series.capacity);
    sCheck(series.write == buffer.data() + series.count);
  }
  return 0;
}
