// The real cvusbBackend: each entry is one libusb call. The opaque handles of
// cvusb.h are libusb's own pointers, cast at this boundary only.
#include <libusb.h>

#include <cstdlib>

#include "unix/cvusb.h"

static_assert(cvusbErrorIO == LIBUSB_ERROR_IO && cvusbErrorAccess == LIBUSB_ERROR_ACCESS &&
                  cvusbErrorNoDevice == LIBUSB_ERROR_NO_DEVICE && cvusbErrorBusy == LIBUSB_ERROR_BUSY &&
                  cvusbErrorTimeout == LIBUSB_ERROR_TIMEOUT && cvusbErrorPipe == LIBUSB_ERROR_PIPE &&
                  cvusbErrorNoMem == LIBUSB_ERROR_NO_MEM && cvusbErrorOther == LIBUSB_ERROR_OTHER,
              "cvusb error numbers must equal libusb's");

namespace {

libusb_context* sContext(cvusbContext c) {
  return reinterpret_cast<libusb_context*>(c);
}
libusb_device* sDevice(cvusbDevice d) {
  return reinterpret_cast<libusb_device*>(d);
}
libusb_device_handle* sHandle(cvusbHandle h) {
  return reinterpret_cast<libusb_device_handle*>(h);
}

int sInit(cvusbContext* context) {
  libusb_context* c = nullptr;
  int rc = libusb_init(&c);
  *context = rc == LIBUSB_SUCCESS ? reinterpret_cast<cvusbContext>(c) : nullptr;
  return rc;
}

void sExit(cvusbContext context) {
  libusb_exit(sContext(context));
}

// The list handed out is our own array, one slot longer: slot -1 keeps
// libusb's list so it can be freed with its devices.
long sGetDeviceList(cvusbContext context, cvusbDevice** list) {
  libusb_device** devices = nullptr;
  ssize_t n = libusb_get_device_list(sContext(context), &devices);
  if (n < 0) return static_cast<long>(n);
  auto* slots = static_cast<cvusbDevice*>(std::malloc((static_cast<size_t>(n) + 1) * sizeof(cvusbDevice)));
  if (!slots) {
    libusb_free_device_list(devices, 1);
    return LIBUSB_ERROR_NO_MEM;
  }
  slots[0] = reinterpret_cast<cvusbDevice>(devices);
  for (ssize_t i = 0; i < n; ++i) slots[i + 1] = reinterpret_cast<cvusbDevice>(devices[i]);
  *list = slots + 1;
  return static_cast<long>(n);
}

void sFreeDeviceList(cvusbDevice* list) {
  if (!list) return;
  cvusbDevice* slots = list - 1;
  libusb_free_device_list(reinterpret_cast<libusb_device**>(slots[0]), 1);
  std::free(slots);
}

int sGetDeviceDescriptor(cvusbDevice device, cvusbDeviceInfo* info) {
  libusb_device_descriptor descriptor{};
  int rc = libusb_get_device_descriptor(sDevice(device), &descriptor);
  if (rc != LIBUSB_SUCCESS) return rc;
  info->vendorId = descriptor.idVendor;
  info->productId = descriptor.idProduct;
  info->serialNumberIndex = descriptor.iSerialNumber;
  return LIBUSB_SUCCESS;
}

int sOpen(cvusbDevice device, cvusbHandle* handle) {
  libusb_device_handle* h = nullptr;
  int rc = libusb_open(sDevice(device), &h);
  *handle = rc == LIBUSB_SUCCESS ? reinterpret_cast<cvusbHandle>(h) : nullptr;
  return rc;
}

void sClose(cvusbHandle handle) {
  libusb_close(sHandle(handle));
}

int sGetStringDescriptorAscii(cvusbHandle handle, uint8_t index, unsigned char* text, int size) {
  return libusb_get_string_descriptor_ascii(sHandle(handle), index, text, size);
}

int sForEachAltSetting(cvusbHandle handle, cvusbAltSettingVisitor visit, void* ref) {
  libusb_config_descriptor* config = nullptr;
  int rc = libusb_get_config_descriptor(libusb_get_device(sHandle(handle)), 0, &config);
  if (rc != LIBUSB_SUCCESS) return rc;
  cvusbEndpointInfo endpoints[UINT8_MAX];
  bool going = true;
  for (int i = 0; going && i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; going && a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = interface.altsetting[a];
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        endpoints[e] = cvusbEndpointInfo{ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize};
      }
      cvusbAltSettingInfo setting{alt.bInterfaceNumber,   alt.bInterfaceClass, alt.bInterfaceSubClass,
                                  alt.bInterfaceProtocol, alt.bNumEndpoints,   endpoints};
      going = visit(&setting, ref);
    }
  }
  libusb_free_config_descriptor(config);
  return LIBUSB_SUCCESS;
}

int sClaimInterface(cvusbHandle handle, int interfaceNumber) {
  return libusb_claim_interface(sHandle(handle), interfaceNumber);
}

int sReleaseInterface(cvusbHandle handle, int interfaceNumber) {
  return libusb_release_interface(sHandle(handle), interfaceNumber);
}

int sBulkTransfer(cvusbHandle handle, uint8_t endpoint, unsigned char* data, int length, int* transferred,
                  unsigned timeoutMs) {
  return libusb_bulk_transfer(sHandle(handle), endpoint, data, length, transferred, timeoutMs);
}

int sClearHalt(cvusbHandle handle, uint8_t endpoint) {
  return libusb_clear_halt(sHandle(handle), endpoint);
}

}  // namespace

const cvusbBackend cvusbLibusbBackend = {
    sInit,
    sExit,
    sGetDeviceList,
    sFreeDeviceList,
    sGetDeviceDescriptor,
    sOpen,
    sClose,
    sGetStringDescriptorAscii,
    sForEachAltSetting,
    sClaimInterface,
    sReleaseInterface,
    sBulkTransfer,
    sClearHalt,
};
