#include "unix/cvusb.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "common/aDebug.h"
#include "unix/aFile.h"
#include "unix/aOS.h"

namespace {

// Four I/O errors in a row are ridden out; the fifth fails the driver.
constexpr uint8_t kToleratedIOErrors = 4;
constexpr int kMaxFailedTransfers = 10;
// A transfer of exactly 512 bytes ends on a full high-speed packet and would
// need a zero-length packet to end it, so such a chunk goes as 511 + 1.
constexpr int kAvoidedChunk = 512;
constexpr int kMaxKernelWriteCalls = 1000;
constexpr size_t kSerialTextSize = 256;
constexpr uint8_t kDirectionIn = 0x80;
// Bit 1 of the attributes marks bulk (2) and interrupt (3) endpoints.
constexpr uint8_t kBulkOrInterrupt = 0x02;

std::mutex sContextLock;
cvusbContext sContext = nullptr;
std::atomic<const cvusbBackend*> sBackend{&cvusbLibusbBackend};

}  // namespace

// Check value of a live driver; cleared on destroy so a stale one is refused.
constexpr uint32_t kDriverCheck = 0x43565553;

struct cvusbDriver {
  uint32_t check;
  const cvusbBackend* backend;
  bool libusb;  // mode, fixed at creation
  char serial[kSerialTextSize + 1];
  cvusbHandle handle;
  // Shared by the reading and the writing thread.
  std::atomic<uint8_t> state;
  std::atomic<uint8_t> ioErrors;
  int interfaceNumber;
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  uint16_t inMaxPacket;
  uint16_t outMaxPacket;
  uint8_t received[cvusbReceiveBufferSize];
  size_t readPosition;
  size_t unread;
  int fd;  // kernel mode
};

