#include "loaders/NXPSerialClass.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "unix/aOS.h"
#include "unix/aStreamOS.h"
#include "updater/report/Log.h"

namespace {

constexpr uint32_t kEndSector = 30;
constexpr uint32_t kStopBits = 1;
constexpr char kUnknownError[] = "Unknown error";

// "hex bytes" and the printable form of a trace.
std::string sHex(const uint8_t* bytes, size_t count) {
  std::string out;
  char cell[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
    out += cell;
  }
  return out;
}

std::string sPrintable(const uint8_t* bytes, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] == '\r') {
      out += "\\r";
    } else if (bytes[i] == '\n') {
      out += "\\n";
    } else {
      out += std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : ' ';
    }
  }
  return out;
}

const uint8_t* sBytes(const char* text) {
  return reinterpret_cast<const uint8_t*>(text);
}

char sUU(uint32_t v) {
  return v == 0 ? '`' : static_cast<char>(v + 32);
}

}  // namespace

uint32_t WAIT_TIME_MS(uint32_t n, uint32_t rate) {
  if (rate == 0) return 1;
  return static_cast<uint32_t>((static_cast<uint64_t>(n) * 9000 + 18000) / rate + 1);
}

const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},  {0x01000, 0x1000, 1},  {0x02000, 0x1000, 2},        {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},  {0x05000, 0x1000, 5},  {0x06000, 0x1000, 6},        {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},  {0x09000, 0x1000, 9},  {0x0A000, 0x1000, 10},       {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12}, {0x0D000, 0x1000, 13}, {0x0E000, 0x1000, 14},       {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16}, {0x18000, 0x8000, 17}, {0x20000, 0x8000, 18},       {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20}, {0x38000, 0x8000, 21}, {0x40000, 0x8000, 22},       {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24}, {0x58000, 0x8000, 25}, {0x60000, 0x8000, 26},       {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28}, {0x78000, 0x8000, 29}, {0xFFFFFFFF, 0, kEndSector},
};

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",         "INVALID_COMMAND",
    "SRC_ADDR_ERROR",      "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",         "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",       "BUSY",
    "PARAM_ERROR",         "ADDR_ERROR",
    "ADDR_NOT_MAPPED",     "CMD_LOCKED",
    "INVALID_CODE",        "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED",
    kUnknownError,
};

NXPSerialClass::NXPSerialClass() : stream(nullptr), echo(true), baudRate(0), portName{}, deviceId{} {}

NXPSerialClass::~NXPSerialClass() {
  (void)Disconnect();
}

uint32_t NXPSerialClass::RateIndex(uint32_t requestedRate) {
  for (uint32_t i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
    if (kRates[i] >= requestedRate) return i;
  }
  return kFallbackRateIndex;
}

aErr NXPSerialClass::Connect(const char* port, uint32_t requestedRate) {
  if (!port) return aErrParam;
  (void)Disconnect();
  uint32_t index = RateIndex(requestedRate);
  baudRate = kRates[index];
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port, index, baudRate);
  aStreamRef opened = nullptr;
  aErr err = aStream_CreateSerial(port, index, false, 0, 0, &opened);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port, aError_GetErrorText(err));
    return err;
  }
  stream = opened;
  std::snprintf(portName, sizeof portName, "%s", port);
  return aErrNone;
}

aErr NXPSerialClass::Attach(aStreamRef attached, uint32_t rate) {
  if (!attached) return aErrParam;
  (void)Disconnect();
  stream = attached;
  baudRate = rate;
  portName[0] = '\0';
  return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
  if (stream) (void)aStream_Destroy(&stream);
  stream = nullptr;
  return aErrNone;
}

aErr NXPSerialClass::ReadByte(uint8_t* byte) {
  if (!stream) return aErrIO;
  return aStream_Read(stream, byte, 1);
}

aErr NXPSerialClass::Send(const char* text, bool readEcho) {
  if (!stream) return aErrIO;
  size_t length = std::strlen(text);
  Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", sHex(sBytes(text), length).c_str(),
           sPrintable(sBytes(text), length).c_str());
  aErr err = aStream_Write(stream, sBytes(text), length);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (readEcho && length > 1) return GetEcho(text, length - 1);
  return aErrNone;
}

