#include "FakeUsbBus.h"

#include <cstring>
#include <mutex>

#include "unix/cvusb.h"

namespace {

std::mutex sLock;
std::vector<FakeUsbModule> sModules;
int sClaims = 0;
char sContextToken;

// Devices and handles are the module's index + 1 in pointer form.
size_t sIndex(const void* p) {
  return reinterpret_cast<uintptr_t>(p) - 1;
}
template <typename T>
T sPointer(size_t index) {
  return reinterpret_cast<T>(static_cast<uintptr_t>(index + 1));
}

int sInit(cvusbContext* context) {
  *context = reinterpret_cast<cvusbContext>(&sContextToken);
  return cvusbSuccess;
}

void sExit(cvusbContext) {}

long sGetDeviceList(cvusbContext, cvusbDevice** list) {
  std::lock_guard<std::mutex> lock(sLock);
  *list = new cvusbDevice[sModules.size() + 1];
  for (size_t i = 0; i < sModules.size(); ++i) (*list)[i] = sPointer<cvusbDevice>(i);
  (*list)[sModules.size()] = nullptr;
  return static_cast<long>(sModules.size());
}

void sFreeDeviceList(cvusbDevice* list) {
  delete[] list;
}

int sGetDeviceDescriptor(cvusbDevice device, cvusbDeviceInfo* info) {
  std::lock_guard<std::mutex> lock(sLock);
  if (sIndex(device) >= sModules.size()) return cvusbErrorNoDevice;
  info->vendorId = cvusbVendorId;
  info->productId = sModules[sIndex(device)].productId;
  info->serialNumberIndex = 3;
  return cvusbSuccess;
}

int sOpen(cvusbDevice device, cvusbHandle* handle) {
  *handle = sPointer<cvusbHandle>(sIndex(device));
  return cvusbSuccess;
}

void sClose(cvusbHandle) {}

int sGetString(cvusbHandle handle, uint8_t, unsigned char* text, int size) {
  std::lock_guard<std::mutex> lock(sLock);
  if (sIndex(handle) >= sModules.size()) return cvusbErrorNoDevice;
  const std::string& serial = sModules[sIndex(handle)].serial;
  const int length = static_cast<int>(serial.size()) < size ? static_cast<int>(serial.size()) : size;
  std::memcpy(text, serial.data(), static_cast<size_t>(length));
  return length;
}

int sForEachAltSetting(cvusbHandle, cvusbAltSettingVisitor visit, void* ref) {
  static const cvusbEndpointInfo endpoints[] = {{0x81, 2, 64}, {0x01, 2, 64}};
  const cvusbAltSettingInfo vendor = {
      0, cvusbInterfaceClass, cvusbInterfaceSubClass, cvusbInterfaceProtocol, 2, endpoints};
  visit(&vendor, ref);
  return cvusbSuccess;
}

int sClaimInterface(cvusbHandle handle, int) {
  std::lock_guard<std::mutex> lock(sLock);
  ++sClaims;
  return sIndex(handle) < sModules.size() ? sModules[sIndex(handle)].claimResult : cvusbErrorNoDevice;
}

int sReleaseInterface(cvusbHandle, int) {
  return cvusbSuccess;
}

int sBulkTransfer(cvusbHandle, uint8_t, unsigned char*, int, int* transferred, unsigned) {
  *transferred = 0;
  return cvusbErrorTimeout;
}

int sClearHalt(cvusbHandle, uint8_t) {
  return cvusbSuccess;
}

const cvusbBackend sBackend = {
    sInit,     sExit,      sGetDeviceList,     sFreeDeviceList, sGetDeviceDescriptor, sOpen,
    sClose,    sGetString, sForEachAltSetting, sClaimInterface, sReleaseInterface,    sBulkTransfer,
    sClearHalt};

}  // namespace

FakeUsbBus::FakeUsbBus(std::vector<FakeUsbModule> modules) {
  {
    std::lock_guard<std::mutex> lock(sLock);
    sModules = std::move(modules);
    sClaims = 0;
  }
  cvusb_set_backend(&sBackend);
}

FakeUsbBus::~FakeUsbBus() {
  cvusb_set_backend(nullptr);
  std::lock_guard<std::mutex> lock(sLock);
  sModules.clear();
}

int FakeUsbBus::claims() const {
  std::lock_guard<std::mutex> lock(sLock);
  return sClaims;
}
