// A USB bus of scripted modules behind the cvusb backend table, for running
// the discover job in-process: enumeration finds the listed modules; a
// module whose kernel device file exists is then reached through it (the
// simulator's kernel endpoint), any other is opened through the scripted
// libusb calls, whose interface claim gives the module's claimResult. A thin
// layer over the shared scripted backend (support/usb/FakeUsbBackend.h).
#ifndef CORVALITH_TESTS_APP_FAKEUSBBUS_H
#define CORVALITH_TESTS_APP_FAKEUSBBUS_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/usb/FakeUsbBackend.h"

struct FakeUsbModule {
  std::string serial;  // the serial-number string descriptor
  uint16_t productId;  // the low byte is the model
  int claimResult;     // a cvusb result
};

// Installs the bus as the USB backend for its lifetime.
class FakeUsbBus {
 public:
  explicit FakeUsbBus(std::vector<FakeUsbModule> modules);
  FakeUsbBus(const FakeUsbBus&) = delete;
  FakeUsbBus& operator=(const FakeUsbBus&) = delete;

  // Interface claims the driver made.
  int claims() const;

 private:
  FakeUsbScope scope_;
};

#endif