aErr NXPSerialClass::SendCommand(const char* text, int waitMs) {
  if (!stream) return aErrIO;
  size_t length = std::strlen(text);
  Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", sHex(sBytes(text), length).c_str(),
           sPrintable(sBytes(text), length).c_str());
  aErr err = aStream_Write(stream, sBytes(text), length);
  if (waitMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
    aTime_MSSleep(waitMs);
  }
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (echo && length > 1) {
    size_t wanted = length - 1;
    size_t got = 0;
    int failures = 0;
    // Bytes that do not match are dropped; the same character is expected again.
    while (got < wanted && failures < kEchoTries) {
      uint8_t byte;
      if (ReadByte(&byte) != aErrNone) {
        ++failures;
        aTime_MSSleep(1);
        continue;
      }
      if (byte == static_cast<uint8_t>(text[got])) ++got;
    }
    Log::log(DEBUG_NXPSerial_E, "recv Echo:[%s]\n", sPrintable(sBytes(text), got).c_str());
    if (got < wanted)
      Log::log(DEBUG_NXPSerial, "Error SendCommand() bad echo [%d!=%d]\n", (int)got, (int)length);
  }
  return err;
}

aErr NXPSerialClass::GetEcho(const char* text, size_t count) {
  Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\n", sHex(sBytes(text), count).c_str(), (int)count);
  std::string matched;
  size_t got = 0;
  int failures = 0;
  aErr err = aErrNone;
  while (got < count && failures < kEchoTries) {
    uint8_t byte;
    err = ReadByte(&byte);
    if (err != aErrNone) {
      ++failures;
      Log::log(DEBUG_NXPSerial_E, ".");
      aTime_MSSleep(1);
      continue;
    }
    if (byte != static_cast<uint8_t>(text[got])) {
      Log::log(DEBUG_NXPSerial_E, " %.2X!=%.2X", byte, static_cast<uint8_t>(text[got]));
      continue;
    }
    char cell[4];
    std::snprintf(cell, sizeof cell, " %02X", byte);
    matched += cell;
    ++got;
  }
  Log::log(DEBUG_NXPSerial_E, "recv Echo:[%s]\n", matched.c_str());
  return err;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* count, int tries) {
  size_t stored = 0;
  bool sawCR = false;
  bool terminated = false;
  aErr err = aErrNone;
  while (!terminated && stored + 1 < size && tries > 0) {
    uint8_t byte;
    err = ReadByte(&byte);
    if (err != aErrNone) {
      --tries;
      Log::log(DEBUG_NXPSerial_SR, ".");
      aTime_MSSleep(1);
      continue;
    }
    if (stored == 0 && byte == '\n') {
      // The tail of the echo of the previous line.
      --tries;
      Log::log(DEBUG_NXPSerial_SR, ",");
      continue;
    }
    buffer[stored++] = static_cast<char>(byte);
    if (byte == '\n' && sawCR) terminated = true;
    sawCR = byte == '\r';
  }
  buffer[stored] = '\0';
  *count = stored;
  Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %d %s [%s]\n",
           sHex(sBytes(buffer), stored).c_str(), sPrintable(sBytes(buffer), stored).c_str(), (int)stored,
           terminated ? "term" : "non-term", aError_GetErrorText(err));
  if (err == aErrNone && !terminated) err = aErrTimeout;
  return err;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t* count, const char* expected,
                              size_t expectedSize) {
  uint32_t waitMs = WAIT_TIME_MS(static_cast<uint32_t>(expectedSize), baudRate) + kResponseMarginMs;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", (int)expectedSize,
           (int)baudRate, (int)waitMs);
  aTime_MSSleep(static_cast<int32_t>(waitMs));
  size_t limit = expected ? std::min(expectedSize, size - 1) : size - 1;
  size_t stored = 0;
  bool sawCR = false;
  bool terminated = false;
  int failures = 0;
  aErr err = aErrNone;
  while (!terminated && stored < limit) {
    uint8_t byte;
    err = ReadByte(&byte);
    if (err != aErrNone) {
      // A chip slower than the computed time still gets a bounded grace.
      Log::log(DEBUG_NXPSerial_E, ".");
      aTime_MSSleep(1);
      if (err == aErrNotReady && ++failures < kResponseTries) continue;
      break;
    }
    err = aErrNone;
    if (stored == 0 && (byte == '\r' || byte == '\n')) {
      Log::log(DEBUG_NXPSerial_E,
               byte == '\r' ? "Response ignoring leading \\r\n" : "Response ignoring leading \\n\n");
      continue;
    }
    if (stored < 3 && byte == 0) {
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      continue;
    }
    if (expected && stored < expectedSize && static_cast<uint8_t>(expected[stored]) != byte) {
      Log::log(DEBUG_NXPSerial_E,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
               (int)stored, byte, std::isprint(byte) ? byte : ' ',
               std::isprint(expected[stored]) ? expected[stored] : ' ',
               static_cast<uint8_t>(expected[stored]));
    }
    buffer[stored++] = static_cast<char>(byte);
    if (byte == '\n' && sawCR) terminated = true;
    sawCR = byte == '\r';
  }
  buffer[stored] = '\0';
  *count = stored;
  Log::log(DEBUG_NXPSerial_SR, "Response: [%s] [%s]\n", sHex(sBytes(buffer), stored).c_str(),
           sPrintable(sBytes(buffer), stored).c_str());
  return err;
}

