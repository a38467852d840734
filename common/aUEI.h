// UEIs: the command records through which a module's entity classes are
// reached (class, option, index and an optional value), and the byte-order
// and packet helpers around them.
//
// UEI packet data: byte 0 the entity class; byte 1 the option code (bits
// 0-5) with 0x40 for a get and 0x80 for a set (a get's reply carries the
// bare code, a set's reply both bits); byte 2 the index (bits 0-4) with 0x20
// in every request, 0x40 on a stream sample and 0x80 on an error reply; then
// the value, most significant byte first, or the module's aErr code in an
// error reply. A byte array travels as a UEI-bytes series: parts of at most
// 24 bytes, each followed by a trailer byte whose bit 7 says that more
// packets follow and whose bits 0-6 count the packets modulo 128.
#ifndef CORVALITH_COMMON_AUEI_H
#define CORVALITH_COMMON_AUEI_H

#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"

// Bits of the option byte.
constexpr uint8_t kUEIOptionMask = 0x3F;
constexpr uint8_t kUEIGet = 0x40;
constexpr uint8_t kUEISet = 0x80;
// Bits of the index byte.
constexpr uint8_t kUEIIndexMask = 0x1F;
constexpr uint8_t kUEIRequest = 0x20;
constexpr uint8_t kUEIStream = 0x40;
constexpr uint8_t kUEIError = 0x80;
// UEI-bytes series: payload bytes per packet, trailer bits.
constexpr uint8_t kUEIBytesPart = 24;
constexpr uint8_t kUEIBytesMore = 0x80;
constexpr uint8_t kUEIBytesSequenceMask = 0x7F;

typedef enum : uint32_t {
  VOID = 0,   // no value
  BYTE = 1,   // 8 bits
  SHORT = 2,  // 16 bits
  INT = 4,    // 32 bits
  BYTES = 5,  // byte array
} ueiType;

// One UEI as sent, or as expected and then received.
struct uei {
  uint8_t module;     // module address
  uint8_t command;    // entity class
  uint8_t option;     // option byte as sent or expected
  uint8_t specifier;  // index byte as sent or expected; bit 7 after an error reply
  union {
    uint8_t byteVal;  // also the module's error code after an error reply
    uint16_t shortVal;
    uint32_t intVal;
    struct {
      const uint8_t* data;
      uint32_t length;
    } bytesVal;
  } v;
  ueiType type;
};

// 16- and 32-bit values stored most significant byte first.
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Converts count words in place from most-significant-first to host order.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Bits 0-6 and bit 7 of a packet's last data byte (the UEI-bytes trailer);
// 0 and false for a null, invalid or empty packet.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
[[nodiscard]] bool aUEI_getBytesContinue(const aPacket* packet);
// True for a packet with 27 or 28 data bytes.
[[nodiscard]] bool aUEI_getBytesFullPacket(const aPacket* packet);

// Raw commands that are not UEIs (store slots, I2C, debug echo, module
// queries, factory data, ...), by the packet's command byte. A packet without
// data bytes is not a UEI payload.
[[nodiscard]] bool aUEI_isNotUEIPayload(const aPacket* packet);
[[nodiscard]] bool aUEI_isUEIPayload(const aPacket* packet);
// A UEI payload with more than 4 data bytes, an option byte below 64 and the
// stream bit set in the index byte.
[[nodiscard]] bool aUEI_isStreamPacket(const aPacket* packet);

#endif
