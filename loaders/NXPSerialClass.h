// Client for the serial in-system programming protocol of the LPC17xx boot
// ROM: ASCII commands ended by "\r\n", numeric return codes, UUencoded data
// lines with decimal checksums. The recovery flow uses it to read the chip's
// unique serial number and to erase and reprogram its flash.
//
// Every operation returns an aErr: aErrNone on success, aErrParam for a
// refused argument or a non-zero return code from the chip, aErrIO for an
// unexpected answer, aErrTimeout when a transfer ran out of retries, or the
// stream's own error. Every wait on the port is bounded by a try count of
// 1 ms polls.
#ifndef CORVALITH_LOADERS_NXPSERIALCLASS_H
#define CORVALITH_LOADERS_NXPSERIALCLASS_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"
#include "common/aStream.h"

// Milliseconds that n bytes plus two take at rate bit/s, 9 bits each, plus 1.
[[nodiscard]] uint32_t WAIT_TIME_MS(uint32_t n, uint32_t rate);

class NXPSerialClass {
 public:
  static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz
  static constexpr size_t MAX_BYTES_PER_LINE = 45;
  static constexpr int LINES_PER_CHECKSUM = 20;
  static constexpr int MAX_READ_RETRY = 3;
  static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
  static constexpr int MAX_ERROR = 20;
  static constexpr size_t kPortNameSize = 2048;
  // Supported rates by stream baud index.
  static constexpr uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  static constexpr uint32_t kFallbackRateIndex = 2;
  // Try budgets, one try = one failed 1 ms poll of the port.
  static constexpr int kCommandTries = 100;
  static constexpr int kChecksumTries = 2000;
  static constexpr int kEchoTries = 100;
  static constexpr int kResponseTries = 100;
  // Silence that tells a chip has stopped sending. The wait for it is bounded
  // by twice the time of a whole read block (its lines and checksum) at the
  // port's rate, plus a margin.
  static constexpr uint32_t kQuietMs = 50;
  static constexpr uint32_t kSettleMarginMs = 1000;
  // Margin in ms added to the transmission time before reading a response.
  static constexpr uint32_t kResponseMarginMs = 20;
  // Longest line the client stores (a 61-character data line with its "\r\n"
  // fits with room to spare).
  static constexpr size_t kLineSize = 128;
  // Characters of one UUencoded line of MAX_BYTES_PER_LINE bytes.
  static constexpr size_t kMaxEncodedLine = 1 + (MAX_BYTES_PER_LINE + 2) / 3 * 4;
  // Characters of one read block: its lines, each with "\r\n", and the checksum line.
  static constexpr uint32_t kReadBlockChars = LINES_PER_CHECKSUM * (kMaxEncodedLine + 2) + 12;
  static constexpr uint32_t kFlashCopySizes[] = {256, 512, 1024, 4096};
  static constexpr uint32_t kFlashPageSize = 256;
  static constexpr uint32_t kUnlockCode = 23130;
  static constexpr uint32_t kChunkSize = 4096;
  static constexpr uint8_t kErasedByte = 0xFF;

