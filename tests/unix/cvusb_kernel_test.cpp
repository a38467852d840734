// The kernel-device path end to end: a pseudo-terminal linked as
// corvalith.%08X in the directory CORVALITH_DEV_DIR names plays the device.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/aStream.h"
#include "pty_pair.h"
#include "support/TempFiles.h"
#include "support/usb/FakeUsbBackend.h"
#include "unix/aStreamOS.h"
#include "unix/cvusb.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class KernelDevice : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_FALSE(dir_.path().empty());
    link_ = dir_.path() + "/corvalith.0000ABCD";
    ASSERT_EQ(symlink(pty_.slavePath().c_str(), link_.c_str()), 0);
    ASSERT_EQ(setenv("CORVALITH_DEV_DIR", dir_.path().c_str(), 1), 0);
  }
  void TearDown() override { unsetenv("CORVALITH_DEV_DIR"); }

  PtyPair pty_;
  TempDir dir_{CV_BINARY_DIR};
  std::string link_;
};

TEST_F(KernelDevice, DeviceDirectoryComesFromTheEnvironment) {
  EXPECT_EQ(std::string(cvusb_device_directory()), dir_.path());
  EXPECT_TRUE(cvusb_is_kernel_driver_installed(0xABCD));
  EXPECT_FALSE(cvusb_is_kernel_driver_installed(0xABCE));
  unsetenv("CORVALITH_DEV_DIR");
  EXPECT_STREQ(cvusb_device_directory(), "/dev");
  setenv("CORVALITH_DEV_DIR", "", 1);
  EXPECT_STREQ(cvusb_device_directory(), "/dev") << "an empty setting is no setting";
}

TEST_F(KernelDevice, StreamUsesTheDeviceFileNotLibusb) {
  FakeUsbScope fake;
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone);
  EXPECT_EQ(fakeUsb().inits, 0) << "kernel mode never starts libusb";

  Bytes out{0xAD, 0x00, 0x00, 0x0A, 0x0D};
  EXPECT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
  EXPECT_EQ(pty_.receive(out.size()), out) << "bytes pass unchanged";

  ASSERT_TRUE(pty_.send({0x04, 0x00, 0x04, 0x00}));
  uint8_t got[4] = {};
  auto deadline = Clock::now() + std::chrono::seconds(2);
  aErr err = aErrNotReady;
  while (err == aErrNotReady && Clock::now() < deadline) err = aStream_Read(stream, got, 4);
  ASSERT_EQ(err, aErrNone);
  EXPECT_EQ(Bytes(got, got + 4), (Bytes{0x04, 0x00, 0x04, 0x00}));

  // Idle: the read waits for input instead of answering at once.
  auto start = Clock::now();
  EXPECT_EQ(aStream_Read(stream, got, 1), aErrNotReady);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(waited, 40);
  EXPECT_LT(waited, 1000);

  // The device going away is an I/O error, not an endless "not ready".
  pty_.closeMaster();
  EXPECT_EQ(aStream_Read(stream, got, 1), aErrIO);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(KernelDevice, DriverOpensByTextAndClosesOnce) {
  cvusbRef driver = cvusb_create_usb(false);
  EXPECT_EQ(cvusb_open_corvalith_device(driver, "0000FFFF"), aErrIO) << "no such file";
  ASSERT_EQ(cvusb_open_corvalith_device(driver, "0000ABCD"), aErrNone);
  EXPECT_EQ(cvusb_state(driver), cvusbStateCreated) << "kernel mode keeps state 1 while open";
  uint8_t byte = 0x5A;
  EXPECT_EQ(cvusb_write_to_device(driver, &byte, 1), aErrNone);
  EXPECT_EQ(pty_.receive(1), Bytes{0x5A});
  ASSERT_TRUE(pty_.send({0x77}));
  aErr err = aErrNotReady;
  for (int i = 0; i < 40 && err == aErrNotReady; ++i) err = cvusb_get_from_device(driver, &byte);
  EXPECT_EQ(err, aErrNone);
  EXPECT_EQ(byte, 0x77);
  EXPECT_EQ(cvusb_close_corvalith_device(driver), aErrNone);
  EXPECT_EQ(cvusb_state(driver), cvusbStateClosed);
  EXPECT_EQ(cvusb_close_corvalith_device(driver), aErrNone);
  EXPECT_EQ(cvusb_get_from_device(driver, &byte), aErrMode);
  EXPECT_EQ(cvusb_write_to_device(driver, &byte, 1), aErrMode);
  (void)cvusb_destroy(&driver);
}

}  // namespace
