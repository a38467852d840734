// The discover job with no transport named searches USB, then TCP/IP, and
// lists the USB modules first. TCP/IP discovery multicasts its request, so
// this runs only inside a private network namespace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "FakeUsbBus.h"
#include "support/Environment.h"
#include "support/RecordingDisplay.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "unix/cvusb.h"
#include "updater/Updater.h"

namespace {

TEST(DiscoverOrderNetnsTest, NoTransportListsUsbModulesBeforeTcpipOnes) {
  if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
  TempDir temp;
  const std::string& dir = temp.path();
  ScopedEnv devDir("CORVALITH_DEV_DIR", dir);
  SimProcess sim;
  // The TCP/IP module's serial sorts first, so the order is not by serial.
  ASSERT_TRUE(sim.start({"--dev-dir", dir, "--discovery", "all", "--lifetime", "60", "--module",
                         "serial=40F5849B,kernel=yes,model=4,version=2.15.0,build=11", "--module",
                         "serial=40F5849A,tcp=0,model=21,version=2.15.0,build=12"}));
  FakeUsbBus bus({{"40F5849B", 0x0004, cvusbSuccess}});
  RecordingDisplay display;
  const std::string store = dir + "/store";
  Updater updater("http://127.0.0.1:9/cgi/u", store.c_str(), display);
  const std::vector<DeviceInfo> devices = updater.Discover_Devices(INVALID);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].spec.type, USB);
  EXPECT_EQ(devices[0].spec.serialNumber, 0x40F5849Bu);
  EXPECT_EQ(devices[0].build, 11u);
  EXPECT_EQ(devices[1].spec.type, TCPIP);
  EXPECT_EQ(devices[1].spec.serialNumber, 0x40F5849Au);
  EXPECT_EQ(devices[1].build, 12u);
  for (const DeviceInfo& d : devices) EXPECT_EQ(d.error, 0) << std::hex << d.spec.serialNumber;
  EXPECT_TRUE(display.info.empty() && display.errors.empty()) << "the job itself prints nothing";
}

}  // namespace
