// Offers received packets to the stream-sample helpers the way the stream
// filter does. Input: packets as address, length, data. A packet is a sample
// exactly when its sample can be read, a value never exceeds its type's
// width, and no helper reads past the packet's data.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cpp/Link.h"

using Tessaron::Corvalith::Link;

namespace {

void sCheck(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;
  while (at + 2 <= size) {
    aPacket packet{};
    packet.check = kPacketCheck;
    packet.address = data[at];
    const size_t wanted = data[at + 1] % (kMaxPacketData + 1);
    at += 2;
    const size_t n = wanted < size - at ? wanted : size - at;
    packet.length = static_cast<uint8_t>(n);
    std::memcpy(packet.data, data + at, n);
    at += n;

    const bool stream = Link::isStreamPacket(&packet);
    const uint8_t type = Link::getStreamPacketType(&packet);
    sCheck(stream == (type != 0));
    Link::StreamSample sample;
    const aErr err = Link::getStreamSample(&packet, &sample);
    sCheck((err == aErrNone) == Link::isStreamSample(&packet));
    if (!stream) sCheck(err == aErrPacket);
    if (err != aErrNone) continue;
    sCheck(sample.type == type && type != 4);
    const uint8_t width = (type == 1 || type == 5) ? 8 : (type == 2 || type == 6) ? 16 : 32;
    if (width < 32) sCheck(sample.value < (1u << width));
    if (!Link::isSubindexType(type)) sCheck(sample.subindex == 0);
  }
  return 0;
}
