// USB discovery against a scripted libusb: which devices count as modules,
// what their specs say, and that every device opened is closed again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/aDiscovery.h"
#include "support/usb/FakeUsbBackend.h"

namespace {

struct Found {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;  // 0: never stop
  bool count = true;
};

bool sCollect(const linkSpec* spec, uint8_t* counted, void* ref) {
  Found* found = static_cast<Found*>(ref);
  found->specs.push_back(*spec);
  *counted = found->count ? 1 : 0;
  return found->stopAfter == 0 || found->specs.size() < found->stopAfter;
}

FakeUsbDevice sDevice(uint16_t vendorId, uint16_t productId, const std::string& serial) {
  FakeUsbDevice d = fakeModule(serial);
  d.vendorId = vendorId;
  d.productId = productId;
  return d;
}

TEST(DiscoveryUsb, ReportsOnlyModulesWithAnEightDigitSerial) {
  FakeUsbScope scope;
  auto& devices = fakeUsb().devices;
  devices.push_back(sDevice(0x24FF, 0x0011, "0000ABCD"));
  devices.push_back(sDevice(0x24FF, 0x8001, "11111111"));  // top product bit: not a module
  devices.push_back(sDevice(0x1234, 0x0011, "22222222"));  // other vendor
  devices.push_back(sDevice(0x24FF, 0x0013, "1234567"));   // 7 characters
  devices.push_back(sDevice(0x24FF, 0x0013, "123456789"));
  devices.push_back(sDevice(0x24FF, 0x0013, "12 4567G"));  // not hexadecimal
  FakeUsbDevice unopenable = sDevice(0x24FF, 0x0013, "33333333");
  unopenable.openResult = cvusbErrorAccess;
  devices.push_back(unopenable);
  FakeUsbDevice unreadable = sDevice(0x24FF, 0x0013, "44444444");
  unreadable.stringResult = cvusbErrorIO;
  devices.push_back(unreadable);
  devices.push_back(sDevice(0x24FF, 0x7F04, "abcdef01"));

  Found found;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &found, 0), 2u);
  ASSERT_EQ(found.specs.size(), 2u);

  const linkSpec& first = found.specs[0];
  EXPECT_EQ(first.type, USB);
  EXPECT_EQ(first.serialNumber, 0xABCDu);
  EXPECT_EQ(first.t.usb.serialNumber, 0xABCDu);
  EXPECT_EQ(first.model, 0x11u);
  EXPECT_EQ(first.module, 0u);
  EXPECT_EQ(first.router, 0u);
  EXPECT_EQ(first.routerSerialNumber, 0u);
  EXPECT_EQ(found.specs[1].serialNumber, 0xABCDEF01u);
  EXPECT_EQ(found.specs[1].model, 0x04u) << "model is the low byte of the product id";

  // Non-modules are never opened; every opened device is closed; the list is
  // freed once.
  FakeUsbState& s = fakeUsb();
  EXPECT_EQ(s.opens, 6);
  EXPECT_EQ(s.closes, s.opens);
  EXPECT_EQ(s.lists, 1);
  EXPECT_EQ(s.listFrees, 1);
}

TEST(DiscoveryUsb, CallbackDecidesCountingAndStopping) {
  FakeUsbScope scope;
  for (const char* serial : {"00000001", "00000002", "00000003"})
    fakeUsb().devices.push_back(fakeModule(serial));

  Found uncounted;
  uncounted.count = false;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &uncounted, 0), 0u);
  EXPECT_EQ(uncounted.specs.size(), 3u) << "an uncounted device does not end the search";

  const int opensBefore = fakeUsb().opens;
  Found stopping;
  stopping.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &stopping, 0), 1u);
  ASSERT_EQ(stopping.specs.size(), 1u);
  EXPECT_EQ(stopping.specs[0].serialNumber, 1u);
  EXPECT_EQ(fakeUsb().opens - opensBefore, 1) << "devices after the stop are not opened";
  EXPECT_EQ(fakeUsb().closes, fakeUsb().opens);
  EXPECT_EQ(fakeUsb().listFrees, fakeUsb().lists);
}

TEST(DiscoveryUsb, NoUsbSubsystemFindsNothingSilently) {
  FakeUsbScope scope;
  fakeUsb().devices.push_back(fakeModule("00000001"));
  fakeUsb().initResult = cvusbErrorOther;
  Found found;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &found, 0), 0u);
  EXPECT_TRUE(found.specs.empty());
  EXPECT_EQ(aDiscovery_FindFirstModule(USB, 0), nullptr);

  fakeUsb().initResult = cvusbSuccess;
  fakeUsb().listResult = cvusbErrorNoMem;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &found, 0), 0u);
  EXPECT_TRUE(found.specs.empty());
}

TEST(DiscoveryUsb, FindModuleStopsAtTheSerialNumber) {
  FakeUsbScope scope;
  for (const char* serial : {"00000000", "0A0B0C0D", "40F5849A", "40F5849B"}) {
    fakeUsb().devices.push_back(fakeModule(serial));
  }

  linkSpec* spec = aDiscovery_FindModule(USB, 0x40F5849A, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, USB);
  EXPECT_EQ(spec->serialNumber, 0x40F5849Au);
  EXPECT_EQ(spec->t.usb.serialNumber, 0x40F5849Au);
  EXPECT_EQ(spec->model, 0x11u);
  EXPECT_EQ(fakeUsb().opens, 3) << "the device after the match is not opened";
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);

  spec = aDiscovery_FindFirstModule(USB, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->serialNumber, 0x0A0B0C0Du) << "serial number 0 is skipped";
  (void)aLinkSpec_Destroy(&spec);

  EXPECT_EQ(aDiscovery_FindModule(USB, 0x12345678, 0), nullptr);
  EXPECT_EQ(fakeUsb().closes, fakeUsb().opens);
  EXPECT_EQ(fakeUsb().listFrees, fakeUsb().lists);
}

}  // namespace
