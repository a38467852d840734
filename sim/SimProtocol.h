// Wire pieces of the simulated module: packets, the packed firmware version,
// CRC-8 and COBS framing, and the two receive parsers (raw packet stream and
// COBS frames). Written independently of the device library so that a fault
// in the library's own framing shows up as a mismatch instead of cancelling out.
#ifndef CORVALITH_SIM_SIMPROTOCOL_H
#define CORVALITH_SIM_SIMPROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr size_t kMaxPacketData = 28;
constexpr uint8_t kSyncAddress = 0xAD;
constexpr uint8_t kRouteAddress = 0xAF;

struct Packet {
  uint8_t address = 0;
  std::vector<uint8_t> data;

  // Address, length, data: the packet as it travels on a raw stream.
  std::vector<uint8_t> bytes() const;
};

// "AD 00" style hex of the wire bytes.
std::string toHex(const std::vector<uint8_t>& bytes);

// The packed 32-bit firmware version: the 0x2F-tagged form for 2.15 and later,
// the legacy nibble form before that.
uint32_t packVersion(uint8_t major, uint8_t minor, uint8_t patch);

// Dallas/Maxim CRC-8 (reflected 0x8C, initial 0, no final inversion).
uint8_t crc8(const uint8_t* bytes, size_t count);

// COBS encoding of the bytes; no delimiter appended.
std::vector<uint8_t> cobsEncode(const std::vector<uint8_t>& bytes);
// Decodes one frame without its delimiter; false when a code runs past the end.
bool cobsDecode(const std::vector<uint8_t>& frame, std::vector<uint8_t>& out);

// The serial frame of one packet: COBS(packet bytes + CRC) and a 0x00 delimiter.
std::vector<uint8_t> serialFrame(const Packet& packet);

// Assembles packets from a raw byte stream. A zero address byte or a length
// above 28 cannot start a packet; such bytes are skipped so the parser falls
// back into step with the host's next packet.
class RawParser {
 public:
  // Feeds one byte; true when it completed a packet (stored in out).
  bool feed(uint8_t byte, Packet& out);
  void reset();
  size_t skipped() const { return skipped_; }

 private:
  std::vector<uint8_t> buf_;
  size_t skipped_ = 0;
};

// Collects COBS frames; counts frames that fail the length or CRC check.
class CobsParser {
 public:
  bool feed(uint8_t byte, Packet& out);
  void reset();
  size_t rejected() const { return rejected_; }

 private:
  static constexpr size_t kMaxFrame = 64;
  std::vector<uint8_t> frame_;
  bool overlong_ = false;
  size_t rejected_ = 0;
};

}  // namespace sim

#endif
