#include "common/aUEI.h"

namespace {

bool sHasData(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->length > 0 && packet->length <= kMaxPacketData;
}

uint8_t sTrailer(const aPacket* packet) {
  return sHasData(packet) ? packet->data[packet->length - 1] : 0;
}

}  // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

void aUEI_StoreShort(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 8);
  bytes[1] = static_cast<uint8_t>(value);
}

void aUEI_StoreInt(uint8_t* bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 24);
  bytes[1] = static_cast<uint8_t>(value >> 16);
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
  if (words == nullptr) return;
  for (size_t i = 0; i < count; ++i) {
    words[i] = aUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
  }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  return sTrailer(packet) & kUEIBytesSequenceMask;
}

bool aUEI_getBytesContinue(const aPacket* packet) {
  return (sTrailer(packet) & kUEIBytesMore) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return aVALIDPACKET(packet) && (packet->length == kMaxPacketData - 1 || packet->length == kMaxPacketData);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (!sHasData(packet)) return true;
  switch (packet->data[0]) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
      return true;
    default:
      return false;
  }
}

bool aUEI_isUEIPayload(const aPacket* packet) {
  return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && packet->length > 4 && packet->data[1] < 64 &&
         (packet->data[2] & kUEIStream) != 0;
}