long NXPSerialClass::ReturnCode(const char* line, size_t count, bool echoOn) {
  // An echoing chip may leave echo remnants before the code, so the code is
  // the run of digits just before "\r\n"; read as a whole so that "10" is
  // not taken for success.
  size_t end = count;
  while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
  size_t begin = 0;
  if (echoOn && count > 2) {
    begin = end;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(line[begin - 1]))) --begin;
  } else if (end == 0 || !std::isdigit(static_cast<unsigned char>(line[0]))) {
    return -1;
  } else {
    end = 1;
    while (end < count && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
  }
  if (begin == end || end - begin > 9) return -1;
  return std::strtol(std::string(line + begin, end - begin).c_str(), nullptr, 10);
}

aErr NXPSerialClass::Command(const char* text, const char* prefix, char* line, size_t lineSize) {
  lastReturnCode = -1;
  aErr err = SendCommand(text, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", prefix,
             sPrintable(sBytes(text), strlen(text)).c_str(), aError_GetErrorText(err));
    return err;
  }
  size_t count = 0;
  err = GetLine(line, lineSize, &count, kCommandTries);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", prefix, aError_GetErrorText(err));
    return err;
  }
  lastReturnCode = ReturnCode(line, count, echo);
  if (lastReturnCode != 0) {
    Log::log(DEBUG_NXPSerial, "%sError response ==>[%s]\n", prefix, GetErrorText(line));
    return aErrParam;
  }
  return aErrNone;
}

aErr NXPSerialClass::ReadNumberLine(unsigned long long* value) {
  char line[kLineSize];
  size_t count = 0;
  aErr err = GetLine(line, sizeof line, &count, kCommandTries);
  if (err != aErrNone) return err;
  char* end = nullptr;
  *value = std::strtoull(line, &end, 0);
  return end == line ? aErrParse : aErrNone;
}

aErr NXPSerialClass::Sync() {
  char buffer[kLineSize];
  size_t count = 0;
  aErr err = Send("?", false);
  if (err != aErrNone) return err;
  static const char kSynchronized[] = "Synchronized\r\n";
  err = Response(buffer, sizeof buffer, &count, kSynchronized, sizeof kSynchronized - 1);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial,
             "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             aError_GetErrorText(err), buffer);
    return err;
  }
  if (std::strcmp(buffer, kSynchronized) != 0)
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", buffer);

  err = Send(kSynchronized, false);
  if (err != aErrNone) return err;
  err = Response(buffer, sizeof buffer, &count, kSynchronized, sizeof kSynchronized - 2);
  if (err != aErrNone) return err;
  static const char kOK[] = "OK\r\n";
  err = Response(buffer, sizeof buffer, &count, kOK, sizeof kOK - 1);
  bool okSeen = std::strncmp(buffer, "OK", 2) == 0;
  if (!okSeen) Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer, kOK);

  char crystal[16];
  std::snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(std::lround(CRYSTAL_DEFAULT * 1000.0f)));
  err = Send(crystal, false);
  if (err != aErrNone) return err;
  err = Response(buffer, sizeof buffer, &count, crystal, std::strlen(crystal) - 1);
  if (err != aErrNone) return err;
  err = Response(buffer, sizeof buffer, &count, kOK, sizeof kOK - 1);
  if (!okSeen) return aErrIO;
  if (err == aErrNone && std::strncmp(buffer, "OK", 2) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", buffer, kOK);
    return aErrIO;
  }
  return err;
}

