// One device packet: up to 28 data bytes to or from one module. On the wire a
// packet is the module address, the data length, then the data bytes (2 to 30
// bytes). Packets are made and freed only by the functions below; a record
// whose check value is not kPacketCheck is refused by every one of them.
#ifndef CORVALITH_COMMON_APACKET_H
#define CORVALITH_COMMON_APACKET_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

constexpr uint16_t kPacketCheck = 0xBEEF;
constexpr uint8_t kMaxPacketData = 28;
// Address and length bytes plus the largest data block.
constexpr uint8_t kMaxPacketBytes = kMaxPacketData + 2;

struct aPacket {
  uint16_t check;
  uint8_t count;    // wire bytes added so far
  uint8_t address;  // module address; never 0 in a packet built from the wire
  uint8_t length;   // data bytes, 0 to 28
  // By convention byte 0 is the command, byte 1 & 0x3F the option and
  // byte 2 & 0x1F the index.
  uint8_t data[kMaxPacketData];
};

// Decides whether a queued packet is the one a caller is waiting for. The
// reference is handed through unchanged from the caller of the FIFO operation.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, const void* reference);

[[nodiscard]] inline bool aVALIDPACKET(const aPacket* packet) {
  return packet != nullptr && packet->check == kPacketCheck;
}

// A new empty packet, or null when out of memory.
[[nodiscard]] aPacket* aPacket_Create();
// A new complete packet holding a copy of length bytes at data. Null when data
// is null (also for length 0), length exceeds 28, or out of memory.
[[nodiscard]] aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A new complete packet with the same address, length and data; null for an
// invalid packet (also one whose length exceeds 28) or out of memory.
[[nodiscard]] aPacket* aPacket_Copy(const aPacket* packet);

// Store the command (data byte 0), option (byte 1 & 0x3F) or index
// (byte 2 & 0x1F). aErrParam for a null out pointer; aErrPacket for an invalid
// packet or one too short to hold that byte.
[[nodiscard]] aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
[[nodiscard]] aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
[[nodiscard]] aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Empties the packet for reuse. aErrParam for an invalid packet.
[[nodiscard]] aErr aPacket_Reset(aPacket* packet);
// Appends one wire byte: address, then length, then data.
// aErrParam: invalid packet. aErrOverrun: more than 30 bytes added.
// aErrPacket: address 0, length above 28, or a byte past the end of the packet.
// After an error the packet must be reset before reuse.
[[nodiscard]] aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
// True for a valid packet whose address, length and every data byte arrived.
[[nodiscard]] bool aPacket_IsComplete(const aPacket* packet);
// Writes the wire image (address, length, data) and, when count is not null,
// its size. aErrParam: invalid packet or null buffer. aErrPacket: length above
// 28. aErrOverrun: buffer shorter than length + 2 (nothing written).
[[nodiscard]] aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count);
// Frees the packet and nulls the pointer. aErrParam for a null address, a null
// or an invalid packet (left untouched).
[[nodiscard]] aErr aPacket_Destroy(aPacket** packet);

#endif
