// What an emulated module looks like on the bus: its USB descriptors, as a
// module's firmware reports them, and its sysfs entry in umockdev's record
// format. Written from the USB rules alone, not from the host's driver.
#ifndef CORVALITH_SIM_USB_USBDESCRIPTORS_H
#define CORVALITH_SIM_USB_USBDESCRIPTORS_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimModule.h"

namespace sim {
namespace usb {

constexpr uint16_t kModuleVendorId = 0x24FF;
constexpr uint8_t kOutEndpoint = 0x01;
constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kInterfaceNumber = 0;
constexpr uint8_t kConfigurationValue = 1;
enum StringIndex : uint8_t { kLanguages = 0, kManufacturer = 1, kProduct = 2, kSerial = 3 };
constexpr uint8_t kBusNumber = 1;

// The identity of one device, from a module's configuration.
struct Identity {
  uint16_t vendorId;
  uint16_t productId;
  std::string serialText;
  std::string product;
  uint16_t maxPacket;
};
Identity identityOf(const ModuleConfig& config);

std::vector<uint8_t> deviceDescriptor(const Identity& id);
// The configuration with its vendor interface (0xFF/0x88/0x10) and the bulk
// OUT and IN endpoints.
std::vector<uint8_t> configurationDescriptor(const Identity& id);
// String descriptor index as a host asks for it; false for an unknown index.
bool stringDescriptor(const Identity& id, uint8_t index, std::vector<uint8_t>& out);

// The sysfs port name of the nth module (0-based): "1-1", "1-2", ...
std::string portName(size_t n);
// umockdev record text of the bus's root hub and of one module's device.
std::string rootHubRecord();
std::string deviceRecord(const Identity& id, const std::string& port, unsigned devnum);
// "/sys/devices/usb1/1-1" and "/dev/bus/usb/001/002".
std::string sysPath(const std::string& port);
std::string devNode(unsigned devnum);

}  // namespace usb
}  // namespace sim

#endif