aErr NXPSerialClass::GetDeviceID() {
  char line[kLineSize];
  // A chip that refuses N (read protection) or stops mid-answer must not
  // hand back a fingerprint made of whatever was in deviceId.
  aErr err = Command("N\r\n", "", line, sizeof line);
  if (err != aErrNone) return err;
  uint32_t words[4];
  for (uint32_t& word : words) {
    unsigned long long value = 0;
    err = ReadNumberLine(&value);
    if (err != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Error reading device id [%s]\n", aError_GetErrorText(err));
      return err;
    }
    word = static_cast<uint32_t>(value);
  }
  std::memcpy(deviceId, words, sizeof deviceId);
  Log::log(DEBUG_NXPSerial, "Device ID: %08X %08X %08X %08X\n", deviceId[0], deviceId[1], deviceId[2],
           deviceId[3]);
  return aErrNone;
}

aErr NXPSerialClass::Unlock() {
  char text[32];
  char line[kLineSize];
  std::snprintf(text, sizeof text, "U %u\r\n", kUnlockCode);
  return Command(text, "", line, sizeof line);
}

aErr NXPSerialClass::SetEcho(bool on) {
  char text[16];
  char line[kLineSize];
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  std::snprintf(text, sizeof text, "A %d\r\n", on ? 1 : 0);
  aErr err = Command(text, "", line, sizeof line);
  if (err == aErrNone) echo = on;
  return err;
}

aErr NXPSerialClass::Prepare(uint32_t firstSector, uint32_t lastSector) {
  if (lastSector < firstSector) return aErrParam;
  char text[32];
  char line[kLineSize];
  std::snprintf(text, sizeof text, "P %u %u\r\n", firstSector, lastSector);
  return Command(text, "", line, sizeof line);
}

aErr NXPSerialClass::Erase(uint32_t firstSector, uint32_t lastSector) {
  if (lastSector < firstSector) return aErrParam;
  char text[32];
  char line[kLineSize];
  std::snprintf(text, sizeof text, "E %u %u\r\n", firstSector, lastSector);
  return Command(text, "", line, sizeof line);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count) {
  if (flashAddress % kFlashPageSize != 0 ||
      std::find(std::begin(kFlashCopySizes), std::end(kFlashCopySizes), count) == std::end(kFlashCopySizes)) {
    return aErrParam;
  }
  char text[64];
  char line[kLineSize];
  std::snprintf(text, sizeof text, "C %u %u %u\r\n", flashAddress, ramAddress, count);
  return Command(text, "", line, sizeof line);
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  char text[32];
  char line[kLineSize];
  std::snprintf(text, sizeof text, "G %u T\r\n", address);
  return Command(text, "", line, sizeof line);
}

