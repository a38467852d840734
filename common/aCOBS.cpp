#include "common/aCOBS.h"

#include <array>
#include <cstring>

namespace {

constexpr uint8_t kCrcPolynomial = 0x8C;  // 0x31 reflected

constexpr std::array<uint8_t, 256> sMakeCrcTable() {
  std::array<uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint8_t crc = static_cast<uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ kCrcPolynomial) : static_cast<uint8_t>(crc >> 1);
    }
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint8_t, 256> kCrcTable = sMakeCrcTable();

// A block code of 255 covers 254 data bytes and implies no zero after them.
constexpr uint8_t kFullBlock = 0xFF;

}  // namespace

uint8_t aCRC8_Update(uint8_t crc, uint8_t byte) {
  return kCrcTable[crc ^ byte];
}

uint8_t aCRC8_Compute(const uint8_t* bytes, size_t count) {
  uint8_t crc = 0;
  if (!bytes) return crc;
  for (size_t i = 0; i < count; ++i) crc = aCRC8_Update(crc, bytes[i]);
  return crc;
}

size_t aCOBS_Encode(const uint8_t* in, size_t count, uint8_t* out, size_t size) {
  if (!out || (count && !in) || size < aCOBS_EncodedSize(count)) return 0;
  size_t codeAt = 0;
  size_t n = 1;
  uint8_t code = 1;
  for (size_t i = 0; i < count; ++i) {
    if (in[i] == 0) {
      out[codeAt] = code;
      codeAt = n++;
      code = 1;
      continue;
    }
    out[n++] = in[i];
    if (++code == kFullBlock) {
      out[codeAt] = code;
      codeAt = n++;
      code = 1;
    }
  }
  out[codeAt] = code;
  return n;
}

size_t aCOBS_Decode(uint8_t* bytes, size_t count) {
  if (!bytes || count == 0) return 0;
  size_t in = 0;
  size_t out = 0;
  while (in < count) {
    uint8_t code = bytes[in];
    if (code == 0 || in + code > count) return 0;
    ++in;
    for (uint8_t k = 1; k < code; ++k) {
      if (bytes[in] == 0) return 0;
      bytes[out++] = bytes[in++];
    }
    if (code != kFullBlock && in < count) bytes[out++] = 0;
  }
  return out;
}

size_t aCOBS_FramePacket(const uint8_t* packet, size_t count, uint8_t* frame, size_t size) {
  if (!packet || !frame || count == 0 || count > aCOBS_MAX_PACKET || size < aCOBS_MAX_WRITE_FRAME) return 0;
  uint8_t plain[aCOBS_MAX_PACKET + 1];
  std::memcpy(plain, packet, count);
  plain[count] = aCRC8_Compute(packet, count);
  size_t n = aCOBS_Encode(plain, count + 1, frame, size - 1);
  if (n == 0) return 0;
  frame[n++] = 0x00;
  return n;
}

void aCOBSReceiver_Reset(aCOBSReceiver* receiver) {
  if (receiver) receiver->count = 0;
}

aErr aCOBSReceiver_Feed(aCOBSReceiver* receiver, uint8_t byte, uint8_t* packet, size_t* length) {
  if (!receiver || !packet || !length) return aErrParam;
  if (byte != 0) {
    if (receiver->count < aCOBS_MAX_FRAME) receiver->frame[receiver->count++] = byte;
    return aErrNotReady;
  }
  if (receiver->count == 0) return aErrNotReady;
  size_t n = aCOBS_Decode(receiver->frame, receiver->count);
  receiver->count = 0;
  // Address, length, data, CRC: the length byte must account for the rest.
  if (n <= 2 || n != static_cast<size_t>(receiver->frame[1]) + 3) return aErrPacket;
  if (aCRC8_Compute(receiver->frame, n - 1) != receiver->frame[n - 1]) return aErrPacket;
  std::memcpy(packet, receiver->frame, n - 1);
  *length = n - 1;
  return aErrNone;
}