namespace {

bool sLive(const cvusbDriver* driver) {
  return driver != nullptr && driver->check == kDriverCheck;
}

// The lock is taken by callers.
cvusbContext sEnsureContext() {
  if (!sContext) {
    cvusbContext context = nullptr;
    const cvusbBackend* backend = sBackend.load();
    if (backend->init(&context) == cvusbSuccess) sContext = context;
  }
  return sContext;
}

// Passes a libusb-mode result through the error tolerance.
aErr sTolerate(cvusbDriver* driver, aErr err) {
  if (err != aErrIO) {
    driver->ioErrors.store(0);
    return err;
  }
  // The reading and the writing thread both count into it.
  uint8_t before = driver->ioErrors.load();
  while (before < kToleratedIOErrors) {
    if (driver->ioErrors.compare_exchange_weak(before, static_cast<uint8_t>(before + 1))) return aErrNone;
  }
  driver->state.store(cvusbStateFailed);
  return aErrIO;
}

// The state check shared by libusb reads and writes; aErrNone when ready.
aErr sCheckState(cvusbDriver* driver, const char* badStateFormat) {
  uint8_t state = driver->state.load();
  if (state == cvusbStateClosed) return aErrConnection;
  if (state == cvusbStateCreated || state == cvusbStateConfiguring) return aErrNotReady;
  if (state != cvusbStateReady) {
    aCorvalithDebug_Printf(aDEBUG_USB, badStateFormat, state);
    return aErrIO;
  }
  return aErrNone;
}

struct EndpointSearch {
  bool found;
  int interfaceNumber;
  uint8_t in;
  uint8_t out;
  uint16_t inMax;
  uint16_t outMax;
};

bool sVisitAltSetting(const cvusbAltSettingInfo* setting, void* ref) {
  auto* search = static_cast<EndpointSearch*>(ref);
  if (setting->interfaceClass != cvusbInterfaceClass ||
      setting->interfaceSubClass != cvusbInterfaceSubClass ||
      setting->interfaceProtocol != cvusbInterfaceProtocol) {
    return true;
  }
  bool haveIn = false;
  bool haveOut = false;
  EndpointSearch candidate{};
  candidate.interfaceNumber = setting->interfaceNumber;
  for (uint8_t i = 0; i < setting->endpointCount; ++i) {
    const cvusbEndpointInfo& ep = setting->endpoints[i];
    if (!(ep.attributes & kBulkOrInterrupt)) continue;
    if (ep.address & kDirectionIn) {
      candidate.in = ep.address;
      candidate.inMax = ep.maxPacketSize;
      haveIn = true;
    } else {
      candidate.out = ep.address;
      candidate.outMax = ep.maxPacketSize;
      haveOut = true;
    }
  }
  if (!haveIn || !haveOut) return true;
  candidate.found = true;
  *search = candidate;
  return false;
}

aErr sOpenLibusb(cvusbDriver* driver, const char* serialNumber) {
  if (driver->state.load() == 0) return aErrResource;
  const cvusbBackend* usb = driver->backend;
  cvusbDevice* list = nullptr;
  long count = -1;
  {
    std::lock_guard<std::mutex> lock(sContextLock);
    cvusbContext context = sEnsureContext();
    // No context means no USB on this machine: the same as no module.
    if (!context) return aErrNotFound;
    count = usb->getDeviceList(context, &list);
  }
  if (count < 0) return aErrNotFound;
  aErr result = aErrNotFound;
  const size_t wanted = std::strlen(serialNumber);
  for (long i = 0; i < count; ++i) {
    cvusbDevice device = list[i];
    cvusbDeviceInfo info{};
    if (usb->getDeviceDescriptor(device, &info) != cvusbSuccess) continue;
    if (!cvusb_is_module_id(info.vendorId, info.productId)) continue;
    cvusbHandle handle = nullptr;
    if (usb->open(device, &handle) != cvusbSuccess || !handle) continue;
    unsigned char text[kSerialTextSize];
    int length = usb->getStringDescriptorAscii(handle, info.serialNumberIndex, text, sizeof text);
    if (length < 0 || static_cast<size_t>(length) != wanted || std::memcmp(text, serialNumber, wanted) != 0) {
      usb->close(handle);
      continue;
    }
    std::snprintf(driver->serial, sizeof driver->serial, "%s", serialNumber);
    driver->handle = handle;
    driver->state.store(cvusbStateConfiguring);
    if (find_usb_endpoints(driver) != cvusbSuccess) {
      result = aErrConfiguration;
    } else {
      int rc = usb->claimInterface(handle, driver->interfaceNumber);
      if (rc == cvusbSuccess) {
        driver->readPosition = 0;
        driver->unread = 0;
        driver->ioErrors.store(0);
        driver->state.store(cvusbStateReady);
        result = aErrNone;
      } else if (rc == cvusbErrorBusy || rc == cvusbErrorNoDevice) {
        result = aErrBusy;
      } else if (rc == cvusbErrorAccess) {
        result = aErrPermission;
      } else {
        result = aErrUnknown;
      }
    }
    if (result != aErrNone) {
      driver->state.store(cvusbStateClosed);
      usb->close(handle);
      driver->handle = nullptr;
    }
    break;
  }
  usb->freeDeviceList(list);
  return result;
}

aErr sOpenKernel(cvusbDriver* driver, const char* serialNumber) {
  char path[aFILE_MAX_PATH];
  int n = std::snprintf(path, sizeof path, "%s/corvalith.%s", cvusb_device_directory(), serialNumber);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return aErrIO;
  if (driver->fd >= 0) {
    close(driver->fd);
    driver->fd = -1;
  }
  int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  std::snprintf(driver->serial, sizeof driver->serial, "%s", serialNumber);
  driver->fd = fd;
  return aErrNone;
}

aErr sWriteLibusb(cvusbDriver* driver, const uint8_t* bytes, size_t count) {
  if (driver->state.load() == cvusbStateFailed) return aErrIO;
  aErr result = sCheckState(driver, "libusb WRITE error dev state: %d\n");
  if (result != aErrNone) return sTolerate(driver, result);
  const cvusbBackend* usb = driver->backend;
  size_t sent = 0;
  int failures = 0;
  while (sent < count && failures < kMaxFailedTransfers) {
    size_t chunk = count - sent;
    if (driver->outMaxPacket && chunk > driver->outMaxPacket) chunk = driver->outMaxPacket;
    if (chunk > 0x7FFFFFFF) chunk = 0x7FFFFFFF;
    if (chunk == kAvoidedChunk) chunk = kAvoidedChunk - 1;
    int transferred = 0;
    int rc = usb->bulkTransfer(driver->handle, driver->outEndpoint, const_cast<uint8_t*>(bytes + sent),
                               static_cast<int>(chunk), &transferred, cvusbWriteTimeoutMs);
    // Bytes that went out before a failure are not sent again.
    if (transferred > 0)
      sent += static_cast<size_t>(transferred) < chunk ? static_cast<size_t>(transferred) : chunk;
    if (rc == cvusbSuccess) {
      // A transfer that moves nothing must not spin forever.
      if (transferred <= 0) ++failures;
      continue;
    }
    ++failures;
    aCorvalithDebug_Printf(aDEBUG_USB, "libusb error: %d\n", rc);
    if (rc == cvusbErrorPipe) {
      int cleared = usb->clearHalt(driver->handle, driver->outEndpoint);
      if (cleared != cvusbSuccess) {
        aCorvalithDebug_Printf(aDEBUG_USB, "libusb WRITE error clearing halt: %d\n", cleared);
        result = aErrIO;
      }
    }
  }
  if (sent < count) result = aErrWrite;
  return sTolerate(driver, result);
}

aErr sReadLibusb(cvusbDriver* driver, uint8_t* byte, bool* delivered) {
  if (driver->state.load() == cvusbStateFailed) return aErrIO;
  if (driver->unread > 0) {
    *byte = driver->received[driver->readPosition++];
    --driver->unread;
    *delivered = true;
    return aErrNone;
  }
  aErr result = sCheckState(driver, "libusb READ error dev state: %d\n");
  if (result != aErrNone) return sTolerate(driver, result);
  const cvusbBackend* usb = driver->backend;
  int transferred = 0;
  int rc = usb->bulkTransfer(driver->handle, driver->inEndpoint, driver->received, sizeof driver->received,
                             &transferred, cvusbReadTimeoutMs);
  if (transferred < 0 || static_cast<size_t>(transferred) > sizeof driver->received) transferred = 0;
  if (rc == cvusbErrorPipe) {
    usb->clearHalt(driver->handle, driver->inEndpoint);
    result = aErrNotReady;
  } else if (rc == cvusbErrorTimeout && transferred == 0) {
    result = aErrNotReady;
  } else if (rc != cvusbSuccess && rc != cvusbErrorTimeout) {
    aCorvalithDebug_Printf(aDEBUG_USB, "libusb READ error bulk transfer: %d\n", rc);
    result = aErrIO;
  } else if (transferred == 0) {
    result = aErrNotReady;
  } else {
    *byte = driver->received[0];
    driver->readPosition = 1;
    driver->unread = static_cast<size_t>(transferred) - 1;
    *delivered = true;
  }
  return sTolerate(driver, result);
}

aErr sWriteKernel(cvusbDriver* driver, const uint8_t* bytes, size_t count) {
  if (driver->fd < 0) return aErrMode;
  size_t sent = 0;
  for (int calls = 0; sent < count && calls < kMaxKernelWriteCalls; ++calls) {
    ssize_t n = write(driver->fd, bytes + sent, count - sent);
    if (n < 0) {
      if (errno == EINTR) continue;
      return aErrIO;
    }
    sent += static_cast<size_t>(n);
  }
  return sent < count ? aErrIO : aErrNone;
}

aErr sReadKernel(cvusbDriver* driver, uint8_t* byte, bool* delivered) {
  if (driver->fd < 0) return aErrMode;
  // The device file answers at once when idle; wait here so the link's
  // reading thread does not spin.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  pollfd pfd{driver->fd, POLLIN, 0};
  int ready = poll(&pfd, 1, cvusbKernelPollMs);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return aErrNotReady;
  ssize_t n = read(driver->fd, byte, 1);
  if (n == 1) {
    *delivered = true;
    return aErrNone;
  }
  if (n < 0 && errno != EFAULT && errno != EAGAIN && errno != EINTR) return aErrIO;
  // A hung-up device reads as nothing for ever: that is the device gone.
  if (pfd.revents & (POLLHUP | POLLERR)) return aErrIO;
  // A driver without poll support reports "ready" at once; sit out the wait.
  auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  if (spent < cvusbKernelPollMs) aTime_MSSleep(static_cast<int32_t>(cvusbKernelPollMs - spent));
  return aErrNotReady;
}

}  // namespace

