// corvalith-lpc-rom: a simulated LPC17xx boot ROM serving the serial ISP
// protocol on a pseudo-terminal, so the recovery client and other ISP tools
// can be run and timed without a chip. It keeps its own codecs: nothing here
// comes from the client it is used to check.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/StandInPty.h"
#include "sim/StandInSignals.h"

namespace {

using Clock = std::chrono::steady_clock;

// Return codes of the ISP protocol.
enum Code {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_BLANK = 8,
  SECTOR_NOT_PREPARED = 9,
  COMPARE_ERROR = 10,
  PARAM_ERROR = 12,
  ADDR_ERROR = 13,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
};

constexpr uint32_t kFlashSize = 0x80000;
constexpr uint32_t kSectorCount = 30;
// Local SRAM and the two AHB SRAM banks of an LPC1768.
constexpr uint32_t kRamStart = 0x10000000;
constexpr uint32_t kRamSize = 0x8000;
constexpr uint32_t kAhbRamStart = 0x2007C000;
constexpr uint32_t kAhbRamSize = 0x8000;
constexpr uint32_t kUnlockCode = 23130;
constexpr uint32_t kDefaultPartId = 0x26013F37;  // LPC1768
constexpr uint32_t kBootVersionMajor = 4;
constexpr uint32_t kBootVersionMinor = 1;
constexpr size_t kLinesPerChecksum = 20;
constexpr size_t kBytesPerLine = 45;
constexpr size_t kMaxLine = 256;
// One character on the line: start bit, 8 data bits, stop bit.
constexpr uint32_t kBitsPerChar = 10;
constexpr uint32_t kDefaultRate = 115200;
// Longest a run may last, and the poll interval of the serving loop.
constexpr int kMaxLifetimeS = 3600;
constexpr int kPollMs = 100;
// Gap in ms after which the line counts as idle again.
constexpr int kIdleGapMs = 2;

using sim::gDump;
using sim::gStop;

uint32_t sSectorStart(uint32_t s) {
  return s < 16 ? s * 0x1000 : 0x10000 + (s - 16) * 0x8000;
}
uint32_t sSectorSize(uint32_t s) {
  return s < 16 ? 0x1000 : 0x8000;
}
uint32_t sSectorOf(uint32_t address) {
  return address < 0x10000 ? address / 0x1000 : 16 + (address - 0x10000) / 0x8000;
}

struct Fault {
  char command;
  int code;
  int nth;  // 0: every use
};

struct Options {
  std::string link;
  std::string stateFile;
  uint32_t uid[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
  uint32_t partId = kDefaultPartId;
  std::vector<int> resendChecksums;
  std::vector<int> badReadChecksums;
  // R commands (by use) whose answer breaks off after its first data line.
  std::vector<int> cutReads;
  std::vector<Fault> failCommands;
  std::string silentCommands;
  bool silent = false;
  // Commands answered before the line goes dead (0: never).
  size_t silentAfter = 0;
  // Flash cells that no longer take a program (worn out): they stay erased.
  std::vector<uint32_t> stuckBytes;
};

// Our own UUencoding, as the ISP protocol writes it (0 as a grave accent).
std::string sEncodeLine(const uint8_t* bytes, size_t n) {
  std::string out(1, static_cast<char>(32 + n));
  for (size_t i = 0; i < n; i += 3) {
    uint8_t b0 = bytes[i];
    uint8_t b1 = i + 1 < n ? bytes[i + 1] : 0;
    uint8_t b2 = i + 2 < n ? bytes[i + 2] : 0;
    uint8_t v[4] = {static_cast<uint8_t>(b0 >> 2), static_cast<uint8_t>((b0 & 3) << 4 | b1 >> 4),
                    static_cast<uint8_t>((b1 & 15) << 2 | b2 >> 6), static_cast<uint8_t>(b2 & 63)};
    for (uint8_t c : v) out += c ? static_cast<char>(c + 32) : '`';
  }
  return out;
}

// False for a malformed line.
bool sDecodeLine(const std::string& line, std::vector<uint8_t>* out) {
  if (line.empty()) return false;
  size_t n = (static_cast<uint8_t>(line[0]) - 32) & 63;
  if (n > kBytesPerLine || line.size() < 1 + (n + 2) / 3 * 4) return false;
  for (size_t g = 0; g * 3 < n; ++g) {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = v << 6 | ((static_cast<uint8_t>(line[1 + g * 4 + k]) - 32) & 63);
    for (int k = 0; k < 3 && g * 3 + k < n; ++k) out->push_back(static_cast<uint8_t>(v >> (16 - 8 * k)));
  }
  return true;
}

uint32_t sSum(const uint8_t* b, size_t n) {
  uint32_t total = 0;
  for (size_t i = 0; i < n; ++i) total += b[i];
  return total;
}

bool sParseNumbers(const std::string& text, std::vector<long long>* out, std::string* word) {
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    char* end = nullptr;
    long long v = std::strtoll(token.c_str(), &end, 10);
    if (*end != '\0') {
      if (word && word->empty() && out->size() >= 1) {
        *word = token;
        continue;
      }
      return false;
    }
    out->push_back(v);
  }
  return true;
}

uint32_t sSpeedToRate(speed_t s) {
  switch (s) {
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    default:
      return 0;
  }
}

class Rom {
 public:
  Rom(const Options& options, int master) : opt_(options), fd_(master), flash_(kFlashSize, 0xFF) {
    ram_.assign(kRamSize, 0);
    ahb_.assign(kAhbRamSize, 0);
  }

