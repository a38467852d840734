#include "sim/sdprom/SdpRom.h"

#include <algorithm>
#include <cstdio>

namespace sdprom {

namespace {

constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteRegister = 0x0202;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kWriteDcd = 0x0A0A;
constexpr uint16_t kJumpAddress = 0x0B0B;
constexpr uint16_t kSkipDcdHeader = 0x0C0C;

constexpr uint32_t kPageSize = 4096;
// A DCD table is at most this long on the parts that take one.
constexpr size_t kMaxDcdSize = 1768;
constexpr uint8_t kDcdTag = 0xD2;
constexpr uint8_t kDcdWriteTag = 0xCC;
constexpr size_t kDcdHeaderSize = 4;
constexpr uint8_t kDcdMaskFlag = 0x08;
constexpr uint8_t kDcdSetFlag = 0x10;

uint32_t sBig32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint16_t sBig16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

std::vector<uint8_t> sLittle32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

}  // namespace

Rom::Rom(const RomOptions& options) : opt_(options) {}

bool Rom::knownType(const uint8_t* command) {
  return typeName(sBig16(command))[0] != '?';
}

const char* Rom::typeName(uint16_t type) {
  switch (type) {
    case kReadRegister:
      return "READ_REGISTER";
    case kWriteRegister:
      return "WRITE_REGISTER";
    case kWriteFile:
      return "WRITE_FILE";
    case kErrorStatus:
      return "ERROR_STATUS";
    case kWriteDcd:
      return "WRITE_DCD";
    case kJumpAddress:
      return "JUMP_ADDRESS";
    case kSkipDcdHeader:
      return "SKIP_DCD_HEADER";
    default:
      return "?";
  }
}

void Rom::answer(bool security, const std::vector<uint8_t>& bytes) {
  if (!opt_.silent) answers_.push_back(Answer{security, bytes});
}

void Rom::sendSecurity() {
  answer(true, sLittle32(opt_.closed ? kHabClosed : kHabOpen));
}

void Rom::sendWord(uint32_t word) {
  answer(false, sLittle32(word));
}

bool Rom::inRam(uint32_t address) const {
  for (const RamRegion& r : opt_.ram) {
    if (address >= r.start && address - r.start < r.size) return true;
  }
  return false;
}

bool Rom::store(uint32_t address, uint8_t byte) {
  if (!inRam(address)) return false;
  Page& page = pages_[address / kPageSize];
  if (page.bytes.empty()) {
    page.bytes.assign(kPageSize, 0);
    page.written.assign(kPageSize, false);
  }
  page.bytes[address % kPageSize] = byte;
  page.written[address % kPageSize] = true;
  return true;
}

uint8_t Rom::load(uint32_t address) const {
  if (inRam(address)) {
    auto page = pages_.find(address / kPageSize);
    return page == pages_.end() ? 0 : page->second.bytes[address % kPageSize];
  }
  auto reg = opt_.registers.find(address & ~3u);
  if (reg == opt_.registers.end()) return 0;
  return static_cast<uint8_t>(reg->second >> (8 * (address & 3)));
}

void Rom::writeRegister(uint32_t address, uint32_t value, unsigned width) {
  if (inRam(address)) {
    for (unsigned i = 0; i < width && i < 4; ++i)
      (void)store(address + i, static_cast<uint8_t>(value >> (8 * i)));
    return;
  }
  opt_.registers[address & ~3u] = value;
}

void Rom::onCommand(const uint8_t* c) {
  CommandRecord r{sBig16(c), sBig32(c + 2), c[6], sBig32(c + 7), sBig32(c + 11)};
  commands_.push_back(r);
  switch (r.type) {
    case kErrorStatus:
      sendSecurity();
      sendWord(lastStatus_);
      return;
    case kReadRegister: {
      sendSecurity();
      // Count is in bytes, whatever the access width.
      std::vector<uint8_t> bytes;
      bytes.reserve(r.count);
      for (uint64_t i = 0; i < r.count; ++i) bytes.push_back(load(static_cast<uint32_t>(r.address + i)));
      answer(false, bytes);
      return;
    }
    case kWriteRegister: {
      unsigned width = r.format == 0x08 ? 1 : r.format == 0x10 ? 2 : 4;
      writeRegister(r.address, r.data, width);
      sendSecurity();
      sendWord(kStatusRegisterWritten);
      return;
    }
    case kWriteFile:
    case kWriteDcd:
      xfer_ = r.type == kWriteFile ? Xfer::File : Xfer::Dcd;
      xferAddress_ = r.address;
      xferLeft_ = r.count;
      xferReceived_ = 0;
      xferRefused_ = false;
      xferAnsweredEarly_ = false;
      dcd_.clear();
      if (xferLeft_ == 0) finishTransfer();
      return;
    case kJumpAddress:
      sendSecurity();
      if (opt_.closed) {
        // A closed part only runs signed images, and this one checks none.
        lastStatus_ = kStatusFailed;
        sendWord(kStatusFailed);
        return;
      }
      jumped_ = true;
      jumpAddress_ = r.address;
      if (opt_.hasJumpStatus) sendWord(opt_.jumpStatus);
      return;
    case kSkipDcdHeader:
      sendSecurity();
      sendWord(kStatusSkipDcd);
      return;
    default:
      return;
  }
}

void Rom::onData(const uint8_t* bytes, size_t count) {
  size_t n = static_cast<size_t>(std::min<uint64_t>(count, xferLeft_));
  for (size_t i = 0; i < n; ++i) {
    uint32_t address = static_cast<uint32_t>(xferAddress_ + xferReceived_ + i);
    if (xfer_ == Xfer::Dcd && dcd_.size() < kMaxDcdSize) dcd_.push_back(bytes[i]);
    if (!store(address, bytes[i]) && xfer_ == Xfer::File) xferRefused_ = true;
  }
  xferReceived_ += n;
  xferLeft_ -= n;
  dataBytes_ += n;
  if (xfer_ == Xfer::File && opt_.earlyAfterBytes >= 0 && !xferAnsweredEarly_ &&
      xferReceived_ >= static_cast<uint64_t>(opt_.earlyAfterBytes) && xferLeft_ > 0) {
    // Refuse the rest while the host is still sending.
    xferAnsweredEarly_ = true;
    lastStatus_ = kStatusFailed;
    sendSecurity();
    sendWord(kStatusFailed);
  }
  if (xferLeft_ == 0) finishTransfer();
}

void Rom::finishTransfer() {
  Xfer done = xfer_;
  xfer_ = Xfer::None;
  if (xferAnsweredEarly_) return;
  if (done == Xfer::Dcd) {
    runDcd(dcd_);
    sendSecurity();
    sendWord(kStatusRegisterWritten);
    return;
  }
  uint32_t status = xferRefused_ ? kStatusFailed : kStatusFileComplete;
  if (opt_.hasFinalStatus) status = opt_.finalStatus;
  lastStatus_ = status == kStatusFileComplete ? kStatusAck : status;
  sendSecurity();
  sendWord(status);
}

// Carries out the write commands of a DCD table; checks and other commands
// are skipped, as nothing here changes by itself.
void Rom::runDcd(const std::vector<uint8_t>& dcd) {
  if (dcd.size() < kDcdHeaderSize || dcd[0] != kDcdTag) return;
  size_t end = std::min<size_t>(sBig16(&dcd[1]), dcd.size());
  size_t at = kDcdHeaderSize;
  while (at + 4 <= end) {
    uint8_t tag = dcd[at];
    size_t length = sBig16(&dcd[at + 1]);
    uint8_t param = dcd[at + 3];
    if (length < 4 || at + length > end) return;
    if (tag == kDcdWriteTag) {
      unsigned width = param & 7;
      for (size_t p = at + 4; p + 8 <= at + length; p += 8) {
        uint32_t address = sBig32(&dcd[p]);
        uint32_t value = sBig32(&dcd[p + 4]);
        uint32_t old = 0;
        auto reg = opt_.registers.find(address & ~3u);
        if (reg != opt_.registers.end()) old = reg->second;
        if (param & kDcdMaskFlag) value = (param & kDcdSetFlag) ? (old | value) : (old & ~value);
        writeRegister(address, value, width);
      }
    }
    at += length;
  }
}

bool Rom::writeState(const std::string& path, const std::string& extra) const {
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "{\n  \"security\": \"%s\",\n  \"commands\": [", opt_.closed ? "closed" : "open");
  for (size_t i = 0; i < commands_.size(); ++i) {
    const CommandRecord& c = commands_[i];
    std::fprintf(f,
                 "%s\n    {\"name\": \"%s\", \"type\": %u, \"address\": %u, \"format\": %u, \"count\": %u, "
                 "\"data\": %u}",
                 i ? "," : "", typeName(c.type), c.type, c.address, c.format, c.count, c.data);
  }
  std::fprintf(f, "\n  ],\n  \"data_bytes\": %llu,\n  \"jump_address\": ",
               static_cast<unsigned long long>(dataBytes_));
  if (jumped_) {
    std::fprintf(f, "%u", jumpAddress_);
  } else {
    std::fprintf(f, "null");
  }
  std::fprintf(f, ",\n  \"registers\": [");
  bool first = true;
  for (const auto& reg : opt_.registers) {
    std::fprintf(f, "%s{\"address\": %u, \"value\": %u}", first ? "" : ", ", reg.first, reg.second);
    first = false;
  }
  // Runs of written bytes, joined across page borders.
  std::fprintf(f, "],\n  \"ram\": [");
  bool open = false;
  bool any = false;
  uint64_t next = 0;
  for (const auto& page : pages_) {
    for (uint32_t i = 0; i < kPageSize; ++i) {
      uint64_t address = static_cast<uint64_t>(page.first) * kPageSize + i;
      if (!page.second.written[i]) {
        if (open) std::fprintf(f, "\"}");
        open = false;
        continue;
      }
      if (open && address != next) {
        std::fprintf(f, "\"}");
        open = false;
      }
      if (!open) {
        std::fprintf(f, "%s\n    {\"address\": %llu, \"bytes\": \"", any ? "," : "",
                     static_cast<unsigned long long>(address));
        open = true;
        any = true;
      }
      std::fprintf(f, "%02x", page.second.bytes[i]);
      next = address + 1;
    }
  }
  if (open) std::fprintf(f, "\"}");
  std::fprintf(f, "\n  ]");
  if (!extra.empty()) std::fprintf(f, ",\n  %s", extra.c_str());
  std::fprintf(f, "\n}\n");
  bool ok = std::fclose(f) == 0;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace sdprom
