#include "cpp/UEIBytesReply.h"

#include <cstring>

namespace Tessaron {
namespace Corvalith {

uint8_t ueiBytesReplyFilter(const aPacket* packet, const void* reference) {
  // The reference is the UEIBytesReply that getUEIBytes handed to receiveUEI.
  auto* s = static_cast<UEIBytesReply*>(const_cast<void*>(reference));
  const uei& r = s->record;
  if (packet->address != r.module || packet->length < 3) return 0;
  const uint8_t* d = packet->data;
  if (d[0] != r.command || d[1] != r.option || (d[2] & kUEIIndexMask) != r.specifier) return 0;
  if (d[2] & kUEIError) {
    // An error reply always ends the series, even one without a code or
    // with the code 0.
    s->error = packet->length > 3 && d[3] != aErrNone ? d[3] : aErrUnknown;
    return 1;
  }
  if (packet->length < kUEIBytesOverhead || aUEI_getBytesSequence(packet) != s->sequence) return 0;
  const size_t payload = packet->length - kUEIBytesOverhead;
  if (s->count + payload > s->capacity) {
    s->error = kUEIBytesDoNotFit;
    return 1;
  }
  if (payload > 0) std::memcpy(s->write, d + 3, payload);
  s->write += payload;
  s->count += payload;
  s->more = aUEI_getBytesContinue(packet);
  return 1;
}

}  // namespace Corvalith
}  // namespace Tessaron
