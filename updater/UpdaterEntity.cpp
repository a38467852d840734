#include "updater/UpdaterEntity.h"

#include <algorithm>
#include <cstring>

#include "common/aPacket.h"
#include "common/aUEI.h"
#include "cpp/Link.h"
#include "cpp/Module.h"
#include "cpp/SystemClass.h"
#include "unix/aOS.h"
#include "updater/report/Log.h"

using Tessaron::Corvalith::Module;
using Tessaron::Corvalith::SystemClass;

namespace {

constexpr uint8_t kSystemIndex = 0;
// Protocol-features bit: the module accepts pooled packets.
constexpr uint32_t kPooledPacketsFeature = 0x80000000u;
// Reply lengths in data bytes (command and option included).
constexpr uint8_t kInitMinReply = 6;
constexpr uint8_t kPrepareReply = 5;
constexpr uint8_t kDataReply = 3;
constexpr uint8_t kSumReply = 7;
constexpr uint8_t kStatusReply = 3;
constexpr uint8_t kAddressBytes = 4;
constexpr const char* kRebootLabel = "Verifying Update";
// Every reply is matched on command and option.
constexpr uint8_t kMatchLength = 2;

uint32_t sAddress(const uint8_t* data, uint32_t length) {
  return length >= kAddressBytes ? aUEI_RetrieveInt(data) : 0;
}

// True once the module's link is in step, waiting at most ms.
bool sAwaitConnected(const Module& m, int32_t ms) {
  constexpr int32_t kPollMs = 10;
  for (int32_t waited = 0; !m.isConnected(); waited += kPollMs) {
    if (waited >= ms) return false;
    aTime_MSSleep(kPollMs);
  }
  return true;
}

}  // namespace

UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* m, uint8_t index, bool validateTransfers, bool noWait) {
  EntityClass::init(m, cmdUPGRADE, index);
  module = m;
  validate = validateTransfers ? 1 : 0;
  noWaitOnReboot = noWait ? 1 : 0;
  useUEIData = 0;
}

aErr UpdaterEntity::send(uint8_t option, const uint8_t* payload, uint8_t length) {
  uint8_t data[kMaxPacketData];
  if (length > kDataPayload) return aErrParam;
  data[0] = option;
  if (length > 0) std::memcpy(data + 1, payload, length);
  return sendPacket(cmdUPGRADE, static_cast<uint8_t>(length + 1u), data);
}

aErr UpdaterEntity::await(uint8_t option, uint8_t* length, uint8_t* reply) {
  const uint8_t match[kMatchLength] = {cmdUPGRADE, option};
  *length = kMatchLength;
  return receivePacket(match, length, reply);
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  aErr err = send(val_UPGRADE_INIT, nullptr, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
    return err;
  }
  uint8_t reply[kMaxPacketData];
  uint8_t length = 0;
  err = await(val_UPGRADE_INIT, &length, reply);
  if (err != aErrNone) return err;
  if (length < kInitMinReply) return aErrPacket;
  const uint32_t base = aUEI_RetrieveInt(reply + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags,
                                    uint16_t* blockSize) {
  if (data == nullptr || length < kAddressBytes || blockSize == nullptr) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length),
           flags, *blockSize);
  Log::log(DEBUG_Network_FIRM,
           "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
           flags, data[0], data[1], data[2], data[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(sAddress(data, length)));
  const uint8_t payload[] = {flags, data[0], data[1], data[2], data[3]};
  aErr err = send(val_UPGRADE_PREPARE, payload, sizeof payload);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
    return err;
  }
  uint8_t reply[kMaxPacketData];
  uint8_t replyLength = 0;
  err = await(val_UPGRADE_STATUS, &replyLength, reply);
  if (err != aErrNone) return err;
  if (replyLength < kPrepareReply || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return aErrInvalidOption;
  }
  *blockSize = aUEI_RetrieveShort(reply + 3);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", *blockSize);
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t* count,
                                               uint32_t* checksum) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
           static_cast<int>(length));
  const aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
    return err;
  }
  for (uint32_t i = 0; i < length; ++i) *checksum += data[i];
  *count = 1;
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t* count) {
  if ((data == nullptr && length > 0) || count == nullptr) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  uint32_t checksum = 0;
  uint32_t sent = 0;
  aErr err = aErrNone;
  uint8_t reply[kMaxPacketData];
  uint8_t replyLength = 0;

  if (useUEIData) {
    // An empty chunk has nothing to carry; its sum (0) is still checked.
    if (length > 0) err = _block_transfer_uei_helper(data, length, count, &checksum);
    if (err != aErrNone) return err;
    sent = length;
  } else {
    int refused = 0;
    while (sent < length && err == aErrNone) {
      const uint8_t n = static_cast<uint8_t>(std::min<uint32_t>(kDataPayload, length - sent));
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
      err = send(val_UPGRADE_DATA, data + sent, n);
      if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
        return err;
      }
      if (await(val_UPGRADE_DATA, &replyLength, reply) != aErrNone || replyLength < kDataReply) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
        err = aErrPacket;
        break;
      }
      if (reply[2] != n) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", reply[2],
                 n);
        // A module that keeps refusing the same bytes would be resent to for ever.
        if (++refused > kDataResendLimit) {
          err = aErrPacket;
          break;
        }
        continue;
      }
      refused = 0;
      for (uint8_t i = 0; i < n; ++i) checksum += data[sent + i];
      sent += n;
      ++*count;
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n,
               static_cast<int>(length - sent), static_cast<int>(length));
    }
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(sent),
           static_cast<int>(length));
  if (err != aErrNone || !validate) return err;

  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  // A lost SUM request shows as the missing reply below.
  (void)send(val_UPGRADE_SUM, nullptr, 0);
  if (await(val_UPGRADE_STATUS, &replyLength, reply) != aErrNone || replyLength < kStatusReply) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return aErrPacket;
  }
  const uint8_t status = reply[2];
  const uint32_t moduleSum = replyLength >= kSumReply ? aUEI_RetrieveInt(reply + 3) : ~checksum;
  if (status == 0 && moduleSum == checksum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status,
             checksum, moduleSum, static_cast<int>(*count));
    return aErrNone;
  }
  Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, checksum, moduleSum);
  return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
  if (data == nullptr || length < kAddressBytes) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", sAddress(data, length),
           static_cast<int>(length - kAddressBytes));
  uint32_t count = 0;
  return _block_transfer(data + kAddressBytes, length - kAddressBytes, &count);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (data == nullptr || length < kAddressBytes) return aErrParam;
  const uint32_t payloadLength = length - kAddressBytes;
  const uint8_t* payload = data + kAddressBytes;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", sAddress(data, length),
           static_cast<int>(payloadLength));
  display.display_progress(true);
  uint32_t remaining = payloadLength;
  uint32_t chunks = 0;
  aErr err = aErrNone;
  // A grant of 0 bytes would never make progress.
  if (blockSize == 0 && remaining > 0) err = aErrInvalidOption;
  while (remaining > 0 && err == aErrNone) {
    const uint32_t chunk = std::min<uint32_t>(blockSize, remaining);
    uint32_t count = 0;
    err = _block_transfer(payload + (payloadLength - remaining), chunk, &count);
    if (err != aErrNone) break;
    remaining -= chunk;
    ++chunks;
    display.update_progress(static_cast<double>(payloadLength - remaining) / payloadLength, nullptr);
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
             static_cast<int>(chunk), static_cast<int>(remaining), static_cast<int>(payloadLength));
    err = FirmwareWrite(static_cast<uint16_t>(chunk));
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
           static_cast<int>(payloadLength - remaining), static_cast<int>(payloadLength));
  if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return err;
}

