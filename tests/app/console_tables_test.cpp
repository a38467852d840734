#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "app/ConsoleTables.h"
#include "support/RecordingDisplay.h"

namespace {

DeviceInfo sDevice(linkType type, uint32_t serial) {
  DeviceInfo d;
  d.spec = linkSpec{};
  d.spec.type = type;
  d.spec.serialNumber = serial;
  d.spec.module = 6;
  d.spec.router = 0x2A;
  d.modelName = "HubLink 8";
  d.major = 2;
  d.minor = 10;
  d.patch = 4;
  d.build = 1234567;
  d.deviceName = "bench hub";
  return d;
}

TEST(ConsoleTablesTest, UsbDeviceList) {
  RecordingDisplay display;
  DeviceInfo failed = sDevice(USB, 0xABC);
  failed.error = 25;
  ShowDeviceList(display, USB, {sDevice(USB, 0x40F5849A), failed});
  std::vector<std::string> expected = {
      "Discovered Devices: (USB)",
      "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
      "    40F5849A  06       2A      HubLink 8      2.10.4 (   1234567)         bench hub",
      "    00000ABC  [Error (25): Is someone else connected to this device?]",
  };
  EXPECT_EQ(display.info, expected);
  EXPECT_TRUE(display.errors.empty());
}

TEST(ConsoleTablesTest, TcpipDeviceListShowsAddressInDottedOrder) {
  RecordingDisplay display;
  DeviceInfo d = sDevice(TCPIP, 0x2181F0EE);
  d.spec.t.ip.ipAddress = htonl(0xC0A8010A);  // 192.168.1.10 as sockets deliver it
  DeviceInfo failed = sDevice(TCPIP, 0x2181F0EF);
  failed.error = 25;  // a failed module says so rather than showing zeros
  ShowDeviceList(display, TCPIP, {d, failed});
  ASSERT_EQ(display.info.size(), 4u);
  EXPECT_EQ(display.info[0], "Discovered Devices: (TCPIP)");
  EXPECT_EQ(display.info[1],
            "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
            "Device Name");
  EXPECT_EQ(display.info[2],
            "    2181F0EE  06       2A      HubLink 8      2.10.4 (   1234567)        [192.168.1.10]     "
            "bench hub");
  EXPECT_EQ(display.info[3], "    2181F0EF  [Error (25): Is someone else connected to this device?]");
}

TEST(ConsoleTablesTest, EmptyAndUnknownLists) {
  RecordingDisplay display;
  ShowDeviceList(display, USB, {});
  ShowDeviceList(display, 0, {});
  std::vector<std::string> expected = {"Discovered Devices: (USB)", "    No devices found.",
                                       "Discovered Devices: (Unknown)", "    No devices found."};
  EXPECT_EQ(display.info, expected);
}

TEST(ConsoleTablesTest, BuildList) {
  RecordingDisplay display;
  ShowBuildList(display, 0x40F5849A, {{"99528558", "2.12.1"}, {"123", "a-very-long-version-text"}});
  std::vector<std::string> expected = {
      "Build List for device [40F5849A]:\n",
      "Build          \tVersion        ",
      "99528558       \t2.12.1         ",
      "123            \ta-very-long-ver",
  };
  EXPECT_EQ(display.info, expected);

  RecordingDisplay empty;
  ShowBuildList(empty, 0x1F, {});
  EXPECT_EQ(empty.info, std::vector<std::string>{"No builds found for device [0000001F]"});
}

TEST(ConsoleTablesTest, FingerprintAndToken) {
  RecordingDisplay display;
  Fingerprint f;
  f.word[0] = 0x1;
  f.word[1] = 0xDEADBEEF;
  f.word[2] = 0x00ABCDEF;
  f.word[3] = 0xFFFFFFFF;
  ShowFingerprint(display, f);
  std::string token = "eyJ" + std::string(3000, 'k');  // longer than a message buffer
  ShowToken(display, token);
  ASSERT_EQ(display.info.size(), 2u);
  EXPECT_EQ(display.info[0], "[ 00000001 DEADBEEF 00ABCDEF FFFFFFFF ]");
  EXPECT_EQ(display.info[1], token) << "a token is never cut";

  display.mute_messages(true);
  ShowToken(display, "hidden");
  EXPECT_EQ(display.info.size(), 2u);
}

TEST(ConsoleTablesTest, BuildsListNewestVersionFirst) {
  // Build numbers do not order versions: a rebuild of an old version can
  // carry a higher number.
  std::map<std::string, std::string> builds = {
      {"9", "2.10.0"}, {"100", "2.1.0"}, {"20", "2.9.3"}, {"5000", "1.0.0"}};
  std::vector<BuildEntry> expected = {{"9", "2.10.0"}, {"20", "2.9.3"}, {"100", "2.1.0"}, {"5000", "1.0.0"}};
  EXPECT_EQ(sortedBuilds(builds), expected);
}

}  // namespace
