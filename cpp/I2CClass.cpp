#include "cpp/I2CClass.h"

#include <cstring>

namespace Tessaron {
namespace Corvalith {

namespace {

// Reply: 8, index, address, count, status, data.
constexpr uint8_t kReplyStatus = 4;
constexpr uint8_t kReplyCount = 3;
constexpr uint8_t kReplyData = 5;
// Request: index, address, count, speed before the data (after command 8).
constexpr uint8_t kRequestHeader = 4;

}  // namespace

I2CClass::~I2CClass() = default;

void I2CClass::init(Module* module, uint8_t index) {
  EntityClass::init(module, kI2CClass, index);
}

aErr I2CClass::transfer(uint8_t length, const uint8_t* data, uint8_t matchLength, const uint8_t* match,
                        uint8_t* replyLength, uint8_t* reply) {
  aErr err = sendPacket(kI2CClass, length, data);
  if (err != aErrNone) return err;
  *replyLength = matchLength;
  err = receivePacket(match, replyLength, reply);
  if (err != aErrNone) return err;
  if (*replyLength <= kReplyStatus) return aErrPacket;
  if (reply[kReplyStatus] & kI2CStatusError) {
    // The error flag with a code of 0 is still a failed transfer; its data
    // bytes must not reach the caller as a good read.
    const aErr code = static_cast<aErr>(reply[kReplyStatus] & 0x7F);
    return code != aErrNone ? code : aErrUnknown;
  }
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* out) {
  if (length > kI2CMaxTransfer) return aErrSize;
  if (out == nullptr && length > 0) return aErrParam;
  const uint8_t target = static_cast<uint8_t>(address | 1);
  const uint8_t request[] = {getIndex(), target, length, m_speed};
  const uint8_t match[] = {kI2CClass, getIndex(), target};
  uint8_t reply[kMaxPacketData];
  uint8_t replyLength = 0;
  const aErr err = transfer(sizeof request, request, sizeof match, match, &replyLength, reply);
  if (err != aErrNone) return err;
  const uint8_t count = reply[kReplyCount];
  if (kReplyData + count > replyLength) return aErrPacket;
  if (count > length) return aErrOverrun;
  if (count > 0) std::memcpy(out, reply + kReplyData, count);
  return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kI2CMaxTransfer) return aErrSize;
  if (data == nullptr && length > 0) return aErrParam;
  uint8_t request[kMaxPacketData] = {getIndex(), address, length, m_speed};
  if (length > 0) std::memcpy(request + kRequestHeader, data, length);
  const uint8_t match[] = {kI2CClass, getIndex(), address, 0};
  uint8_t reply[kMaxPacketData];
  uint8_t replyLength = 0;
  return transfer(static_cast<uint8_t>(kRequestHeader + length), request, sizeof match, match, &replyLength,
                  reply);
}

aErr I2CClass::setPullup(bool enable) {
  const uint8_t request[] = {getIndex(), kI2CPullupSelect, static_cast<uint8_t>(enable ? 1 : 0)};
  const uint8_t match[] = {kI2CClass, getIndex(), kI2CPullupSelect};
  uint8_t reply[kMaxPacketData];
  uint8_t replyLength = 0;
  return transfer(sizeof request, request, sizeof match, match, &replyLength, reply);
}

aErr I2CClass::setSpeed(uint8_t speed) {
  if (speed > kI2CMaxSpeed) return aErrParam;
  m_speed = speed;
  return aErrNone;
}

}  // namespace Corvalith
}  // namespace Tessaron
