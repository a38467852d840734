// The protocol side of the simulated i.MX boot ROM: decoded SDP commands and
// image data in, answers out, with the memory and the record of what came.
// Front ends (a pseudo-terminal, an emulated HID node) frame the bytes. It
// keeps its own decoding: nothing here comes from the client it checks.
#ifndef CORVALITH_SIM_SDPROM_SDPROM_H
#define CORVALITH_SIM_SDPROM_SDPROM_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace sdprom {

constexpr size_t kCommandSize = 16;
constexpr uint32_t kHabOpen = 0x56787856;
constexpr uint32_t kHabClosed = 0x12343412;
constexpr uint32_t kStatusAck = 0xF0F0F0F0;
constexpr uint32_t kStatusFileComplete = 0x88888888;
constexpr uint32_t kStatusRegisterWritten = 0x128A8A12;
constexpr uint32_t kStatusSkipDcd = 0x900DD009;
// This ROM's word for a refused transfer or jump (bad address, closed part).
constexpr uint32_t kStatusFailed = 0x33333333;

struct RamRegion {
  uint32_t start;
  uint64_t size;
};

struct RomOptions {
  std::map<uint32_t, uint32_t> registers;
  std::vector<RamRegion> ram;
  bool hasJumpStatus = false;
  uint32_t jumpStatus = 0;
  // Faults.
  bool silent = false;
  long long earlyAfterBytes = -1;  // answer during WRITE_FILE once this many data bytes came
  bool hasFinalStatus = false;
  uint32_t finalStatus = 0;
  bool closed = false;
};

// One answer as the ROM sends it: the security word, or a status / data
// block. Serial sends them back to back; HID sends report 3 and reports 4.
struct Answer {
  bool security;
  std::vector<uint8_t> bytes;
};

struct CommandRecord {
  uint16_t type;
  uint32_t address;
  uint8_t format;
  uint32_t count;
  uint32_t data;
};

class Rom {
 public:
  explicit Rom(const RomOptions& options);

  // True for the two type bytes of a command this ROM knows.
  static bool knownType(const uint8_t* command);
  static const char* typeName(uint16_t type);

  void onCommand(const uint8_t* command);
  // Image, DCD or nothing: data bytes of the transfer in progress.
  void onData(const uint8_t* bytes, size_t count);
  // Data bytes the transfer in progress still expects.
  uint64_t dataExpected() const { return xferLeft_; }

  std::deque<Answer>& answers() { return answers_; }
  // True once a JUMP_ADDRESS was taken: the image runs.
  bool jumped() const { return jumped_; }
  // The JSON dump; extra (when not empty) is one more member, written as is
  // after the others.
  bool writeState(const std::string& path, const std::string& extra = std::string()) const;

 private:
  enum class Xfer { None, File, Dcd };
  struct Page {
    std::vector<uint8_t> bytes;
    std::vector<bool> written;
  };

  void answer(bool security, const std::vector<uint8_t>& bytes);
  void sendSecurity();
  void sendWord(uint32_t word);
  bool inRam(uint32_t address) const;
  bool store(uint32_t address, uint8_t byte);
  uint8_t load(uint32_t address) const;
  void finishTransfer();
  void runDcd(const std::vector<uint8_t>& dcd);
  void writeRegister(uint32_t address, uint32_t value, unsigned width);

  RomOptions opt_;
  std::deque<Answer> answers_;
  std::map<uint32_t, Page> pages_;
  std::vector<CommandRecord> commands_;
  uint32_t lastStatus_ = kStatusAck;
  // Transfer in progress.
  Xfer xfer_ = Xfer::None;
  uint32_t xferAddress_ = 0;
  uint64_t xferLeft_ = 0;
  uint64_t xferReceived_ = 0;
  bool xferRefused_ = false;
  bool xferAnsweredEarly_ = false;
  std::vector<uint8_t> dcd_;
  uint64_t dataBytes_ = 0;
  bool jumped_ = false;
  uint32_t jumpAddress_ = 0;
};

}  // namespace sdprom

#endif
