#include "sim/SimProtocol.h"

#include <cstdio>

namespace sim {

std::vector<uint8_t> Packet::bytes() const {
  std::vector<uint8_t> out;
  out.reserve(data.size() + 2);
  out.push_back(address);
  out.push_back(static_cast<uint8_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::string toHex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    if (i) out += ' ';
    out += two;
  }
  return out;
}

uint32_t packVersion(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14)) {
    return 0x2F000000u + (uint32_t{major} << 16) + (uint32_t{minor} << 8) + patch;
  }
  return (uint32_t{major} << 28) | (uint32_t{minor & 0x0Fu} << 24) | patch;
}

uint8_t crc8(const uint8_t* bytes, size_t count) {
  uint8_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
  }
  return crc;
}

std::vector<uint8_t> cobsEncode(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out;
  out.reserve(bytes.size() + bytes.size() / 254 + 2);
  size_t codeAt = out.size();
  out.push_back(0);
  uint8_t code = 1;
  for (uint8_t b : bytes) {
    if (b == 0) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
      continue;
    }
    out.push_back(b);
    if (++code == 0xFF) {
      out[codeAt] = code;
      codeAt = out.size();
      out.push_back(0);
      code = 1;
    }
  }
  out[codeAt] = code;
  return out;
}

bool cobsDecode(const std::vector<uint8_t>& frame, std::vector<uint8_t>& out) {
  out.clear();
  size_t i = 0;
  while (i < frame.size()) {
    uint8_t code = frame[i];
    if (code == 0 || i + code > frame.size()) return false;
    out.insert(out.end(), frame.begin() + static_cast<long>(i) + 1,
               frame.begin() + static_cast<long>(i) + code);
    i += code;
    if (code < 0xFF && i < frame.size()) out.push_back(0);
  }
  return true;
}

std::vector<uint8_t> serialFrame(const Packet& packet) {
  std::vector<uint8_t> body = packet.bytes();
  body.push_back(crc8(body.data(), body.size()));
  std::vector<uint8_t> frame = cobsEncode(body);
  frame.push_back(0);
  return frame;
}

bool RawParser::feed(uint8_t byte, Packet& out) {
  if (buf_.empty() && byte == 0) {
    ++skipped_;
    return false;
  }
  if (buf_.size() == 1 && byte > kMaxPacketData) {
    // Neither byte can be a packet start we trust; drop both.
    skipped_ += 2;
    buf_.clear();
    return false;
  }
  buf_.push_back(byte);
  if (buf_.size() >= 2 && buf_.size() == size_t{buf_[1]} + 2) {
    out.address = buf_[0];
    out.data.assign(buf_.begin() + 2, buf_.end());
    buf_.clear();
    return true;
  }
  return false;
}

void RawParser::reset() {
  buf_.clear();
}

bool CobsParser::feed(uint8_t byte, Packet& out) {
  if (byte != 0) {
    if (frame_.size() < kMaxFrame) {
      frame_.push_back(byte);
    } else {
      overlong_ = true;
    }
    return false;
  }
  if (frame_.empty()) return false;
  std::vector<uint8_t> decoded;
  bool ok = !overlong_ && cobsDecode(frame_, decoded) && decoded.size() > 2 &&
            decoded.size() == size_t{decoded[1]} + 3 && decoded[1] <= kMaxPacketData &&
            crc8(decoded.data(), decoded.size() - 1) == decoded.back();
  frame_.clear();
  overlong_ = false;
  if (!ok) {
    ++rejected_;
    return false;
  }
  out.address = decoded[0];
  out.data.assign(decoded.begin() + 2, decoded.end() - 1);
  return true;
}

void CobsParser::reset() {
  frame_.clear();
  overlong_ = false;
}

}  // namespace sim