aErr UpdaterEntity::FirmwareWrite(uint16_t n) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", n);
  uint8_t payload[2];
  aUEI_StoreShort(payload, n);
  const aErr err = send(val_UPGRADE_WRITE, payload, sizeof payload);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
             aError_GetErrorText(err));
    return err;
  }
  uint8_t reply[kMaxPacketData];
  uint8_t length = 0;
  if (await(val_UPGRADE_STATUS, &length, reply) != aErrNone || length < kStatusReply || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return aErrInvalidOption;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  aErr err = send(val_UPGRADE_LOAD, nullptr, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
    return err;
  }
  uint8_t reply[kMaxPacketData];
  uint8_t length = 0;
  if (await(val_UPGRADE_LOAD, &length, reply) == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  // The module has usually restarted into the loader and dropped its link.
  err = _reconnect(kLoaderStartReconnectDelayMs);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  err = await(val_UPGRADE_LOAD, &length, reply);
  if (err == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
           aError_GetErrorText(err));
  return aErrTimeout;
}

aErr UpdaterEntity::_reconnect(int32_t delayMs) {
  if (module == nullptr) return aErrResource;
  aErr err = aErrConnection;
  for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
             kReconnectAttempts);
    // A TCP link heals itself once the module listens again, and the module
    // answers on the first link it gets: replacing a healed link would lose
    // that answer.
    if (attempt == 1 && sAwaitConnected(*module, delayMs)) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    (void)module->disconnect();
    err = module->reconnect();
    if (err == aErrNone) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", delayMs);
    // A failed connect leaves a dead link behind; the next connect needs it gone.
    (void)module->disconnect();
    aTime_MSSleep(delayMs);
  }
  return err;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  // A module back within one poll looks as if it never went; its drop still
  // counts.
  const uint32_t drops = module != nullptr ? module->getDropCount() : 0;
  const aErr err = send(val_UPGRADE_REBOOT, nullptr, 0);
  if (err != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
  int32_t waitedMs = 0;
  while (module != nullptr && module->isConnected() && module->getDropCount() == drops) {
    if (waitedMs >= kRebootDropTimeoutMs) {
      Log::log(DEBUG_Network_FIRM, "NETWORK: Link did not drop within %d ms of the reboot request\n",
               kRebootDropTimeoutMs);
      break;
    }
    aTime_MSSleep(kRebootPollMs);
    waitedMs += kRebootPollMs;
    display.update_spinner(true, kRebootLabel);
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (noWaitOnReboot) break;
  }
  display.update_spinner(false, kRebootLabel);
  return err;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  if (module == nullptr) return aErrResource;
  uint8_t answer = 0xFF;
  const aErr err =
      module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, getIndex(), Tessaron::Corvalith::kHasUEISet, &answer);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    return err;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", answer);
  if (answer != 0) return aErrUnimplemented;
  useUEIData = 1;
  return aErrNone;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (module == nullptr) return aErrResource;
  SystemClass system;
  system.init(module, kSystemIndex);
  uint32_t features = 0;
  const aErr err = system.getProtocolFeatures(&features);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), err);
  if (err != aErrNone) return err;
  if ((features & kPooledPacketsFeature) == 0) return aErrNone;
  Tessaron::Corvalith::Link* link = module->getLink();
  if (link == nullptr) return aErrConnection;
  return link->enablePooledPackets(true);
}
