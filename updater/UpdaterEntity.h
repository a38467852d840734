// The host side of a module's firmware upgrade entity (command class 0x5F):
// one object per transfer phase (loader, then firmware), bound to one
// connected Module, with one operation per protocol step. Requests and
// replies are raw packets matched on their first two data bytes, every
// reply awaited for the link's reply time (1000 ms); numbers on the wire are
// most significant byte first. Every step logs under DEBUG_Network_FIRM.
#ifndef CORVALITH_UPDATER_UPDATERENTITY_H
#define CORVALITH_UPDATER_UPDATERENTITY_H

#include <cstdint>

#include "common/aErr.h"
#include "cpp/EntityClass.h"
#include "updater/report/UpdaterDisplayInterface.h"

namespace Tessaron {
namespace Corvalith {
class Module;
}
}  // namespace Tessaron

// The upgrade command and its options (the byte after the command).
constexpr uint8_t cmdUPGRADE = 0x5F;
constexpr uint8_t val_UPGRADE_INIT = 0;
constexpr uint8_t val_UPGRADE_DATA = 1;
constexpr uint8_t val_UPGRADE_LOAD = 2;
constexpr uint8_t val_UPGRADE_PREPARE = 3;
constexpr uint8_t val_UPGRADE_SUM = 4;
constexpr uint8_t val_UPGRADE_WRITE = 5;
constexpr uint8_t val_UPGRADE_REBOOT = 6;
constexpr uint8_t val_UPGRADE_STATUS = 7;
constexpr uint8_t val_UPGRADE_DATA_UEI = 10;

class UpdaterEntity : public Tessaron::Corvalith::EntityClass {
 public:
  // Payload bytes in one DATA packet: a 28-byte packet less command and option.
  static constexpr uint32_t kDataPayload = 26;
  // Sends of one DATA packet whose accepted count is wrong, before aErrPacket.
  static constexpr int kDataResendLimit = 10;
  // Reconnection after a LOAD without reply: attempts and pause between, ms.
  static constexpr int kReconnectAttempts = 5;
  static constexpr int32_t kLoaderStartReconnectDelayMs = 500;
  // Wait for the link to drop after REBOOT: polling step and bound, ms.
  static constexpr int32_t kRebootPollMs = 250;
  static constexpr int32_t kRebootDropTimeoutMs = 30000;

  UpdaterEntity() = default;
  ~UpdaterEntity() override;

  void init(Tessaron::Corvalith::Module* module, uint8_t index, bool validate, bool noWaitOnReboot);

  // INIT. The receive's error; aErrPacket for a reply of 5 data bytes or fewer.
  [[nodiscard]] aErr LoaderInit();
  // PREPARE for the block (address first). On success *blockSize is the size
  // the module grants. The receive's error (typically aErrTimeout);
  // aErrInvalidOption for a non-zero status or a short reply.
  [[nodiscard]] aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags,
                                     uint16_t* blockSize);
  // The loader payload (after the address) in one validated chunk.
  [[nodiscard]] aErr LoaderTransfer(const uint8_t* data, uint32_t length);
  // The firmware payload in chunks of blockSize, each validated then
  // written. aErrInvalidOption for a block size of 0 or a failed write; the
  // chunk's transfer error otherwise.
  [[nodiscard]] aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                      UpdaterDisplayInterface& display);
  // WRITE of n bytes. The send's error; aErrInvalidOption for no reply or a
  // non-zero status.
  [[nodiscard]] aErr FirmwareWrite(uint16_t n);
  // LOAD, with one reconnection when no reply comes. aErrTimeout when the
  // module cannot be reached again or does not answer after it.
  [[nodiscard]] aErr LoaderStart();
  // REBOOT, then waits (at most kRebootDropTimeoutMs) for the link to drop.
  // The send's result.
  [[nodiscard]] aErr LoaderReboot(UpdaterDisplayInterface& display);
  // Whether the module takes the data as a UEI-bytes set; sets useUEIData.
  // aErrNone when it does, aErrUnimplemented when the module says it does
  // not, else the query's transport error.
  [[nodiscard]] aErr CheckUEIDataSupport();
  // Switches the link to pooled packets when protocol features bit 31 is
  // set. The features read's error; aErrConnection without a link.
  [[nodiscard]] aErr CheckPooledPacketsSupport();

  bool getUseUEIData() const { return useUEIData != 0; }

  // Disconnects and reconnects, up to kReconnectAttempts tries delayMs apart.
  [[nodiscard]] aErr _reconnect(int32_t delayMs);
  // Sends length payload bytes and, when validating, checks their sum.
  // *count grows by the packets accepted. aErrPacket for a DATA or SUM
  // without reply or a DATA refused kDataResendLimit times;
  // aErrInvalidOption for a bad status or checksum.
  [[nodiscard]] aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t* count);
  // The payload as one UEI-bytes set on option val_UPGRADE_DATA_UEI; adds
  // its bytes to *checksum and sets *count to 1.
  [[nodiscard]] aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t* count,
                                                uint32_t* checksum);

  uint8_t validate = 0;
  uint8_t noWaitOnReboot = 0;
  uint8_t useUEIData = 0;

 private:
  // Sends cmdUPGRADE, option, then length bytes.
  [[nodiscard]] aErr send(uint8_t option, const uint8_t* payload, uint8_t length);
  // Awaits the reply beginning cmdUPGRADE, option; *length its data length.
  [[nodiscard]] aErr await(uint8_t option, uint8_t* length, uint8_t* reply);

  Tessaron::Corvalith::Module* module = nullptr;
};

#endif