aErr NXPSerialClass::SetBaudRate(uint32_t rate) {
  char text[32];
  char line[kLineSize];
  std::snprintf(text, sizeof text, "B %u %u\r\n", rate, kStopBits);
  aErr err = Command(text, "", line, sizeof line);
  if (err != aErrNone) return err;
  // The chip answers at the old rate and then switches; follow it.
  if (portName[0] != '\0') {
    std::string port = portName;
    return Connect(port.c_str(), rate);
  }
  baudRate = rate;
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(uint64_t* partNumber) {
  if (!partNumber) return aErrParam;
  char line[kLineSize];
  aErr err = Command("J\r\n", "", line, sizeof line);
  if (err != aErrNone) return err;
  unsigned long long value = 0;
  err = ReadNumberLine(&value);
  if (err == aErrNone) *partNumber = value;
  return err;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t* major, uint8_t* minor) {
  if (!major || !minor) return aErrParam;
  char line[kLineSize];
  aErr err = Command("K\r\n", "", line, sizeof line);
  if (err != aErrNone) return err;
  // The chip sends the minor byte (byte 0) first, then the major.
  unsigned long long first = 0;
  unsigned long long second = 0;
  err = ReadNumberLine(&first);
  if (err == aErrNone) err = ReadNumberLine(&second);
  if (err != aErrNone) return err;
  *minor = static_cast<uint8_t>(first);
  *major = static_cast<uint8_t>(second);
  return aErrNone;
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* bytes) {
  if (count == 0 || count % 4 != 0 || !bytes) return aErrParam;
  char text[64];
  char line[kLineSize];
  std::snprintf(text, sizeof text, "W %u %u\r\n", address, count);
  aErr err = Command(text, "Write() ", line, sizeof line);
  if (err != aErrNone) return err;

  uint32_t confirmed = 0;
  int retries = 0;
  while (confirmed < count) {
    uint32_t position = confirmed;
    for (int lines = 0; lines < LINES_PER_CHECKSUM && position < count; ++lines) {
      size_t n = std::min<size_t>(MAX_BYTES_PER_LINE, count - position);
      char encoded[kMaxEncodedLine + 1];
      uuencode(bytes + position, n, encoded);
      err = Send(encoded, echo);
      if (err == aErrNone) err = Send("\r\n", echo);
      if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", encoded,
                 aError_GetErrorText(err));
        return err;
      }
      position += static_cast<uint32_t>(n);
    }
    uint32_t checksum = sum(bytes + confirmed, position - confirmed);
    char checksumText[16];
    std::snprintf(checksumText, sizeof checksumText, "%u\r\n", checksum);
    Log::log(DEBUG_NXPSerial_E, "Write() Checksum: %08X (%d)\n", checksum, (int)checksum);
    err = Send(checksumText, echo);
    if (err != aErrNone) {
      Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", "checksum",
               aError_GetErrorText(err));
      return err;
    }
    uint32_t started = aTime_GetMSTicks();
    size_t got = 0;
    err = GetLine(line, sizeof line, &got, kChecksumTries);
    Log::log(DEBUG_NXPSerial_E, "Write() waited for checksum %d ms\n",
             (int)(aTime_GetMSTicks() - started + 1));
    if (err != aErrNone && err != aErrTimeout) return err;
    if (std::strcmp(line, "OK\r\n") == 0) {
      confirmed = position;
      Log::log(DEBUG_NXPSerial_E, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", (int)confirmed,
               (int)count, 100.0 * confirmed / count);
    } else if (std::strcmp(line, "RESEND\r\n") == 0) {
      if (++retries >= MAX_READ_RETRY) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        return aErrTimeout;
      }
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", line);
      return aErrIO;
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* buffer) {
  if (count == 0 || count % 4 != 0 || !buffer) return aErrParam;
  char text[64];
  char line[kLineSize];
  std::snprintf(text, sizeof text, "R %u %u\r\n", address, count);
  aErr err = Command(text, "", line, sizeof line);
  if (err != aErrNone) return err;

  uint32_t confirmed = 0;
  int retries = 0;
  while (confirmed < count) {
    uint32_t position = confirmed;
    size_t got = 0;
    for (int lines = 0; lines < LINES_PER_CHECKSUM && position < count; ++lines) {
      err = GetLine(line, sizeof line, &got, kCommandTries);
      if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", aError_GetErrorText(err));
        return err;
      }
      size_t length = got >= 2 ? got - 2 : got;
      size_t decoded = uudecode(line, length, buffer + position, count - position);
      if (decoded == 0) {
        Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", line);
        return aErrIO;
      }
      position += static_cast<uint32_t>(decoded);
    }
    err = GetLine(line, sizeof line, &got, kCommandTries);
    if (err != aErrNone) return err;
    char* end = nullptr;
    unsigned long long announced = std::strtoull(line, &end, 10);
    if (end != line && announced == sum(buffer + confirmed, position - confirmed)) {
      bool more = position < count;
      err = Send("OK\r\n", false);
      if (err == aErrNone && echo) err = GetEcho(more ? "OK\r" : "OK\r\n", more ? 3 : 4);
      if (err != aErrNone) return err;
      confirmed = position;
      Log::log(DEBUG_NXPSerial_E, "valid receipt of %d of %d (%.0f%%) bytes\n", (int)confirmed, (int)count,
               100.0 * confirmed / count);
    } else {
      if (++retries >= MAX_READ_RETRY) {
        Log::log(DEBUG_NXPSerial, "Read() exceeded retries\n");
        return aErrTimeout;
      }
      err = Send("RESEND\r\n", echo);
      if (err != aErrNone) return err;
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::AwaitQuiet() {
  const uint32_t limitMs = 2 * WAIT_TIME_MS(kReadBlockChars, baudRate) + kSettleMarginMs;
  const uint32_t started = aTime_GetMSTicks();
  uint32_t lastByte = started;
  size_t dropped = 0;
  for (;;) {
    uint8_t byte;
    const aErr err = ReadByte(&byte);
    const uint32_t now = aTime_GetMSTicks();
    if (err == aErrNone) {
      lastByte = now;
      ++dropped;
    } else if (err != aErrNotReady) {
      return err;
    } else if (now - lastByte >= kQuietMs) {
      Log::log(DEBUG_NXPSerial_E, "Settle() dropped %d bytes\n", static_cast<int>(dropped));
      return aErrNone;
    } else {
      aTime_MSSleep(1);
    }
    if (now - started >= limitMs) {
      Log::log(DEBUG_NXPSerial, "Settle() the line did not go quiet in %u ms\n", limitMs);
      return aErrTimeout;
    }
  }
}

aErr NXPSerialClass::Settle() {
  if (!stream) return aErrIO;
  aErr err = AwaitQuiet();
  // A line other than OK or RESEND ends a read the chip waits to have
  // acknowledged; in command mode an empty line at most draws an error code.
  if (err == aErrNone) err = Send("\r\n", false);
  if (err == aErrNone) err = AwaitQuiet();
  lastReturnCode = -1;
  return err;
}

aErr NXPSerialClass::ProgramFlash(uint32_t flashAddress, const uint8_t* bytes, uint32_t count) {
  if (!bytes || count == 0 || flashAddress % kFlashPageSize != 0) return aErrParam;
  uint8_t staging[kChunkSize];
  for (uint32_t done = 0; done < count; done += kChunkSize) {
    uint32_t chunk = std::min(kChunkSize, count - done);
    uint32_t copy = CopyLength(chunk);
    std::memcpy(staging, bytes + done, chunk);
    std::fill(staging + chunk, staging + copy, kErasedByte);
    uint32_t target = flashAddress + done;
    // The copy covers copy bytes, so every sector they touch is prepared.
    aErr err = Write(WRITE_ADDRESS, copy, staging);
    if (err == aErrNone) err = Prepare(SectorFromAddress(target), SectorFromAddress(target + copy - 1));
    if (err == aErrNone) err = CopyToFlash(target, WRITE_ADDRESS, copy);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address) {
  for (const Sector* s = NXP_LPC17XX_sectors; s->size != 0; ++s) {
    if (address >= s->start && address - s->start < s->size) return s->number;
  }
  return kEndSector;
}

uint32_t NXPSerialClass::CopyLength(uint32_t n) {
  for (uint32_t size : kFlashCopySizes) {
    if (n <= size) return size;
  }
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", (int)n);
  return n;
}

const char* NXPSerialClass::GetErrorText(const char* line) {
  if (!line) return kUnknownError;
  char* end = nullptr;
  long code = std::strtol(line, &end, 0);
  if (end == line || code < 0 || code > MAX_ERROR) return kUnknownError;
  return ERROR_TEXT[code];
}

uint32_t NXPSerialClass::sum(const uint8_t* bytes, size_t count) {
  uint32_t total = 0;
  for (size_t i = 0; i < count; ++i) total += bytes[i];
  return total;
}

size_t NXPSerialClass::uuencode(const uint8_t* bytes, size_t count, char* out) {
  count = std::min(count, MAX_BYTES_PER_LINE);
  size_t o = 0;
  out[o++] = static_cast<char>(count + 32);
  for (size_t i = 0; i < count; i += 3) {
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) group = group << 8 | (i + k < count ? bytes[i + k] : 0);
    out[o++] = sUU(group >> 18 & 0x3F);
    out[o++] = sUU(group >> 12 & 0x3F);
    out[o++] = sUU(group >> 6 & 0x3F);
    out[o++] = sUU(group & 0x3F);
  }
  out[o] = '\0';
  return o;
}

size_t NXPSerialClass::uudecode(const char* line, size_t length, uint8_t* out, size_t room) {
  if (!line || length == 0) return 0;
  size_t expected = static_cast<size_t>((static_cast<uint8_t>(line[0]) - 32) & 0x3F);
  if (expected > room) return 0;
  size_t produced = 0;
  for (size_t i = 1; produced < expected; i += 4) {
    if (i + 4 > length) {
      Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
      break;
    }
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k) group = group << 6 | ((static_cast<uint8_t>(line[i + k]) - 32) & 0x3F);
    for (int shift = 16; shift >= 0 && produced < expected; shift -= 8) {
      out[produced++] = static_cast<uint8_t>(group >> shift);
    }
  }
  return produced;
}
