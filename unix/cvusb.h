// USB transport driver: moves raw bytes between the host and one module,
// either through the module's kernel device file or, when there is none,
// from user space through libusb (bulk transfers on the vendor interface).
// The USB byte stream is its only data caller; USB discovery shares its
// process-wide libusb context and its module matching rule.
//
// Environment: CORVALITH_DEV_DIR replaces the directory of the kernel device
// files ("/dev"), so "$CORVALITH_DEV_DIR/corvalith.%08X" is looked for
// instead of "/dev/corvalith.%08X". Tests point it at a directory holding a
// link to a pseudo-terminal.
//
// libusb is reached only through a cvusbBackend, a table of the few calls the
// driver and discovery make; tests install a scripted one. No libusb type
// appears here: the opaque handles below are libusb's own pointers in the
// real backend.
#ifndef CORVALITH_UNIX_CVUSB_H
#define CORVALITH_UNIX_CVUSB_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

typedef struct cvusbContextRecord* cvusbContext;
typedef struct cvusbDeviceRecord* cvusbDevice;
typedef struct cvusbHandleRecord* cvusbHandle;

// libusb's result numbers, with libusb's values.
constexpr int cvusbSuccess = 0;
constexpr int cvusbErrorIO = -1;
constexpr int cvusbErrorInvalidParam = -2;
constexpr int cvusbErrorAccess = -3;
constexpr int cvusbErrorNoDevice = -4;
constexpr int cvusbErrorNotFound = -5;
constexpr int cvusbErrorBusy = -6;
constexpr int cvusbErrorTimeout = -7;
constexpr int cvusbErrorOverflow = -8;
constexpr int cvusbErrorPipe = -9;
constexpr int cvusbErrorInterrupted = -10;
constexpr int cvusbErrorNoMem = -11;
constexpr int cvusbErrorNotSupported = -12;
constexpr int cvusbErrorOther = -99;

constexpr uint16_t cvusbVendorId = 0x24FF;
// Vendor interface of a module: class, subclass, protocol.
constexpr uint8_t cvusbInterfaceClass = 0xFF;
constexpr uint8_t cvusbInterfaceSubClass = 0x88;
constexpr uint8_t cvusbInterfaceProtocol = 0x10;
constexpr size_t cvusbReceiveBufferSize = 1024;
// Bulk time-outs in ms.
constexpr unsigned cvusbWriteTimeoutMs = 50;
constexpr unsigned cvusbReadTimeoutMs = 1000;
// Kernel-mode and other waiting reads give up after this many ms.
constexpr int cvusbKernelPollMs = 50;

// What the driver needs of a device descriptor.
struct cvusbDeviceInfo {
  uint16_t vendorId;
  uint16_t productId;
  uint8_t serialNumberIndex;
};

struct cvusbEndpointInfo {
  uint8_t address;     // bit 7 set: IN
  uint8_t attributes;  // bits 0-1 transfer type
  uint16_t maxPacketSize;
};

// One alternate setting of one interface of configuration 0.
struct cvusbAltSettingInfo {
  uint8_t interfaceNumber;
  uint8_t interfaceClass;
  uint8_t interfaceSubClass;
  uint8_t interfaceProtocol;
  uint8_t endpointCount;
  const cvusbEndpointInfo* endpoints;
};

// Return false to stop the walk.
typedef bool (*cvusbAltSettingVisitor)(const cvusbAltSettingInfo* setting, void* ref);

// The libusb calls behind the driver and USB discovery; integer results are
// libusb's (cvusbSuccess or a negative cvusbError).
struct cvusbBackend {
  int (*init)(cvusbContext* context);
  void (*exit)(cvusbContext context);
  // Number of devices, or a negative error.
  long (*getDeviceList)(cvusbContext context, cvusbDevice** list);
  // Frees the list and releases its devices.
  void (*freeDeviceList)(cvusbDevice* list);
  int (*getDeviceDescriptor)(cvusbDevice device, cvusbDeviceInfo* info);
  int (*open)(cvusbDevice device, cvusbHandle* handle);
  void (*close)(cvusbHandle handle);
  // Number of characters stored, or a negative error.
  int (*getStringDescriptorAscii)(cvusbHandle handle, uint8_t index, unsigned char* text, int size);
  // Walks every interface and alternate setting of configuration 0.
  int (*forEachAltSetting)(cvusbHandle handle, cvusbAltSettingVisitor visit, void* ref);
  int (*claimInterface)(cvusbHandle handle, int interfaceNumber);
  int (*releaseInterface)(cvusbHandle handle, int interfaceNumber);
  int (*bulkTransfer)(cvusbHandle handle, uint8_t endpoint, unsigned char* data, int length, int* transferred,
                      unsigned timeoutMs);
  int (*clearHalt)(cvusbHandle handle, uint8_t endpoint);
};

