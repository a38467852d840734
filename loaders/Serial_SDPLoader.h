// SDP transport over a POSIX serial device (the i.MX boot ROM's UART at
// 115200 bit/s, raw 8N1). A serial line has no report ids: the id byte of
// each report is dropped, and answers are the raw bytes, the ROM's 4-byte
// security word followed by the status or value.
#ifndef CORVALITH_LOADERS_SERIAL_SDPLOADER_H
#define CORVALITH_LOADERS_SERIAL_SDPLOADER_H

#include <cstddef>
#include <memory>

#include "loaders/SDPLoader_Interface.h"

class PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // Time the line is left to settle after it is configured, in ms.
  static constexpr int kSettleMs = 1000;
  // Caps on one readData after its wait: bytes taken, and time spent
  // draining a line that keeps sending, in ms.
  static constexpr size_t kMaxAnswerBytes = 4096;
  static constexpr int kMaxDrainMs = 200;
  // Longest a writeData keeps retrying a full line, in ms.
  static constexpr int kWriteTimeoutMs = 2000;

  // path is not copied: the caller keeps it alive while the transport lives.
  explicit Serial_SDPLoader(const char* path);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  // Opens and configures the device; false when it cannot be opened, is not
  // a terminal or refuses the settings.
  [[nodiscard]] bool init() override;
  // Writes the report without its id byte: the bytes written, negative when
  // the device failed or stayed full for kWriteTimeoutMs.
  [[nodiscard]] ssize_t writeData(const std::vector<uint8_t>& bytes) override;
  // Waits timeoutMs, then takes what has arrived (within the caps above):
  // the count, 0 when nothing came, negative on a read error.
  [[nodiscard]] ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) override;
  // Word index at bytes 4+4i..7+4i, least significant first; the answer
  // must hold all of them.
  [[nodiscard]] bool getDataFromBuffer(const std::vector<uint8_t>& bytes, int index, uint32_t& out) override;

 private:
  std::unique_ptr<PrivateSerial_SDPLoader> d_;
};

#endif
