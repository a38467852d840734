// Packet framing for serial links. A frame on the wire is the COBS encoding of
// (packet bytes, CRC-8 of the packet bytes) followed by one 0x00 delimiter.
// The CRC is the 1-Wire CRC-8: reflected polynomial 0x8C, initial value 0, no
// final inversion. Everything here is pure so it can be fuzzed.
#ifndef CORVALITH_COMMON_ACOBS_H
#define CORVALITH_COMMON_ACOBS_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

// Largest received frame kept, in encoded bytes; longer frames are cut, so
// packets with more than 27 data bytes cannot be received.
constexpr size_t aCOBS_MAX_FRAME = 31;
// Largest decoded packet (address, length, 28 data bytes) without its CRC.
constexpr size_t aCOBS_MAX_PACKET = 30;
// Largest frame written: packet, CRC, one code byte, delimiter.
constexpr size_t aCOBS_MAX_WRITE_FRAME = aCOBS_MAX_PACKET + 3;

uint8_t aCRC8_Update(uint8_t crc, uint8_t byte);
uint8_t aCRC8_Compute(const uint8_t* bytes, size_t count);

// Encoded size of count bytes (no delimiter): count + 1 + count / 254.
constexpr size_t aCOBS_EncodedSize(size_t count) {
  return count + 1 + count / 254;
}
// COBS-encodes count bytes into out (no delimiter); in and out must not
// overlap. The encoded length, or 0 when size is below aCOBS_EncodedSize.
size_t aCOBS_Encode(const uint8_t* in, size_t count, uint8_t* out, size_t size);
// Decodes in place; the decoded length, or 0 for empty input, a zero byte in
// the input, or a code that points past the end.
size_t aCOBS_Decode(uint8_t* bytes, size_t count);

// Frames one packet (at most aCOBS_MAX_PACKET bytes): CRC, COBS, delimiter.
// The frame length, or 0 when the packet is empty or too long or size is
// below aCOBS_MAX_WRITE_FRAME.
size_t aCOBS_FramePacket(const uint8_t* packet, size_t count, uint8_t* frame, size_t size);

// Collects frame bytes one at a time, as read from the wire.
struct aCOBSReceiver {
  uint8_t frame[aCOBS_MAX_FRAME];
  uint8_t count;
};

void aCOBSReceiver_Reset(aCOBSReceiver* receiver);
// Takes one wire byte. aErrNotReady: still collecting (a 0x00 with nothing
// collected is ignored; bytes past aCOBS_MAX_FRAME are dropped). aErrNone: a
// frame ended and decoded to a packet whose bytes (address, length, data,
// without the CRC) are in packet, *length of them (packet must hold
// aCOBS_MAX_PACKET). aErrPacket: a frame ended but was damaged (decoding
// failed, its length byte disagrees with its size, or its CRC is wrong).
// aErrParam for null arguments.
[[nodiscard]] aErr aCOBSReceiver_Feed(aCOBSReceiver* receiver, uint8_t byte, uint8_t* packet, size_t* length);

#endif