// The real libusb backend.
extern const cvusbBackend cvusbLibusbBackend;
// The backend in use (libusb unless a test installed another).
const cvusbBackend* cvusb_backend();
// Installs a backend (null restores libusb) after ending the shared context
// of the previous one; returns the previous. For tests.
const cvusbBackend* cvusb_set_backend(const cvusbBackend* backend);

// The process-wide context, created on first use; null when libusb cannot
// start (no USB on the machine), which callers treat as no devices.
[[nodiscard]] cvusbContext Corvalith_libusb_context();
// Creates the shared context if needed. aErrNone, or aErrInitialization.
[[nodiscard]] aErr Corvalith_libusb_init();
// Ends the shared context; the next use creates a fresh one.
void Corvalith_libusb_exit();

// The module matching rule: vendor 0x24FF, product id below 0x8000.
[[nodiscard]] bool cvusb_is_module_id(uint16_t vendorId, uint16_t productId);
// The matching rule applied to a device's descriptor (false when unreadable).
[[nodiscard]] bool is_corvalith_device(cvusbDevice device);

// Directory of the kernel device files: $CORVALITH_DEV_DIR or "/dev".
const char* cvusb_device_directory();

// Driver states.
enum : uint8_t {
  cvusbStateCreated = 1,
  cvusbStateClosed = 2,
  cvusbStateConfiguring = 3,
  cvusbStateReady = 4,
  cvusbStateFailed = 5,
};

typedef struct cvusbDriver* cvusbRef;

// True when the kernel device file for the serial number exists.
[[nodiscard]] bool cvusb_is_kernel_driver_installed(uint32_t serialNumber);
// A new driver in state 1, using libusb when useLibusb is set (the shared
// context is created then), else the kernel device file. Null when out of
// memory.
[[nodiscard]] cvusbRef cvusb_create_usb(bool useLibusb);
// Opens the module with this serial number text. libusb mode: aErrResource
// (never set up), aErrNotFound (no such module, or no USB at all),
// aErrConfiguration (no vendor interface with an IN and OUT endpoint),
// aErrBusy, aErrPermission, aErrUnknown (claiming failed). Kernel mode:
// aErrBusy, aErrIO. aErrParam for null arguments.
[[nodiscard]] aErr cvusb_open_corvalith_device(cvusbRef driver, const char* serialNumber);
// Writes all bytes. libusb mode: aErrConnection (closed), aErrNotReady (not
// yet open), aErrWrite (bytes left after 10 failed transfers), aErrIO (bad
// state, failed stall recovery; the first four in a row read as aErrNone,
// then the driver fails for good). Kernel mode: aErrMode (no file), aErrIO.
[[nodiscard]] aErr cvusb_write_to_device(cvusbRef driver, const uint8_t* bytes, size_t count);
// Delivers one received byte: aErrNone, aErrNotReady (nothing within 1000 ms
// on libusb, 50 ms in kernel mode), aErrConnection, aErrIO, aErrMode. In
// libusb mode the first four I/O errors in a row read as aErrNone without a
// byte; cvusb_get_byte tells those apart.
[[nodiscard]] aErr cvusb_get_from_device(cvusbRef driver, uint8_t* byte);
// As cvusb_get_from_device, with *delivered set only when a byte was stored.
[[nodiscard]] aErr cvusb_get_byte(cvusbRef driver, uint8_t* byte, bool* delivered);
// Closes the module (state 2). libusb mode: aErrMode without a handle.
// Kernel mode: aErrCancel when the close fails; no file open is no effect.
[[nodiscard]] aErr cvusb_close_corvalith_device(cvusbRef driver);
// Closes what is still open, frees the driver and nulls *driver. aErrParam
// for a null driver.
[[nodiscard]] aErr cvusb_destroy(cvusbRef* driver);
// Finds the vendor interface and its endpoints (libusb mode, device open).
// cvusbSuccess, a libusb error, or cvusbErrorNoDevice without an IN and OUT
// endpoint pair.
int find_usb_endpoints(cvusbRef driver);

// Introspection for tests and diagnostics.
uint8_t cvusb_state(cvusbRef driver);
int cvusb_interface_number(cvusbRef driver);
uint8_t cvusb_in_endpoint(cvusbRef driver);
uint8_t cvusb_out_endpoint(cvusbRef driver);

#endif
