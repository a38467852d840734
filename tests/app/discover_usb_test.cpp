// The discover job over USB, in-process: a scripted USB bus lists the
// modules, corvalith-sim plays the ones reachable through their kernel
// device files, and the device table shows what a user would see, including
// a module that another program holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FakeUsbBus.h"
#include "app/ConsoleTables.h"
#include "support/Environment.h"
#include "support/RecordingDisplay.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "unix/cvusb.h"
#include "updater/Updater.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsbHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";

class DiscoverUsbTest : public ::testing::Test {
 protected:
  void TearDown() override { sim.stop(); }

  // The RX lines of the simulator's record for one module, as hex text.
  std::vector<std::string> received(const std::string& serial) {
    std::vector<std::string> lines;
    std::ifstream in(record());
    std::string line;
    const std::string head = "RX " + serial + " kernel ";
    while (std::getline(in, line)) {
      if (line.rfind(head, 0) == 0) lines.push_back(line.substr(head.size()));
    }
    return lines;
  }
  std::string record() const { return dir + "/packets.txt"; }

  TempDir devDir;
  const std::string dir = devDir.path();
  ScopedEnv devDirVariable{"CORVALITH_DEV_DIR", dir};
  SimProcess sim;
};

TEST_F(DiscoverUsbTest, TableShowsEachModuleTheNameFrom2_10_4AndTheErrorLineForAHeldModule) {
  ASSERT_TRUE(
      sim.start({"--dev-dir", dir, "--record", record(), "--lifetime", "60", "--module",
                 "serial=40F5849A,kernel=yes,model=4,version=2.10.4,build=99,name=Bench hub", "--module",
                 "serial=40F5849B,kernel=yes,model=21,address=4,version=2.10.3,build=7,name=Hidden"}));
  // 40F5849C has no kernel device file, and its interface is claimed by
  // another program.
  FakeUsbBus bus({{"40F5849A", 0x0004, cvusbSuccess},
                  {"40F5849B", 0x0015, cvusbSuccess},
                  {"40F5849C", 0x0011, cvusbErrorBusy}});

  RecordingDisplay display;
  const std::string store = dir + "/store";
  Updater updater("http://127.0.0.1:9/cgi/u", store.c_str(), display);
  const std::vector<DeviceInfo> devices = updater.Discover_Devices(USB);
  ShowDeviceList(display, USB, devices);

  const std::vector<std::string> expected = {
      "Discovered Devices: (USB)",
      kUsbHeader,
      "    40F5849A  02       00      HubLink 4      2.10.4 (        99)         Bench hub",
      "    40F5849B  04       00      MeterPro       2.10.3 (         7)         ",
      // aErrConnection: the link could not be made.
      "    40F5849C  [Error (25): Is someone else connected to this device?]",
  };
  EXPECT_EQ(display.info, expected);
  EXPECT_TRUE(display.errors.empty());
  EXPECT_GE(bus.claims(), 1) << "the held module was tried";

  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[2].build, 0u) << "nothing is read from a module that did not open";
  // Older firmware is not asked for a name (system option 32, a get).
  for (const std::string& rx : received("40F5849B")) EXPECT_EQ(rx.find("03 60"), std::string::npos) << rx;
  bool askedForName = false;
  for (const std::string& rx : received("40F5849A")) askedForName |= rx.find("02 03 03 60") == 0;
  EXPECT_TRUE(askedForName);
  EXPECT_FALSE(fs::exists(store)) << "discovery records nothing in the store";
}

TEST_F(DiscoverUsbTest, NoModulesGiveTheEmptyTable) {
  FakeUsbBus bus({});
  RecordingDisplay display;
  Updater updater("http://127.0.0.1:9/cgi/u", dir.c_str(), display);
  ShowDeviceList(display, USB, updater.Discover_Devices(USB));
  const std::vector<std::string> expected = {"Discovered Devices: (USB)", "    No devices found."};
  EXPECT_EQ(display.info, expected);
  EXPECT_TRUE(display.errors.empty());
}

}  // namespace
