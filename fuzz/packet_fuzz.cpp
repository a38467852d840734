// Builds packets from raw wire bytes the way a link's reader does: add bytes
// until a packet completes or a byte is refused, then start over. Every
// completed packet must reproduce its wire bytes exactly and survive a copy
// and a trip through a FIFO unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/aPacket.h"
#include "common/aPacketFifo.h"

namespace {

void sCheck(bool ok) {
  if (!ok) std::abort();
}

bool sSame(const aPacket* a, const aPacket* b) {
  return a->address == b->address && a->length == b->length && std::memcmp(a->data, b->data, a->length) == 0;
}

uint8_t sSameCommand(const aPacket* packet, const void* reference) {
  const aPacket* wanted = static_cast<const aPacket*>(reference);
  return packet->length > 0 && wanted->length > 0 && packet->data[0] == wanted->data[0];
}

void sCheckComplete(const aPacket* packet, const uint8_t* wire, size_t wireSize, aPacketFifoId fifo) {
  sCheck(packet->address != 0 && packet->length <= kMaxPacketData);
  uint8_t bytes[kMaxPacketBytes];
  size_t count = 0;
  sCheck(aPacket_GetBytes(packet, bytes, sizeof bytes, &count) == aErrNone);
  sCheck(count == wireSize && std::memcmp(bytes, wire, count) == 0);
  sCheck(aPacket_GetBytes(packet, bytes, count - 1, nullptr) == aErrOverrun);

  uint8_t field = 0;
  sCheck((aPacket_GetCmd(packet, &field) == aErrNone) == (packet->length >= 1));
  sCheck((aPacket_GetIndex(packet, &field) == aErrNone) == (packet->length >= 3));

  aPacket* copy = aPacket_Copy(packet);
  sCheck(copy != nullptr && sSame(copy, packet) && aPacket_IsComplete(copy));
  (void)aPacket_Destroy(&copy);

  sCheck(aPacketFifo_Put(fifo, packet) == aErrNone);
  aPacket* back = aPacketFifo_GetFirst(fifo, sSameCommand, packet);
  if (back == nullptr) back = aPacketFifo_Get(fifo);
  sCheck(back != nullptr && sSame(back, packet));
  (void)aPacket_Destroy(&back);
  sCheck(aPacketFifo_GetLength(fifo) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static aPacketFifoId fifo = aPacketFifo_Create();
  aPacket* packet = aPacket_Create();
  sCheck(packet != nullptr && fifo != 0);
  size_t start = 0;
  for (size_t i = 0; i < size; ++i) {
    const aErr err = aPacket_AddByte(packet, data[i]);
    if (err != aErrNone) {
      sCheck(err == aErrPacket || err == aErrOverrun);
      sCheck(aPacket_Reset(packet) == aErrNone);
      start = i + 1;
      continue;
    }
    sCheck(packet->count <= kMaxPacketBytes && packet->length <= kMaxPacketData);
    if (aPacket_IsComplete(packet)) {
      sCheckComplete(packet, data + start, i + 1 - start, fifo);
      sCheck(aPacket_Reset(packet) == aErrNone);
      start = i + 1;
    }
  }
  sCheck(aPacket_Destroy(&packet) == aErrNone);
  return 0;
}
