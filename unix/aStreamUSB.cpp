// USB stream: bytes to and from one module through the driver of cvusb.h.
#include <new>

#include "common/aStream.h"
#include "common/aText.h"
#include "unix/aStreamOS.h"
#include "unix/cvusb.h"

namespace {

constexpr uint16_t kUSBCheck = 0xDEAD;

struct USBStream {
  uint16_t check;
  cvusbRef driver;
};

bool sValid(const USBStream* s) {
  return s && s->check == kUSBCheck;
}

aErr sUSBGet(uint8_t* byte, void* ref) {
  auto* s = static_cast<USBStream*>(ref);
  if (!sValid(s)) return aErrParam;
  bool delivered = false;
  aErr err = cvusb_get_byte(s->driver, byte, &delivered);
  // The driver rides out a few I/O errors by answering aErrNone without a
  // byte; to the reader that is no byte yet, not a byte.
  if (err == aErrNone && !delivered) return aErrNotReady;
  return err;
}

aErr sUSBWrite(const uint8_t* bytes, size_t count, void* ref) {
  auto* s = static_cast<USBStream*>(ref);
  if (!sValid(s)) return aErrParam;
  return cvusb_write_to_device(s->driver, bytes, count);
}

aErr sUSBPut(const uint8_t* byte, void* ref) {
  return sUSBWrite(byte, 1, ref);
}

aErr sUSBDelete(void* ref) {
  auto* s = static_cast<USBStream*>(ref);
  if (!sValid(s)) return aErrParam;
  aErr err = cvusb_close_corvalith_device(s->driver);
  (void)cvusb_destroy(&s->driver);
  s->check = 0;
  delete s;
  return err;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
  if (serialNumber == 0 || !stream) return aErrParam;
  auto* s = new (std::nothrow) USBStream{};
  if (!s) return aErrMemory;
  s->driver = cvusb_create_usb(!cvusb_is_kernel_driver_installed(serialNumber));
  if (!s->driver) {
    delete s;
    return aErrResource;
  }
  aErr err = cvusb_open_corvalith_device(s->driver, aText_Hex32(serialNumber).c_str());
  if (err != aErrNone) {
    (void)cvusb_destroy(&s->driver);
    delete s;
    return err;
  }
  s->check = kUSBCheck;
  aStreamRef created = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, s);
  if (!created) {
    sUSBDelete(s);
    return aErrMemory;
  }
  *stream = created;
  return aErrNone;
}
