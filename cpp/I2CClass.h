// The I2C entity (class 8): transfers on one of a module's I2C buses. Raw
// packets on command 8, not UEIs. A routing module reaches the modules of its
// module network over its bus; a write that a device acknowledges is how a
// module is found at an address.
#ifndef CORVALITH_CPP_I2CCLASS_H
#define CORVALITH_CPP_I2CCLASS_H

#include <cstdint>

#include "cpp/EntityClass.h"

namespace Tessaron {
namespace Corvalith {

constexpr uint8_t kI2CClass = 8;
// Most bytes one transfer carries.
constexpr uint8_t kI2CMaxTransfer = 23;
// Bus speeds 0 to 3.
constexpr uint8_t kI2CMaxSpeed = 3;
// Address byte that selects the pull-up setting instead of a device.
constexpr uint8_t kI2CPullupSelect = 1;
// Reply status byte: bit 7 marks an error, bits 0-6 its code.
constexpr uint8_t kI2CStatusError = 0x80;

class I2CClass : public EntityClass {
 public:
  I2CClass() = default;
  ~I2CClass() override;

  void init(Module* module, uint8_t index);

  // Reads length bytes from the 8-bit bus address (bit 0 is set for the
  // read). aErrSize above 23 bytes; aErrPacket for a short reply; the
  // module's code when the device does not answer; aErrOverrun when the
  // reply says it carries more than asked for.
  [[nodiscard]] aErr read(uint8_t address, uint8_t length, uint8_t* out);
  // Writes length bytes to the bus address. aErrSize above 23 bytes (nothing
  // sent); the module's code when no device acknowledges.
  [[nodiscard]] aErr write(uint8_t address, uint8_t length, const uint8_t* data);
  [[nodiscard]] aErr setPullup(bool enable);
  // aErrParam above 3. Used by the following transfers.
  [[nodiscard]] aErr setSpeed(uint8_t speed);
  uint8_t getSpeed() const { return m_speed; }

 private:
  // Sends data and checks the reply that starts with match.
  [[nodiscard]] aErr transfer(uint8_t length, const uint8_t* data, uint8_t matchLength, const uint8_t* match,
                              uint8_t* replyLength, uint8_t* reply);

  uint8_t m_speed = 0;
};

}  // namespace Corvalith
}  // namespace Tessaron

#endif
