// The USB driver in libusb mode against a simulated module on the emulated
// bus of corvalith-usb-sim: each case runs in a copy of this program started
// inside the emulation (the driver needs umockdev's preload in its own
// process), and the simulator's record tells what reached the endpoints.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunProcess.h"
#include "support/TempFiles.h"
#include "unix/cvusb.h"

namespace {

const std::string kUsbSim = CV_BINARY_DIR "/sim/corvalith-usb-sim";
constexpr const char* kInside = "CV_USB_EMULATED";

std::string sRead(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool sHas(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Runs one case of CvusbInsideEmulation inside the emulation with one module.
class CvusbEmulatedTest : public ::testing::Test {
 protected:
  TempDir dir;

  void SetUp() override {
    if (::access(kUsbSim.c_str(), X_OK) != 0) GTEST_SKIP() << "corvalith-usb-sim was not built (no umockdev)";
  }

  // The record, once the case passed.
  std::string RunInside(const std::string& testName, const std::string& moduleKeys) {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    self[n] = '\0';
    ProcessOptions o;
    o.env[kInside] = "1";
    o.timeoutMs = 30000;
    ProcessResult r = RunProcess(kUsbSim,
                                 {"--record", dir / "record.txt", "--lifetime", "60", "--module",
                                  "serial=40F5849A,heartbeat-ms=0," + moduleKeys, "--", self,
                                  "--gtest_filter=CvusbInsideEmulation." + testName},
                                 o);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(sHas(r.out, "[  PASSED  ] 1 test")) << r.out;
    return sRead(dir / "record.txt");
  }
};

// The cases below do their work only inside the emulation.
class CvusbInsideEmulation : public ::testing::Test {
 protected:
  cvusbRef driver = nullptr;

  void SetUp() override {
    if (!std::getenv(kInside))
      GTEST_SKIP() << "runs only inside corvalith-usb-sim (CvusbEmulatedTest starts it)";
    driver = cvusb_create_usb(true);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(cvusb_open_corvalith_device(driver, "40F5849A"), aErrNone);
    ASSERT_EQ(cvusb_state(driver), cvusbStateReady);
  }
  void TearDown() override {
    if (driver) {
      EXPECT_EQ(cvusb_destroy(&driver), aErrNone);
    }
    Corvalith_libusb_exit();
  }
};

TEST_F(CvusbInsideEmulation, WritesFiveHundredTwelveBytes) {
  const std::vector<uint8_t> bytes(512, 0);
  EXPECT_EQ(cvusb_write_to_device(driver, bytes.data(), bytes.size()), aErrNone);
}

TEST_F(CvusbInsideEmulation, RidesOutStalledEndpoints) {
  const uint8_t sync[] = {0xAD, 0x00};
  EXPECT_EQ(cvusb_write_to_device(driver, sync, sizeof sync), aErrNone);
  uint8_t byte = 0;
  bool delivered = true;
  EXPECT_EQ(cvusb_get_byte(driver, &byte, &delivered), aErrNotReady);
  EXPECT_FALSE(delivered);
  // The module's answer to the sync query: its address, then length 0.
  ASSERT_EQ(cvusb_get_byte(driver, &byte, &delivered), aErrNone);
  EXPECT_TRUE(delivered);
  EXPECT_EQ(byte, 0x02);
  ASSERT_EQ(cvusb_get_byte(driver, &byte, &delivered), aErrNone);
  EXPECT_EQ(byte, 0x00);
  EXPECT_EQ(cvusb_state(driver), cvusbStateReady);
}

TEST_F(CvusbInsideEmulation, FailsOnTheFifthIOErrorInARow) {
  const uint8_t sync[] = {0xAD, 0x00};
  EXPECT_EQ(cvusb_write_to_device(driver, sync, sizeof sync), aErrNone);
  // The module has left the bus: every transfer fails.
  uint8_t byte = 0;
  for (int i = 1; i <= 4; ++i) {
    bool delivered = true;
    EXPECT_EQ(cvusb_get_byte(driver, &byte, &delivered), aErrNone) << "read " << i;
    EXPECT_FALSE(delivered) << "read " << i;
    EXPECT_EQ(cvusb_state(driver), cvusbStateReady);
  }
  EXPECT_EQ(cvusb_get_byte(driver, &byte, nullptr), aErrIO);
  EXPECT_EQ(cvusb_state(driver), cvusbStateFailed);
  EXPECT_EQ(cvusb_get_byte(driver, &byte, nullptr), aErrIO);
  EXPECT_EQ(cvusb_write_to_device(driver, sync, sizeof sync), aErrIO);
}

TEST_F(CvusbEmulatedTest, AWriteOfOnePacketSizeLeavesAs511And1Bytes) {
  const std::string record = RunInside("WritesFiveHundredTwelveBytes", "usb-max-packet=512");
  EXPECT_TRUE(sHas(record, "URB 40F5849A usb OUT 511\nURB 40F5849A usb OUT 1\n")) << record;
}

TEST_F(CvusbEmulatedTest, StalledEndpointsAreClearedAndTheBytesGoAgain) {
  const std::string record = RunInside("RidesOutStalledEndpoints", "stall-out=1,stall-in=1");
  EXPECT_TRUE(sHas(record,
                   "URB 40F5849A usb OUT 2 stall\nEV 40F5849A usb clear-halt 1\nURB 40F5849A usb OUT 2\n"
                   "RX 40F5849A usb AD 00\n"))
      << record;
  EXPECT_TRUE(sHas(record, "URB 40F5849A usb IN 1024 stall\nEV 40F5849A usb clear-halt 129\n")) << record;
}

TEST_F(CvusbEmulatedTest, FiveIOErrorsInARowFailTheDriver) {
  const std::string record = RunInside("FailsOnTheFifthIOErrorInARow", "vanish-after=1");
  EXPECT_TRUE(sHas(record, "RX 40F5849A usb AD 00\nEV 40F5849A usb leave\n")) << record;
}

}  // namespace
