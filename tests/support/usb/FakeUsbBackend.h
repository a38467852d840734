// A scripted stand-in for libusb behind the cvusb backend table. Tests list
// the devices on the "bus", script the results of bulk transfers and read
// back what the driver asked for.
#ifndef CORVALITH_TESTS_SUPPORT_USB_FAKEUSBBACKEND_H
#define CORVALITH_TESTS_SUPPORT_USB_FAKEUSBBACKEND_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "unix/cvusb.h"

struct FakeAltSetting {
  uint8_t interfaceNumber;
  uint8_t interfaceClass;
  uint8_t interfaceSubClass;
  uint8_t interfaceProtocol;
  std::vector<cvusbEndpointInfo> endpoints;
};

struct FakeUsbDevice {
  uint16_t vendorId = cvusbVendorId;
  uint16_t productId = 0x0011;
  std::string serial;
  int descriptorResult = cvusbSuccess;
  int openResult = cvusbSuccess;
  int stringResult = cvusbSuccess;  // a negative value is returned instead of the text
  int configResult = cvusbSuccess;
  int claimResult = cvusbSuccess;
  std::vector<FakeAltSetting> altSettings;
};

// One scripted bulk transfer. IN: data is delivered and transferred set to
// its size. OUT: transferred is min(length, accept) (accept < 0: all).
struct FakeTransfer {
  int rc = cvusbSuccess;
  std::vector<uint8_t> data;
  int accept = -1;
};

struct FakeUsbState {
  std::mutex lock;
  std::vector<FakeUsbDevice> devices;
  int initResult = cvusbSuccess;
  long listResult = 0;                 // a negative value is returned instead of the list
  std::deque<FakeTransfer> inScript;   // empty: time-out with nothing
  std::deque<FakeTransfer> outScript;  // empty: every byte accepted
  std::deque<int> clearHaltResults;    // empty: success
  // What the driver did.
  int inits = 0, exits = 0, lists = 0, listFrees = 0;
  int opens = 0, closes = 0, claims = 0, releases = 0;
  int inTransfers = 0;
  std::vector<std::vector<uint8_t>> outChunks;  // bytes offered per OUT transfer
  std::vector<uint8_t> outEndpoints;
  std::vector<unsigned> outTimeouts;
  std::vector<unsigned> inTimeouts;
  std::vector<uint8_t> clearedHalts;
  std::vector<int> claimedInterfaces;
};

extern const cvusbBackend fakeUsbBackend;

// The state the fake backend works on (one per installed scope).
FakeUsbState& fakeUsb();

// A module with the usual vendor interface: interface 0, bulk IN 0x81 and
// OUT 0x01 with the given maximum packet sizes.
FakeUsbDevice fakeModule(const std::string& serial, uint16_t outMaxPacket = 64, uint16_t inMaxPacket = 64);

// Installs the fake backend with a fresh state for its lifetime.
class FakeUsbScope {
 public:
  FakeUsbScope();
  ~FakeUsbScope();
  FakeUsbScope(const FakeUsbScope&) = delete;
  FakeUsbScope& operator=(const FakeUsbScope&) = delete;

 private:
  const cvusbBackend* previous_;
};

#endif