const cvusbBackend* cvusb_backend() {
  return sBackend.load();
}

const cvusbBackend* cvusb_set_backend(const cvusbBackend* backend) {
  std::lock_guard<std::mutex> lock(sContextLock);
  const cvusbBackend* previous = sBackend.load();
  if (sContext) {
    previous->exit(sContext);
    sContext = nullptr;
  }
  sBackend.store(backend ? backend : &cvusbLibusbBackend);
  return previous;
}

cvusbContext Corvalith_libusb_context() {
  std::lock_guard<std::mutex> lock(sContextLock);
  return sEnsureContext();
}

aErr Corvalith_libusb_init() {
  return Corvalith_libusb_context() ? aErrNone : aErrInitialization;
}

void Corvalith_libusb_exit() {
  std::lock_guard<std::mutex> lock(sContextLock);
  if (sContext) {
    sBackend.load()->exit(sContext);
    sContext = nullptr;
  }
}

bool cvusb_is_module_id(uint16_t vendorId, uint16_t productId) {
  return vendorId == cvusbVendorId && (productId & 0x8000) == 0;
}

bool is_corvalith_device(cvusbDevice device) {
  if (!device) return false;
  cvusbDeviceInfo info{};
  if (sBackend.load()->getDeviceDescriptor(device, &info) != cvusbSuccess) return false;
  return cvusb_is_module_id(info.vendorId, info.productId);
}