  void onByte(uint8_t byte);
  void pump();
  int pollTimeoutMs() const;
  // True when the host's side is full and the line waits for room.
  bool wantsWrite() const { return blocked_; }
  bool writeState(const std::string& path) const;

 private:
  enum class State { Autobaud, SyncWord, Crystal, Command, WriteData, ReadAck };

  void send(const std::string& text) {
    if (!opt_.silent && !dead_) out_.insert(out_.end(), text.begin(), text.end());
  }
  void reply(int code) { send(std::to_string(code) + "\r\n"); }
  void onLine(const std::string& line);
  void command(const std::string& line);
  void writeData(const std::string& line);
  void readAck(const std::string& line);
  void sendReadBlock(bool cut = false);
  void resetToBootLoader();
  int injected(char command);
  uint8_t* memory(uint32_t address, uint32_t count, bool flashToo);
  uint32_t lineRate() const;

  const Options& opt_;
  int fd_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> ram_;
  std::vector<uint8_t> ahb_;
  std::deque<uint8_t> out_;
  Clock::time_point lineBusyUntil_ = Clock::now();
  State state_ = State::Autobaud;
  std::string line_;
  bool echo_ = true;
  bool unlocked_ = false;
  bool prepared_[kSectorCount] = {};
  uint32_t rate_ = kDefaultRate;
  uint32_t pendingRate_ = 0;
  bool blocked_ = false;
  bool dead_ = false;
  std::vector<std::string> commands_;
  std::map<char, int> uses_;
  int checksumsReceived_ = 0;
  int checksumsSent_ = 0;
  // Transfer in progress (W or R).
  uint32_t xferAddress_ = 0;
  uint32_t xferCount_ = 0;
  uint32_t xferConfirmed_ = 0;
  std::vector<uint8_t> xferBlock_;
  size_t xferLines_ = 0;
  uint32_t readBlockEnd_ = 0;
};

uint32_t Rom::lineRate() const {
  return rate_ ? rate_ : kDefaultRate;
}

uint8_t* Rom::memory(uint32_t address, uint32_t count, bool flashToo) {
  uint64_t end = static_cast<uint64_t>(address) + count;
  if (address >= kRamStart && end <= kRamStart + kRamSize) return ram_.data() + (address - kRamStart);
  if (address >= kAhbRamStart && end <= kAhbRamStart + kAhbRamSize)
    return ahb_.data() + (address - kAhbRamStart);
  if (flashToo && end <= kFlashSize) return flash_.data() + address;
  return nullptr;
}

int Rom::injected(char command) {
  int use = ++uses_[command];
  for (const Fault& f : opt_.failCommands) {
    if (f.command == command && (f.nth == 0 || f.nth == use)) return f.code;
  }
  return -1;
}

void Rom::resetToBootLoader() {
  state_ = State::Autobaud;
  echo_ = true;
  unlocked_ = false;
  std::fill(std::begin(prepared_), std::end(prepared_), false);
  line_.clear();
}

void Rom::onByte(uint8_t byte) {
  if (state_ == State::Autobaud) {
    // The chip measures the rate from "?" and ignores everything else.
    if (byte == '?') {
      struct termios t;
      rate_ = tcgetattr(fd_, &t) == 0 ? sSpeedToRate(cfgetospeed(&t)) : 0;
      send("Synchronized\r\n");
      state_ = State::SyncWord;
      line_.clear();
    }
    return;
  }
  if (echo_ &&
      !(state_ == State::Command &&
        opt_.silentCommands.find(line_.empty() ? static_cast<char>(byte) : line_[0]) != std::string::npos)) {
    send(std::string(1, static_cast<char>(byte)));
  }
  if (byte == '\n') {
    std::string line = line_;
    line_.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    onLine(line);
    return;
  }
  if (line_.size() < kMaxLine) line_ += static_cast<char>(byte);
}

void Rom::onLine(const std::string& line) {
  switch (state_) {
    case State::SyncWord:
      if (line == "Synchronized") {
        send("OK\r\n");
        state_ = State::Crystal;
      } else {
        state_ = State::Autobaud;
      }
      break;
    case State::Crystal:
      send("OK\r\n");
      state_ = State::Command;
      break;
    case State::Command:
      if (!line.empty()) command(line);
      break;
    case State::WriteData:
      writeData(line);
      break;
    case State::ReadAck:
      readAck(line);
      break;
    case State::Autobaud:
      break;
  }
}

void Rom::command(const std::string& line) {
  commands_.push_back(line);
  if (opt_.silentAfter != 0 && commands_.size() > opt_.silentAfter) dead_ = true;
  char c = line[0];
  if (opt_.silentCommands.find(c) != std::string::npos) return;
  int fault = injected(c);
  if (fault >= 0) {
    reply(fault);
    return;
  }
  std::vector<long long> n;
  std::string word;
  if (line.size() > 1 && line[1] != ' ') {
    reply(INVALID_COMMAND);
    return;
  }
  if (!sParseNumbers(line.substr(1), &n, c == 'G' ? &word : nullptr)) {
    reply(PARAM_ERROR);
    return;
  }
  auto args = [&](size_t k) { return n.size() == k; };
  auto u32 = [&](size_t i) { return static_cast<uint32_t>(n[i]); };
  switch (c) {
    case 'U':
      if (!args(1)) return reply(PARAM_ERROR);
      if (u32(0) != kUnlockCode) return reply(INVALID_CODE);
      unlocked_ = true;
      return reply(CMD_SUCCESS);
    case 'B': {
      if (!args(2)) return reply(PARAM_ERROR);
      static const uint32_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
      if (std::find(std::begin(kRates), std::end(kRates), u32(0)) == std::end(kRates)) {
        return reply(INVALID_BAUD_RATE);
      }
      if (u32(1) != 1 && u32(1) != 2) return reply(INVALID_STOP_BIT);
      reply(CMD_SUCCESS);
      // The answer still goes out at the old rate; then the UART switches.
      pendingRate_ = u32(0);
      return;
    }
    case 'A':
      if (!args(1) || u32(0) > 1) return reply(PARAM_ERROR);
      echo_ = u32(0) == 1;
      return reply(CMD_SUCCESS);
    case 'W': {
      if (!args(2) || n[0] < 0 || n[1] <= 0) return reply(PARAM_ERROR);
      if (u32(0) % 4) return reply(ADDR_ERROR);
      if (u32(1) % 4) return reply(COUNT_ERROR);
      if (!memory(u32(0), u32(1), false)) return reply(ADDR_NOT_MAPPED);
      xferAddress_ = u32(0);
      xferCount_ = u32(1);
      xferConfirmed_ = 0;
      xferBlock_.clear();
      xferLines_ = 0;
      reply(CMD_SUCCESS);
      state_ = State::WriteData;
      return;
    }
    case 'R': {
      if (!args(2) || n[0] < 0 || n[1] <= 0) return reply(PARAM_ERROR);
      if (u32(0) % 4) return reply(ADDR_ERROR);
      if (u32(1) % 4) return reply(COUNT_ERROR);
      if (!memory(u32(0), u32(1), true)) return reply(ADDR_NOT_MAPPED);
      xferAddress_ = u32(0);
      xferCount_ = u32(1);
      xferConfirmed_ = 0;
      reply(CMD_SUCCESS);
      sendReadBlock(std::find(opt_.cutReads.begin(), opt_.cutReads.end(), uses_['R']) != opt_.cutReads.end());
      state_ = State::ReadAck;
      return;
    }
    case 'P':
    case 'E':
    case 'I': {
      if (!args(2) || n[0] < 0 || n[1] < n[0]) return reply(PARAM_ERROR);
      if (u32(1) >= kSectorCount) return reply(INVALID_SECTOR);
      if (c == 'P') {
        for (uint32_t s = u32(0); s <= u32(1); ++s) prepared_[s] = true;
        return reply(CMD_SUCCESS);
      }
      if (c == 'E') {
        if (!unlocked_) return reply(CMD_LOCKED);
        for (uint32_t s = u32(0); s <= u32(1); ++s) {
          if (!prepared_[s]) return reply(SECTOR_NOT_PREPARED);
        }
        for (uint32_t s = u32(0); s <= u32(1); ++s) {
          std::fill_n(flash_.begin() + sSectorStart(s), sSectorSize(s), 0xFF);
          prepared_[s] = false;
        }
        return reply(CMD_SUCCESS);
      }
      for (uint32_t a = sSectorStart(u32(0)); a < sSectorStart(u32(1)) + sSectorSize(u32(1)); a += 4) {
        uint32_t word;
        std::memcpy(&word, flash_.data() + a, 4);
        if (word != 0xFFFFFFFF) {
          return send(std::to_string(SECTOR_NOT_BLANK) + "\r\n" + std::to_string(a) + "\r\n" +
                      std::to_string(word) + "\r\n");
        }
      }
      return reply(CMD_SUCCESS);
    }
    case 'C': {
      if (!args(3) || n[0] < 0 || n[1] < 0) return reply(PARAM_ERROR);
      if (!unlocked_) return reply(CMD_LOCKED);
      uint32_t dst = u32(0), src = u32(1), count = u32(2);
      if (dst % 256) return reply(DST_ADDR_ERROR);
      if (src % 4) return reply(SRC_ADDR_ERROR);
      if (count != 256 && count != 512 && count != 1024 && count != 4096) return reply(COUNT_ERROR);
      if (static_cast<uint64_t>(dst) + count > kFlashSize) return reply(DST_ADDR_NOT_MAPPED);
      const uint8_t* from = memory(src, count, false);
      if (!from) return reply(SRC_ADDR_NOT_MAPPED);
      for (uint32_t s = sSectorOf(dst); s <= sSectorOf(dst + count - 1); ++s) {
        if (!prepared_[s]) return reply(SECTOR_NOT_PREPARED);
      }
      // Programming only clears bits: copying onto cells that were not
      // erased leaves the AND of old and new, as on the chip.
      for (uint32_t i = 0; i < count; ++i) {
        if (std::find(opt_.stuckBytes.begin(), opt_.stuckBytes.end(), dst + i) == opt_.stuckBytes.end())
          flash_[dst + i] &= from[i];
      }
      for (uint32_t s = sSectorOf(dst); s <= sSectorOf(dst + count - 1); ++s) prepared_[s] = false;
      return reply(CMD_SUCCESS);
    }
    case 'G':
      if (!args(1) || (word != "T" && word != "A")) return reply(PARAM_ERROR);
      if (!unlocked_) return reply(CMD_LOCKED);
      if (u32(0) % 2 && word == "A") return reply(ADDR_ERROR);
      reply(CMD_SUCCESS);
      // No code runs here; behave as a chip that came back into its boot loader.
      resetToBootLoader();
      return;
    case 'M': {
      if (!args(3) || n[0] < 0 || n[1] < 0 || n[2] < 0) return reply(PARAM_ERROR);
      if (u32(0) % 4 || u32(1) % 4) return reply(ADDR_ERROR);
      if (u32(2) % 4) return reply(COUNT_ERROR);
      const uint8_t* a = memory(u32(0), u32(2), true);
      const uint8_t* b = memory(u32(1), u32(2), true);
      if (!a || !b) return reply(ADDR_NOT_MAPPED);
      for (uint32_t i = 0; i < u32(2); ++i) {
        if (a[i] != b[i])
          return send(std::to_string(COMPARE_ERROR) + "\r\n" + std::to_string(i & ~3u) + "\r\n");
      }
      return reply(CMD_SUCCESS);
    }
    case 'J':
      return send("0\r\n" + std::to_string(opt_.partId) + "\r\n");
    case 'K':
      return send("0\r\n" + std::to_string(kBootVersionMinor) + "\r\n" + std::to_string(kBootVersionMajor) +
                  "\r\n");
    case 'N': {
      std::string text = "0\r\n";
      for (uint32_t w : opt_.uid) text += std::to_string(w) + "\r\n";
      return send(text);
    }
    default:
      return reply(INVALID_COMMAND);
  }
}

void Rom::writeData(const std::string& line) {
  uint32_t staged = xferConfirmed_ + static_cast<uint32_t>(xferBlock_.size());
  if (xferLines_ < kLinesPerChecksum && staged < xferCount_) {
    std::vector<uint8_t> bytes;
    if (sDecodeLine(line, &bytes)) {
      size_t room = xferCount_ - staged;
      xferBlock_.insert(xferBlock_.end(), bytes.begin(), bytes.begin() + std::min(room, bytes.size()));
    }
    ++xferLines_;
    return;
  }
  // The checksum of the block since the last confirmed position.
  ++checksumsReceived_;
  char* end = nullptr;
  unsigned long long announced = std::strtoull(line.c_str(), &end, 10);
  bool injectedResend = std::find(opt_.resendChecksums.begin(), opt_.resendChecksums.end(),
                                  checksumsReceived_) != opt_.resendChecksums.end();
  if (end == line.c_str() || announced != sSum(xferBlock_.data(), xferBlock_.size()) || injectedResend) {
    send("RESEND\r\n");
  } else {
    std::memcpy(memory(xferAddress_ + xferConfirmed_, static_cast<uint32_t>(xferBlock_.size()), false),
                xferBlock_.data(), xferBlock_.size());
    xferConfirmed_ += static_cast<uint32_t>(xferBlock_.size());
    send("OK\r\n");
  }
  xferBlock_.clear();
  xferLines_ = 0;
  if (xferConfirmed_ >= xferCount_) state_ = State::Command;
}

void Rom::sendReadBlock(bool cut) {
  const uint8_t* base = memory(xferAddress_, xferCount_, true);
  uint32_t position = xferConfirmed_;
  for (size_t lines = 0; lines < kLinesPerChecksum && position < xferCount_; ++lines) {
    size_t n = std::min<size_t>(kBytesPerLine, xferCount_ - position);
    send(sEncodeLine(base + position, n) + "\r\n");
    position += static_cast<uint32_t>(n);
    if (cut) {
      // The rest is lost on the line; the chip still waits for the answer.
      readBlockEnd_ = xferConfirmed_;
      return;
    }
  }
  uint32_t checksum = sSum(base + xferConfirmed_, position - xferConfirmed_);
  ++checksumsSent_;
  if (std::find(opt_.badReadChecksums.begin(), opt_.badReadChecksums.end(), checksumsSent_) !=
      opt_.badReadChecksums.end()) {
    ++checksum;
  }
  send(std::to_string(checksum) + "\r\n");
  readBlockEnd_ = position;
}

void Rom::readAck(const std::string& line) {
  if (line == "OK") {
    xferConfirmed_ = readBlockEnd_;
    if (xferConfirmed_ >= xferCount_) {
      state_ = State::Command;
      return;
    }
  } else if (line != "RESEND") {
    state_ = State::Command;
    return;
  }
  sendReadBlock();
}

int Rom::pollTimeoutMs() const {
  if (out_.empty()) return kPollMs;
  if (blocked_) return kPollMs;
  auto wait = std::chrono::duration_cast<std::chrono::microseconds>(lineBusyUntil_ - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>((wait + 999) / 1000, 0, kPollMs));
}

// Hands the line the characters whose transmit slot has begun, so the host
// sees them arrive at the speed of a real UART.
void Rom::pump() {
  blocked_ = false;
  auto now = Clock::now();
  if (out_.empty()) {
    if (pendingRate_) rate_ = pendingRate_;
    pendingRate_ = 0;
    return;
  }
  if (now - lineBusyUntil_ > std::chrono::milliseconds(kIdleGapMs)) lineBusyUntil_ = now;
  const auto perChar = std::chrono::nanoseconds(1000000000LL * kBitsPerChar / lineRate());
  uint8_t chunk[512];
  size_t n = 0;
  while (n < sizeof chunk && !out_.empty() && lineBusyUntil_ <= now) {
    chunk[n++] = out_.front();
    out_.pop_front();
    lineBusyUntil_ += perChar;
  }
  if (n == 0) return;
  ssize_t written = write(fd_, chunk, n);
  if (written < 0) written = 0;
  for (ssize_t k = static_cast<ssize_t>(n) - 1; k >= written; --k) {
    out_.push_front(chunk[k]);
    lineBusyUntil_ -= perChar;
  }
  blocked_ = static_cast<size_t>(written) < n;
}

bool Rom::writeState(const std::string& path) const {
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "{\n  \"unlocked\": %s,\n  \"echo\": %s,\n  \"rate\": %u,\n  \"commands\": [",
               unlocked_ ? "true" : "false", echo_ ? "true" : "false", lineRate());
  for (size_t i = 0; i < commands_.size(); ++i) {
    std::fprintf(f, "%s\"", i ? ", " : "");
    for (char ch : commands_[i]) {
      if (ch == '"' || ch == '\\') {
        std::fprintf(f, "\\%c", ch);
      } else if (static_cast<unsigned char>(ch) < 0x20) {
        std::fprintf(f, "\\u%04x", static_cast<unsigned char>(ch));
      } else {
        std::fputc(ch, f);
      }
    }
    std::fputc('"', f);
  }
  std::fprintf(f, "],\n  \"flash\": \"");
  for (uint8_t b : flash_) std::fprintf(f, "%02x", b);
  std::fprintf(f, "\"\n}\n");
  bool ok = std::fclose(f) == 0;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

void sUsage(FILE* out) {
  std::fprintf(
      out,
      "usage: corvalith-lpc-rom [--link PATH] [--uid 'W0 W1 W2 W3'] [--part-id N] [--state FILE] "
      "[faults...]\n"
      "A simulated LPC17xx boot ROM (serial ISP) on a pseudo-terminal. Prints \"READY PTY-PATH\"\n"
      "once it serves; SIGTERM or SIGINT ends it.\n"
      "  --link PATH           symbolic link to the pseudo-terminal\n"
      "  --uid 'W0 W1 W2 W3'   unique id answered by N, four hex words\n"
      "  --part-id N           part identification answered by J (default 0x26013F37, LPC1768)\n"
      "  --state FILE          JSON dump of the flash and the commands received, on exit and SIGUSR1\n"
      "faults:\n"
      "  --resend-checksum N   answer RESEND to the Nth data checksum of W (repeatable)\n"
      "  --bad-read-checksum N send a wrong Nth checksum during R (repeatable)\n"
      "  --cut-read N          the Nth R answer breaks off after one data line (repeatable)\n"
      "  --fail C=CODE[@N]     answer command letter C with return code CODE, only its Nth use with @N\n"
      "  --silent-command C    no echo and no answer to command letter C\n"
      "  --silent              answer nothing at all, not even \"?\"\n"
      "  --silent-after N      go silent (no echo, no answer) from the command after the Nth\n"
      "  --stuck-byte ADDR     flash byte at ADDR (hex) stays erased whatever is copied there\n"
      "                        (repeatable)\n");
}

bool sParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      sUsage(stdout);
      std::exit(0);
    }
    if (a == "--silent") {
      o->silent = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    char* end = nullptr;
    if (a == "--link") {
      o->link = v;
    } else if (a == "--state") {
      o->stateFile = v;
    } else if (a == "--uid") {
      std::istringstream in(v);
      for (uint32_t& w : o->uid) {
        std::string t;
        if (!(in >> t)) return false;
        w = static_cast<uint32_t>(std::strtoul(t.c_str(), &end, 16));
        if (*end) return false;
      }
    } else if (a == "--part-id") {
      o->partId = static_cast<uint32_t>(std::strtoul(v.c_str(), &end, 0));
      if (*end) return false;
    } else if (a == "--resend-checksum" || a == "--bad-read-checksum" || a == "--cut-read") {
      int n = static_cast<int>(std::strtol(v.c_str(), &end, 10));
      if (*end || n <= 0) return false;
      (a == "--resend-checksum"     ? o->resendChecksums
       : a == "--bad-read-checksum" ? o->badReadChecksums
                                    : o->cutReads)
          .push_back(n);
    } else if (a == "--fail") {
      Fault f{};
      if (v.size() < 3 || v[1] != '=') return false;
      f.command = v[0];
      f.code = static_cast<int>(std::strtol(v.c_str() + 2, &end, 10));
      if (*end == '@') f.nth = static_cast<int>(std::strtol(end + 1, &end, 10));
      if (*end || f.code < 0) return false;
      o->failCommands.push_back(f);
    } else if (a == "--silent-after") {
      long n = std::strtol(v.c_str(), &end, 10);
      if (*end || n <= 0) return false;
      o->silentAfter = static_cast<size_t>(n);
    } else if (a == "--stuck-byte") {
      unsigned long address = std::strtoul(v.c_str(), &end, 16);
      if (*end || address >= kFlashSize) return false;
      o->stuckBytes.push_back(static_cast<uint32_t>(address));
    } else if (a == "--silent-command") {
      if (v.size() != 1) return false;
      o->silentCommands += v;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!sParseOptions(argc, argv, &options)) {
    sUsage(stderr);
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  sim::InstallSignals();

  sim::StandInPty pty;
  if (!pty.open("corvalith-lpc-rom", options.link)) return 1;
  const int master = pty.master();
  const std::string& path = pty.path();

  Rom rom(options, master);
  std::printf("READY %s\n", path.c_str());
  std::fflush(stdout);

  const auto endOfLife = Clock::now() + std::chrono::seconds(kMaxLifetimeS);
  while (!gStop && Clock::now() < endOfLife) {
    struct pollfd p = {master, static_cast<short>(POLLIN | (rom.wantsWrite() ? POLLOUT : 0)), 0};
    int ready = poll(&p, 1, rom.pollTimeoutMs());
    if (gDump) {
      gDump = 0;
      if (!options.stateFile.empty() && !rom.writeState(options.stateFile))
        std::perror("corvalith-lpc-rom: --state");
    }
    if (ready > 0 && (p.revents & POLLIN)) {
      uint8_t buffer[512];
      ssize_t n = read(master, buffer, sizeof buffer);
      for (ssize_t i = 0; i < n; ++i) rom.onByte(buffer[i]);
    }
    rom.pump();
  }
  int status = 0;
  if (!options.stateFile.empty() && !rom.writeState(options.stateFile)) {
    std::perror("corvalith-lpc-rom: --state");
    status = 1;
  }
  if (!options.link.empty()) unlink(options.link.c_str());
  return status;
}
