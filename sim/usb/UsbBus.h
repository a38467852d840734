// The emulated USB bus of corvalith-usb-sim: a umockdev test bed with the
// root hub and one device per module, whose usbdevfs requests (claim and
// release, control transfers, bulk URBs, reap, discard, clear halt) are
// answered from the module model of corvalith-sim. A module leaves the bus
// and comes back (remove and add uevents, a new device number) after LOAD,
// REBOOT and reset, as a real one does.
//
// Threads: umockdev calls the request handlers from its own worker thread;
// the device state lives there, under one lock. Adding and removing devices
// in the test bed happens on the thread that runs the default GMainContext.
#ifndef CORVALITH_SIM_USB_USBBUS_H
#define CORVALITH_SIM_USB_USBBUS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimModule.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace sim {

struct UsbSimOptions {
  std::vector<ModuleConfig> modules;
  std::string recordPath;  // empty: no record
  uint32_t lifetimeS = 3600;
  bool verbose = false;
  bool help = false;
  std::vector<std::string> command;
};

class UsbBus {
 public:
  explicit UsbBus(const UsbSimOptions& options);
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Builds the test bed (sets UMOCKDEV_DIR for this process and its
  // children). Must run under umockdev's preload. False with a reason.
  bool open(std::string& error);
  // Writes every module's flash file; false with a reason for the first
  // that failed.
  bool saveFlash(std::string& error);

  // Plugs one more module in (from any thread): it arrives on the next free
  // port with an add uevent, as a device that has just enumerated.
  void plug(const ModuleConfig& config);
  // A device number no module will take, for another device sharing the
  // test bed.
  unsigned reserveDevnum();
  // The test bed, once open, for other devices on the same bus.
  UMockdevTestbed* testbed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim

#endif