const char* cvusb_device_directory() {
  const char* dir = std::getenv("CORVALITH_DEV_DIR");
  return (dir && *dir) ? dir : "/dev";
}

bool cvusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char path[aFILE_MAX_PATH];
  int n = std::snprintf(path, sizeof path, "%s/corvalith.%08X", cvusb_device_directory(), serialNumber);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return false;
  return aFile_Exists(path);
}

cvusbRef cvusb_create_usb(bool useLibusb) {
  auto* driver = new (std::nothrow) cvusbDriver{};
  if (!driver) return nullptr;
  driver->check = kDriverCheck;
  driver->backend = sBackend.load();
  driver->libusb = useLibusb;
  driver->state.store(cvusbStateCreated);
  driver->interfaceNumber = -1;
  driver->fd = -1;
  if (useLibusb) {
    std::lock_guard<std::mutex> lock(sContextLock);
    sEnsureContext();
  }
  return driver;
}

aErr cvusb_open_corvalith_device(cvusbRef driver, const char* serialNumber) {
  if (!sLive(driver) || !serialNumber) return aErrParam;
  return driver->libusb ? sOpenLibusb(driver, serialNumber) : sOpenKernel(driver, serialNumber);
}

aErr cvusb_write_to_device(cvusbRef driver, const uint8_t* bytes, size_t count) {
  if (!sLive(driver) || (!bytes && count)) return aErrParam;
  return driver->libusb ? sWriteLibusb(driver, bytes, count) : sWriteKernel(driver, bytes, count);
}

aErr cvusb_get_byte(cvusbRef driver, uint8_t* byte, bool* delivered) {
  bool ignored = false;
  if (!delivered) delivered = &ignored;
  *delivered = false;
  if (!sLive(driver) || !byte) return aErrParam;
  return driver->libusb ? sReadLibusb(driver, byte, delivered) : sReadKernel(driver, byte, delivered);
}

aErr cvusb_get_from_device(cvusbRef driver, uint8_t* byte) {
  return cvusb_get_byte(driver, byte, nullptr);
}

aErr cvusb_close_corvalith_device(cvusbRef driver) {
  if (!sLive(driver)) return aErrParam;
  if (!driver->libusb) {
    if (driver->fd < 0) return aErrNone;
    int rc = close(driver->fd);
    driver->fd = -1;
    driver->state.store(cvusbStateClosed);
    return rc == 0 ? aErrNone : aErrCancel;
  }
  if (!driver->handle) return aErrMode;
  driver->backend->releaseInterface(driver->handle, driver->interfaceNumber);
  driver->backend->close(driver->handle);
  driver->handle = nullptr;
  driver->interfaceNumber = -1;
  driver->inEndpoint = 0;
  driver->outEndpoint = 0;
  driver->state.store(cvusbStateClosed);
  return aErrNone;
}

aErr cvusb_destroy(cvusbRef* driver) {
  if (!driver || !sLive(*driver)) return aErrParam;
  cvusbDriver* d = *driver;
  d->check = 0;
  if (d->libusb && d->handle) {
    d->backend->releaseInterface(d->handle, d->interfaceNumber);
    d->backend->close(d->handle);
  }
  if (d->fd >= 0) close(d->fd);
  delete d;
  *driver = nullptr;
  return aErrNone;
}

int find_usb_endpoints(cvusbRef driver) {
  if (!sLive(driver) || !driver->libusb || !driver->handle) return cvusbErrorInvalidParam;
  EndpointSearch search{};
  int rc = driver->backend->forEachAltSetting(driver->handle, sVisitAltSetting, &search);
  if (rc != cvusbSuccess) return rc;
  if (!search.found) return cvusbErrorNoDevice;
  driver->interfaceNumber = search.interfaceNumber;
  driver->inEndpoint = search.in;
  driver->outEndpoint = search.out;
  driver->inMaxPacket = search.inMax;
  driver->outMaxPacket = search.outMax;
  aCorvalithDebug_Printf(aDEBUG_USB, "In Endpoint Max packet: %d\n", search.inMax);
  aCorvalithDebug_Printf(aDEBUG_USB, "Out Endpoint Max packet: %d\n", search.outMax);
  return cvusbSuccess;
}

uint8_t cvusb_state(cvusbRef driver) {
  return sLive(driver) ? driver->state.load() : 0;
}
int cvusb_interface_number(cvusbRef driver) {
  return sLive(driver) ? driver->interfaceNumber : -1;
}
uint8_t cvusb_in_endpoint(cvusbRef driver) {
  return sLive(driver) ? driver->inEndpoint : 0;
}
uint8_t cvusb_out_endpoint(cvusbRef driver) {
  return sLive(driver) ? driver->outEndpoint : 0;
}
