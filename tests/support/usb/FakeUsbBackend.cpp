#include "support/usb/FakeUsbBackend.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

std::unique_ptr<FakeUsbState> gState = std::make_unique<FakeUsbState>();
// The context handed out; only its identity matters.
int gContextToken = 0;

struct FakeHandle {
  FakeUsbDevice* device;
};

FakeUsbDevice* sDevice(cvusbDevice d) {
  return reinterpret_cast<FakeUsbDevice*>(d);
}
FakeHandle* sHandle(cvusbHandle h) {
  return reinterpret_cast<FakeHandle*>(h);
}

int sInit(cvusbContext* context) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  ++s.inits;
  *context = s.initResult == cvusbSuccess ? reinterpret_cast<cvusbContext>(&gContextToken) : nullptr;
  return s.initResult;
}

void sExit(cvusbContext) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  ++s.exits;
}

long sGetDeviceList(cvusbContext, cvusbDevice** list) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  ++s.lists;
  if (s.listResult < 0) return s.listResult;
  auto* devices = new cvusbDevice[s.devices.size() + 1];
  for (size_t i = 0; i < s.devices.size(); ++i) devices[i] = reinterpret_cast<cvusbDevice>(&s.devices[i]);
  devices[s.devices.size()] = nullptr;
  *list = devices;
  return static_cast<long>(s.devices.size());
}

void sFreeDeviceList(cvusbDevice* list) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  ++s.listFrees;
  delete[] list;
}

int sGetDeviceDescriptor(cvusbDevice device, cvusbDeviceInfo* info) {
  FakeUsbDevice* d = sDevice(device);
  if (d->descriptorResult != cvusbSuccess) return d->descriptorResult;
  info->vendorId = d->vendorId;
  info->productId = d->productId;
  info->serialNumberIndex = 3;
  return cvusbSuccess;
}

int sOpen(cvusbDevice device, cvusbHandle* handle) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  FakeUsbDevice* d = sDevice(device);
  if (d->openResult != cvusbSuccess) return d->openResult;
  ++s.opens;
  *handle = reinterpret_cast<cvusbHandle>(new FakeHandle{d});
  return cvusbSuccess;
}

void sClose(cvusbHandle handle) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  ++s.closes;
  delete sHandle(handle);
}

int sGetStringDescriptorAscii(cvusbHandle handle, uint8_t, unsigned char* text, int size) {
  FakeUsbDevice* d = sHandle(handle)->device;
  if (d->stringResult < 0) return d->stringResult;
  int n = std::min(static_cast<int>(d->serial.size()), size);
  std::memcpy(text, d->serial.data(), static_cast<size_t>(n));
  return n;
}

int sForEachAltSetting(cvusbHandle handle, cvusbAltSettingVisitor visit, void* ref) {
  FakeUsbDevice* d = sHandle(handle)->device;
  if (d->configResult != cvusbSuccess) return d->configResult;
  for (const FakeAltSetting& alt : d->altSettings) {
    cvusbAltSettingInfo info{alt.interfaceNumber,
                             alt.interfaceClass,
                             alt.interfaceSubClass,
                             alt.interfaceProtocol,
                             static_cast<uint8_t>(alt.endpoints.size()),
                             alt.endpoints.data()};
    if (!visit(&info, ref)) break;
  }
  return cvusbSuccess;
}

int sClaimInterface(cvusbHandle handle, int interfaceNumber) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  ++s.claims;
  s.claimedInterfaces.push_back(interfaceNumber);
  return sHandle(handle)->device->claimResult;
}

int sReleaseInterface(cvusbHandle, int) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  ++s.releases;
  return cvusbSuccess;
}

int sBulkTransfer(cvusbHandle, uint8_t endpoint, unsigned char* data, int length, int* transferred,
                  unsigned timeoutMs) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  *transferred = 0;
  if (endpoint & 0x80) {
    ++s.inTransfers;
    s.inTimeouts.push_back(timeoutMs);
    if (s.inScript.empty()) return cvusbErrorTimeout;
    FakeTransfer t = s.inScript.front();
    s.inScript.pop_front();
    int n = std::min(static_cast<int>(t.data.size()), length);
    if (n > 0) std::memcpy(data, t.data.data(), static_cast<size_t>(n));
    *transferred = n;
    return t.rc;
  }
  s.outChunks.emplace_back(data, data + length);
  s.outEndpoints.push_back(endpoint);
  s.outTimeouts.push_back(timeoutMs);
  FakeTransfer t;
  if (!s.outScript.empty()) {
    t = s.outScript.front();
    s.outScript.pop_front();
  }
  *transferred = t.accept < 0 ? (t.rc == cvusbSuccess ? length : 0) : std::min(t.accept, length);
  return t.rc;
}

int sClearHalt(cvusbHandle, uint8_t endpoint) {
  FakeUsbState& s = fakeUsb();
  std::lock_guard<std::mutex> lock(s.lock);
  s.clearedHalts.push_back(endpoint);
  if (s.clearHaltResults.empty()) return cvusbSuccess;
  int rc = s.clearHaltResults.front();
  s.clearHaltResults.pop_front();
  return rc;
}

}  // namespace

const cvusbBackend fakeUsbBackend = {
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

FakeUsbState& fakeUsb() {
  return *gState;
}

FakeUsbDevice fakeModule(const std::string& serial, uint16_t outMaxPacket, uint16_t inMaxPacket) {
  FakeUsbDevice d;
  d.serial = serial;
  d.altSettings.push_back(FakeAltSetting{0,
                                         cvusbInterfaceClass,
                                         cvusbInterfaceSubClass,
                                         cvusbInterfaceProtocol,
                                         {{0x81, 0x02, inMaxPacket}, {0x01, 0x02, outMaxPacket}}});
  return d;
}

FakeUsbScope::FakeUsbScope() {
  // Installing ends the previous backend's context first, on the old state.
  previous_ = cvusb_set_backend(&fakeUsbBackend);
  gState = std::make_unique<FakeUsbState>();
}

FakeUsbScope::~FakeUsbScope() {
  cvusb_set_backend(previous_ == &fakeUsbBackend ? nullptr : previous_);
}