  struct Sector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
  };
  static const Sector NXP_LPC17XX_sectors[];
  static const char* const ERROR_TEXT[MAX_ERROR + 1];

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  // Opens the port at the smallest supported rate not below the requested
  // one (9600 above 230400). The port's open error when it cannot be opened.
  [[nodiscard]] aErr Connect(const char* port, uint32_t requestedRate);
  // Takes over an already open stream (another transport, a test script)
  // running at rate bit/s. aErrParam for a null stream.
  [[nodiscard]] aErr Attach(aStreamRef stream, uint32_t rate);
  // Closes the stream; always aErrNone.
  [[nodiscard]] aErr Disconnect();

  [[nodiscard]] aErr Sync();
  [[nodiscard]] aErr GetDeviceID();
  [[nodiscard]] aErr Unlock();
  [[nodiscard]] aErr SetEcho(bool on);
  [[nodiscard]] aErr Prepare(uint32_t firstSector, uint32_t lastSector);
  [[nodiscard]] aErr Erase(uint32_t firstSector, uint32_t lastSector);
  [[nodiscard]] aErr Write(uint32_t address, uint32_t count, const uint8_t* bytes);
  [[nodiscard]] aErr CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
  [[nodiscard]] aErr ExecuteFrom(uint32_t address);
  [[nodiscard]] aErr Read(uint32_t address, uint32_t count, uint8_t* buffer);
  // Brings the line back to a known state after an answer broke off: waits
  // until the chip has been quiet for kQuietMs, ends a read the chip may
  // still hold open with an empty line, and waits for quiet again.
  // aErrTimeout when the line never goes quiet.
  [[nodiscard]] aErr Settle();
  // On success the port is reopened at the new rate when this object opened it.
  [[nodiscard]] aErr SetBaudRate(uint32_t rate);
  [[nodiscard]] aErr GetPartNumber(uint64_t* partNumber);
  [[nodiscard]] aErr GetBootLoaderVersion(uint8_t* major, uint8_t* minor);
  // Programs count bytes at flashAddress (a multiple of 256) in chunks of
  // kChunkSize staged at WRITE_ADDRESS: Write, Prepare, CopyToFlash. The
  // sectors must be erased and the chip unlocked. A short last chunk is
  // padded with 0xFF up to its copy length, so no byte of the chunk before
  // it reaches the flash. The first failing command's result.
  [[nodiscard]] aErr ProgramFlash(uint32_t flashAddress, const uint8_t* bytes, uint32_t count);

  // Stream baud index for a requested rate (see Connect).
  [[nodiscard]] static uint32_t RateIndex(uint32_t requestedRate);
  // Sector of the address; 30 beyond the table.
  [[nodiscard]] static uint32_t SectorFromAddress(uint32_t address);
  // Smallest copy size that holds n bytes; n itself (refused by CopyToFlash)
  // above 4096.
  [[nodiscard]] static uint32_t CopyLength(uint32_t n);
  // Text of a return-code line; "Unknown error" outside the table.
  [[nodiscard]] static const char* GetErrorText(const char* line);
  [[nodiscard]] static uint32_t sum(const uint8_t* bytes, size_t count);
  // Encodes up to MAX_BYTES_PER_LINE bytes into out (room for
  // kMaxEncodedLine + 1 characters, zero-terminated); the line's length.
  static size_t uuencode(const uint8_t* bytes, size_t count, char* out);
  // Decodes one line (without "\r\n") into out; the bytes decoded, 0 when
  // the line's count exceeds room.
  [[nodiscard]] static size_t uudecode(const char* line, size_t length, uint8_t* out, size_t room);
  // Return code of an answer line as the client reads it: -1 when the line
  // holds no number. echoOn selects the position rule of an echoing chip.
  [[nodiscard]] static long ReturnCode(const char* line, size_t count, bool echoOn);

  [[nodiscard]] bool Echo() const { return echo; }
  [[nodiscard]] uint32_t BaudRate() const { return baudRate; }
  [[nodiscard]] const uint32_t* DeviceId() const { return deviceId; }
  [[nodiscard]] bool IsConnected() const { return stream != nullptr; }
  // Return code of the last command the chip answered; -1 when it was not
  // sent or no answer arrived. Tells a refusal such as code read protection
  // (19) apart from a broken line.
  [[nodiscard]] long LastReturnCode() const { return lastReturnCode; }

 private:
  [[nodiscard]] aErr Send(const char* text, bool readEcho);
  [[nodiscard]] aErr SendCommand(const char* text, int waitMs);
  [[nodiscard]] aErr GetEcho(const char* text, size_t count);
  [[nodiscard]] aErr GetLine(char* buffer, size_t size, size_t* count, int tries);
  [[nodiscard]] aErr Response(char* buffer, size_t size, size_t* count, const char* expected,
                              size_t expectedSize);
  // Sends the command and reads its return-code line; aErrParam for a
  // non-zero code, logged with prefix.
  [[nodiscard]] aErr Command(const char* text, const char* prefix, char* line, size_t lineSize);
  [[nodiscard]] aErr ReadNumberLine(unsigned long long* value);
  [[nodiscard]] aErr ReadByte(uint8_t* byte);
  [[nodiscard]] aErr AwaitQuiet();

  aStreamRef stream;
  bool echo;
  uint32_t baudRate;
  char portName[kPortNameSize];
  uint32_t deviceId[4];
  long lastReturnCode = -1;
};

#endif
