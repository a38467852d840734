#include "FakeUsbBus.h"

#include <utility>

FakeUsbBus::FakeUsbBus(std::vector<FakeUsbModule> modules) {
  std::lock_guard<std::mutex> lock(fakeUsb().lock);
  for (const FakeUsbModule& m : modules) {
    FakeUsbDevice device = fakeModule(m.serial);
    device.productId = m.productId;
    device.claimResult = m.claimResult;
    fakeUsb().devices.push_back(std::move(device));
  }
}

int FakeUsbBus::claims() const {
  std::lock_guard<std::mutex> lock(fakeUsb().lock);
  return fakeUsb().claims;
}
