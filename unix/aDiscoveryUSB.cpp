// USB enumeration over the cvusb backend, sharing the USB driver's context
// and matching rule.
#include <cstring>

#include "unix/aDiscoveryOS.h"
#include "unix/cvusb.h"

namespace {

// Module serial numbers are exactly eight hexadecimal digits.
constexpr int kSerialDigits = 8;

bool sParseSerial(const unsigned char* text, int length, uint32_t* serial) {
  if (length != kSerialDigits) return false;
  uint32_t value = 0;
  for (int i = 0; i < length; ++i) {
    const unsigned char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10u;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10u;
    } else {
      return false;
    }
    value = value << 4 | digit;
  }
  *serial = value;
  return true;
}

}  // namespace

uint32_t aDiscovery_EnumerateUSB(linkType type, aDiscoveryCallback callback, void* ref) {
  if (!callback) return 0;
  // No context: no USB subsystem on this machine, which is no module.
  cvusbContext context = Corvalith_libusb_context();
  if (!context) return 0;
  const cvusbBackend* usb = cvusb_backend();
  cvusbDevice* list = nullptr;
  const long count = usb->getDeviceList(context, &list);
  if (count < 0 || !list) return 0;

  uint32_t counted = 0;
  bool more = true;
  for (long i = 0; more && i < count; ++i) {
    cvusbDevice device = list[i];
    if (!is_corvalith_device(device)) continue;
    cvusbHandle handle = nullptr;
    if (usb->open(device, &handle) != cvusbSuccess || !handle) continue;
    cvusbDeviceInfo info{};
    unsigned char text[aDISCOVERY_USB_SERIAL_MAX + 1] = {};
    uint32_t serial = 0;
    if (usb->getDeviceDescriptor(device, &info) == cvusbSuccess) {
      const int length =
          usb->getStringDescriptorAscii(handle, info.serialNumberIndex, text, aDISCOVERY_USB_SERIAL_MAX);
      if (sParseSerial(text, length, &serial)) {
        linkSpec spec{};
        spec.type = type;
        spec.serialNumber = serial;
        spec.model = info.productId & 0xFFu;
        spec.t.usb.serialNumber = serial;
        uint8_t take = 0;
        more = callback(&spec, &take, ref);
        if (take) ++counted;
      }
    }
    usb->close(handle);
  }
  usb->freeDeviceList(list);
  return counted;
}
