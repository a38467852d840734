// Engine of NXP's Serial Download Protocol as the recovery flow uses it: it
// checks that an i.MX boot ROM answers, writes a loader image into the
// processor's RAM, starts it, and reads the processor's unique id from its
// fuses. Commands go out as 17-byte reports (report id 1 and the 16-byte SDP
// command, multi-byte fields most significant byte first); image data as
// reports of id 2 with up to 1024 bytes. The transport below decides how
// reports reach the ROM.
//
// Results: kSuccess (0); kNoTransport (1) no transport set; kNoAnswer (2) the
// ROM did not answer ERROR_STATUS; kDataDuringTransfer (3) the ROM spoke (or
// the transport failed) in the middle of an image transfer;
// kTransferIncomplete (4) the final status was not "complete" or a report
// could not be sent; kInitFailed (6) the transport did not open;
// kRegisterUnreadable (7) a fuse word could not be read.
#ifndef CORVALITH_LOADERS_SDPLOADER_H
#define CORVALITH_LOADERS_SDPLOADER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "loaders/SDPLoader_Interface.h"

class SDPLoader {
 public:
  enum Result : int {
    kSuccess = 0,
    kNoTransport = 1,
    kNoAnswer = 2,
    kDataDuringTransfer = 3,
    kTransferIncomplete = 4,
    kInitFailed = 6,
    kRegisterUnreadable = 7,
  };

  static constexpr size_t kCommandSize = 17;
  static constexpr size_t kMaxDataPerReport = 1024;
  static constexpr uint8_t kCommandReportId = 1;
  static constexpr uint8_t kDataReportId = 2;
  static constexpr uint32_t kStatusAck = 0xF0F0F0F0;
  static constexpr uint32_t kStatusComplete = 0x88888888;
  static constexpr uint8_t kFormat32 = 0x20;
  // One-time-programmable fuse words holding the processor's unique id.
  static constexpr uint32_t kUidLowRegister = 0x401F4410;
  static constexpr uint32_t kUidHighRegister = 0x401F4420;
  static constexpr int kConnectTries = 5;
  static constexpr int kAnswerTimeoutMs = 100;

  SDPLoader() = default;
  ~SDPLoader() = default;
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes the transport when it is not null and none is set yet (true);
  // otherwise false, and a transport passed in is destroyed.
  [[nodiscard]] bool setLoader(std::unique_ptr<SDPLoader_Interface> transport);
  // kSuccess, kInitFailed or kNoTransport.
  [[nodiscard]] int init();
  // Writes image to the target's memory at address: kSuccess, kNoTransport,
  // kNoAnswer, kDataDuringTransfer or kTransferIncomplete.
  [[nodiscard]] int writeLoader(const std::vector<uint8_t>& image, uint32_t address);
  // Jumps to address; the ROM's answer is only logged.
  void startLoader(uint32_t address);
  // ORs the fuse words into out (low word from 0x401F4410, high word from
  // 0x401F4420): kSuccess, kNoTransport, kNoAnswer or kRegisterUnreadable.
  [[nodiscard]] int getFingerprint(uint64_t& out);

 private:
  [[nodiscard]] bool _isConnectionAlive();
  [[nodiscard]] bool _expectAck(const std::vector<uint8_t>& answer);
  [[nodiscard]] bool _expectResponse(const std::vector<uint8_t>& answer);
  [[nodiscard]] bool _expectSuccess(const std::vector<uint8_t>& answer);
  // Reads the 32-bit register at address into value; false when no word came.
  [[nodiscard]] bool _readRegister(uint32_t address, uint32_t& value);
  // Sends a command and reads its answer (time-out kAnswerTimeoutMs),
  // logging both as the connection check and the register read do.
  [[nodiscard]] std::vector<uint8_t> _exchange(const std::vector<uint8_t>& command);
  static void _fillCommand(std::vector<uint8_t>& report, uint8_t type, uint32_t address, uint8_t format,
                           uint32_t count, uint32_t data);
  static void _printBuffer(const std::vector<uint8_t>& bytes);
  [[nodiscard]] static std::vector<uint8_t> _createStatusPacket();
  [[nodiscard]] static std::vector<uint8_t> _createWriteFilePacket(uint32_t address, uint32_t length);
  [[nodiscard]] static std::vector<uint8_t> _create4ByteReadRegisterPacket(uint32_t address);
  [[nodiscard]] static std::vector<uint8_t> _createJumpPacket(uint32_t address);

  std::unique_ptr<SDPLoader_Interface> transport_;
};

#endif
