#include "common/aPacket.h"

#include <cstring>
#include <new>

namespace {

// Data bytes needed before the command, option and index can be read.
constexpr uint8_t kCmdBytes = 1;
constexpr uint8_t kOptionBytes = 2;
constexpr uint8_t kIndexBytes = 3;

aErr sGetDataByte(const aPacket* packet, uint8_t needed, uint8_t mask, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->length < needed || packet->length > kMaxPacketData) return aErrPacket;
  *out = packet->data[needed - 1] & mask;
  return aErrNone;
}

}  // namespace

aPacket* aPacket_Create() {
  aPacket* packet = new (std::nothrow) aPacket{};
  if (packet != nullptr) packet->check = kPacketCheck;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > kMaxPacketData) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  packet->address = address;
  packet->length = length;
  std::memcpy(packet->data, data, length);
  packet->count = static_cast<uint8_t>(length + 2);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
  return sGetDataByte(packet, kCmdBytes, 0xFF, command);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return sGetDataByte(packet, kOptionBytes, 0x3F, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  return sGetDataByte(packet, kIndexBytes, 0x1F, index);
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  packet->count = 0;
  packet->address = 0;
  packet->length = 0;
  std::memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  // count saturates at 31 so a stream of garbage cannot wrap it back to a
  // plausible value.
  if (packet->count > kMaxPacketBytes) return aErrOverrun;
  ++packet->count;
  if (packet->count > kMaxPacketBytes) return aErrOverrun;

  if (packet->address == 0) {
    if (byte == 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  // Only the second byte is the length: a packet already completed with
  // length 0 must not take a following byte as a new length.
  if (packet->length == 0 && packet->count == 2) {
    if (byte > kMaxPacketData) return aErrPacket;
    packet->length = byte;
    return aErrNone;
  }
  if (packet->count >= 3 && packet->count <= packet->length + 2) {
    packet->data[packet->count - 3] = byte;
    return aErrNone;
  }
  return aErrPacket;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->count == packet->length + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count) {
  if (!aVALIDPACKET(packet) || buffer == nullptr) return aErrParam;
  if (packet->length > kMaxPacketData) return aErrPacket;
  const size_t total = static_cast<size_t>(packet->length) + 2;
  if (size < total) return aErrOverrun;
  buffer[0] = packet->address;
  buffer[1] = packet->length;
  std::memcpy(buffer + 2, packet->data, packet->length);
  if (count != nullptr) *count = total;
  return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || !aVALIDPACKET(*packet)) return aErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}
