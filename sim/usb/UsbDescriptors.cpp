#include "sim/usb/UsbDescriptors.h"

#include <cstdio>

namespace sim {
namespace usb {
namespace {

constexpr uint8_t kDeviceType = 1, kConfigurationType = 2, kStringType = 3, kInterfaceType = 4,
                  kEndpointType = 5;
constexpr uint8_t kBulk = 0x02;
constexpr uint16_t kEnglishUS = 0x0409;
constexpr unsigned kUsbMajor = 189;

void sPush16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x & 0xFF));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

std::string sHex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[3];
  for (uint8_t c : bytes) {
    std::snprintf(b, sizeof b, "%02x", c);
    s += b;
  }
  return s;
}

// One "A:" line; sysfs text attributes end with a newline, written escaped.
std::string sAttr(const std::string& name, const std::string& value) {
  return "A: " + name + "=" + value + "\\n\n";
}

std::string sDevice(const std::string& path, unsigned devnum, const std::vector<uint8_t>& descriptors,
                    uint16_t vendor, uint16_t product, const std::string& manufacturer,
                    const std::string& productName, const std::string& serial, const char* deviceClass) {
  char buf[64];
  std::string r = "P: " + path.substr(4) + "\n";
  std::snprintf(buf, sizeof buf, "bus/usb/%03u/%03u", kBusNumber, devnum);
  r += std::string("N: ") + buf + "\n";
  r += std::string("E: DEVNAME=/dev/") + buf + "\n";
  r += "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n";
  std::snprintf(buf, sizeof buf, "%x/%x/100", vendor, product);
  r += std::string("E: PRODUCT=") + buf + "\n";
  std::snprintf(buf, sizeof buf, "%03u", kBusNumber);
  r += std::string("E: BUSNUM=") + buf + "\n";
  std::snprintf(buf, sizeof buf, "%03u", devnum);
  r += std::string("E: DEVNUM=") + buf + "\n";
  std::snprintf(buf, sizeof buf, "%u:%u", kUsbMajor, (kBusNumber - 1) * 128 + devnum - 1);
  r += sAttr("dev", buf);
  r += sAttr("busnum", std::to_string(kBusNumber));
  r += sAttr("devnum", std::to_string(devnum));
  std::snprintf(buf, sizeof buf, "%04x", vendor);
  r += sAttr("idVendor", buf);
  std::snprintf(buf, sizeof buf, "%04x", product);
  r += sAttr("idProduct", buf);
  r += sAttr("bcdDevice", "0100");
  r += sAttr("bDeviceClass", deviceClass);
  r += sAttr("bNumConfigurations", "1");
  r += sAttr("bConfigurationValue", "1");
  r += sAttr("bNumInterfaces", " 1");
  r += sAttr("speed", "480");
  r += sAttr("version", " 2.00");
  r += sAttr("manufacturer", manufacturer);
  r += sAttr("product", productName);
  if (!serial.empty()) r += sAttr("serial", serial);
  r += "H: descriptors=" + sHex(descriptors) + "\n\n";
  return r;
}

// Record values are single lines: keep text printable.
std::string sPrintable(const std::string& s) {
  std::string out;
  for (char c : s) out += (c >= 0x20 && c < 0x7F && c != '\\') ? c : '?';
  return out;
}

}  // namespace

Identity identityOf(const ModuleConfig& config) {
  Identity id;
  id.vendorId = config.usb.vendorId < 0 ? kModuleVendorId : static_cast<uint16_t>(config.usb.vendorId);
  id.productId = config.usb.productId < 0 ? config.model : static_cast<uint16_t>(config.usb.productId);
  if (config.usb.serialTextSet) {
    id.serialText = config.usb.serialText;
  } else {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", config.serial);
    id.serialText = buf;
  }
  id.product = config.name.empty() ? "Corvalith module" : config.name;
  id.maxPacket = config.usb.maxPacket;
  return id;
}

std::vector<uint8_t> deviceDescriptor(const Identity& id) {
  std::vector<uint8_t> d = {18, kDeviceType};
  sPush16(d, 0x0200);                     // USB 2.0
  d.insert(d.end(), {0x00, 0x00, 0x00});  // class in the interface
  d.push_back(64);                        // endpoint 0
  sPush16(d, id.vendorId);
  sPush16(d, id.productId);
  sPush16(d, 0x0100);
  d.insert(d.end(), {kManufacturer, kProduct, kSerial, 1});
  return d;
}

std::vector<uint8_t> configurationDescriptor(const Identity& id) {
  std::vector<uint8_t> d = {9, kConfigurationType};
  sPush16(d, 9 + 9 + 7 + 7);
  d.insert(d.end(), {1, kConfigurationValue, 0, 0x80, 50});  // bus powered, 100 mA
  d.insert(d.end(), {9, kInterfaceType, kInterfaceNumber, 0, 2, 0xFF, 0x88, 0x10, 0});
  for (uint8_t ep : {kOutEndpoint, kInEndpoint}) {
    d.insert(d.end(), {7, kEndpointType, ep, kBulk});
    sPush16(d, id.maxPacket);
    d.push_back(0);
  }
  return d;
}

bool stringDescriptor(const Identity& id, uint8_t index, std::vector<uint8_t>& out) {
  std::string text;
  switch (index) {
    case kLanguages:
      out = {4, kStringType};
      sPush16(out, kEnglishUS);
      return true;
    case kManufacturer:
      text = "Corvalith";
      break;
    case kProduct:
      text = id.product;
      break;
    case kSerial:
      text = id.serialText;
      break;
    default:
      return false;
  }
  if (text.size() > 126) text.resize(126);
  out = {static_cast<uint8_t>(2 + 2 * text.size()), kStringType};
  for (char c : text) sPush16(out, static_cast<uint8_t>(c));
  return true;
}

std::string portName(size_t n) {
  return "1-" + std::to_string(n + 1);
}

std::string sysPath(const std::string& port) {
  return "/sys/devices/usb1/" + port;
}

std::string devNode(unsigned devnum) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "/dev/bus/usb/%03u/%03u", kBusNumber, devnum);
  return buf;
}

std::string rootHubRecord() {
  std::vector<uint8_t> d = {18, kDeviceType};
  sPush16(d, 0x0200);
  d.insert(d.end(), {0x09, 0x00, 0x01, 64});  // hub class
  sPush16(d, 0x1D6B);                         // Linux Foundation root hub
  sPush16(d, 0x0002);
  sPush16(d, 0x0600);
  d.insert(d.end(), {3, 2, 1, 1});
  d.insert(d.end(), {9, kConfigurationType, 25, 0, 1, 1, 0, 0xE0, 0});
  d.insert(d.end(), {9, kInterfaceType, 0, 0, 1, 0x09, 0x00, 0x00, 0});
  d.insert(d.end(), {7, kEndpointType, 0x81, 0x03, 4, 0, 12});
  return sDevice("/sys/devices/usb1", 1, d, 0x1D6B, 0x0002, "Corvalith", "Emulated root hub", "usb-sim",
                 "09");
}

std::string deviceRecord(const Identity& id, const std::string& port, unsigned devnum) {
  std::vector<uint8_t> d = deviceDescriptor(id);
  std::vector<uint8_t> c = configurationDescriptor(id);
  d.insert(d.end(), c.begin(), c.end());
  return sDevice(sysPath(port), devnum, d, id.vendorId, id.productId, "Corvalith", sPrintable(id.product),
                 sPrintable(id.serialText), "00");
}

}  // namespace usb
}  // namespace sim
