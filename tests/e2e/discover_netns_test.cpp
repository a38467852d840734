// The real Updater's -D against corvalith-sim: the TCP/IP device table, the
// sweep of a routing module's I2C network, an unknown router, USB-only
// discovery without -t, and the demo script. TCP/IP discovery multicasts its
// request, so all of it runs only inside a private network namespace.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "common/aDiscovery.h"
#include "support/Environment.h"
#include "support/RunProcess.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "support/Text.h"
#include "unix/aDiscoveryOS.h"

namespace fs = std::filesystem;

namespace {

const std::string kUpdater = CV_BINARY_DIR "/Updater";
constexpr const char* kTcpHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name";
constexpr const char* kUsbHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";

bool sContains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One packet the simulator received, from its record: "RX SERIAL tcp ADDR
// LEN DATA...".
struct Received {
  uint32_t serial = 0;
  std::vector<unsigned> bytes;  // address, length, data
};

// The packets recorded from byte offset on (the simulator appends).
std::vector<Received> sReceived(const std::string& recordPath, std::streamoff offset) {
  std::vector<Received> packets;
  std::ifstream in(recordPath);
  in.seekg(offset);
  std::string line;
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::string direction, serial, endpoint, byte;
    if (!(fields >> direction >> serial >> endpoint) || direction != "RX") continue;
    Received r;
    r.serial = static_cast<uint32_t>(std::stoul(serial, nullptr, 16));
    while (fields >> byte) r.bytes.push_back(static_cast<unsigned>(std::stoul(byte, nullptr, 16)));
    packets.push_back(r);
  }
  return packets;
}

// An I2C write on bus 0 to another module's address: class 8, index 0.
bool sIsI2CProbe(const Received& r) {
  return r.bytes.size() >= 5 && r.bytes[2] == 0x08 && r.bytes[3] == 0;
}

// A set of the system class's route-to-me option: class 3, option 20 | set.
bool sIsRouteToMe(const Received& r, unsigned flag) {
  return r.bytes.size() == 6 && r.bytes[2] == 0x03 && r.bytes[3] == 0x94 && r.bytes[5] == flag;
}

class DiscoverNetnsTest : public ::testing::Test {
 protected:
  TempDir tempDir;

  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
    dir = tempDir.path();
  }

  // Simulated modules answering discovery on every interface.
  void startSim(SimProcess& sim, const std::vector<std::string>& modules, const std::string& record = "") {
    std::vector<std::string> args{"--discovery", "all", "--lifetime", "120"};
    if (!record.empty()) args.insert(args.end(), {"--record", record});
    for (const std::string& m : modules) args.insert(args.end(), {"--module", m});
    ASSERT_TRUE(sim.start(args)) << "corvalith-sim did not get ready";
  }

  ProcessResult updater(std::vector<std::string> args) {
    args.insert(args.end(), {"-i", dir});
    ProcessOptions o;
    o.env["HOME"] = dir;
    o.timeoutMs = 60000;
    ProcessResult r = RunProcess(kUpdater, args, o);
    EXPECT_FALSE(r.timedOut);
    return r;
  }

  std::string dir;
};

TEST_F(DiscoverNetnsTest, TcpTableShowsEveryModuleWithItsAddressVersionBuildAndName) {
  SimProcess sim;
  startSim(sim, {
                    "serial=40F5849A,tcp=0,model=21,version=2.10.3,build=5,name=Old name",
                    "serial=40F5849B,tcp=0,model=4,address=8,version=2.10.4,build=6,name=Bench hub",
                    // A name of the full 32 bytes, a build of ten digits.
                    "serial=40F5849C,tcp=0,model=18,address=4,router=2,version=2.15.0,build=4000000000,"
                    "name=ABCDEFGHIJKLMNOPQRSTUVWXYZ012345",
                    // Answers discovery, but its link never comes up.
                    "serial=40F5849D,tcp=0,model=17,mute-after=0",
                });
  ProcessResult r = updater({"-D", "-t", "TCP"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "") << "discovery shows failures in the table, not as messages";
  std::vector<std::string> lines = SplitLines(r.out);
  ASSERT_EQ(lines.size(), 8u) << r.out;
  EXPECT_EQ(lines[0].rfind("Updater (Version: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "Searching for Corvalith devices");
  EXPECT_EQ(lines[2], "Discovered Devices: (TCPIP)");
  EXPECT_EQ(lines[3], kTcpHeader);
  // Replies arrive in no fixed order; the table keeps discovery order.
  std::vector<std::string> rows(lines.begin() + 4, lines.end());
  std::sort(rows.begin(), rows.end());
  const std::vector<std::string> expected = {
      // 2.10.3 has no device name; 2.10.4 has.
      "    40F5849A  02       00      MeterPro       2.10.3 (         5)        [127.0.0.1]        ",
      "    40F5849B  08       00      HubLink 4      2.10.4 (         6)        [127.0.0.1]        Bench hub",
      "    40F5849C  04       02      RelayPak 4     2.15.0 (4000000000)        [127.0.0.1]        "
      "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345",
      // A module whose link never opens shows the error line, not a row of zeros.
      "    40F5849D  [Error (18): Is someone else connected to this device?]",
  };
  EXPECT_EQ(rows, expected) << r.out;
}

TEST_F(DiscoverNetnsTest, NetworkSweepFindsTheModulesBehindTheRouterAndProbesOnlyEvenAddressesUpTo252) {
  const std::string record = dir + "/packets.txt";
  SimProcess sim;
  startSim(sim,
           {
               "serial=D272031D,tcp=0,model=25,address=6,version=2.15.0,build=3140,name=Rack router",
               // Behind a router the name is not read, even on new firmware.
               "serial=2181F0EE,behind=D272031D,model=17,address=4,version=2.12.0,build=77,name=Not read",
               "serial=2181F0EF,behind=D272031D,model=15,address=252,version=2.10.4,build=78",
               // 254 is never probed, so this one is never found.
               "serial=2181F0F0,behind=D272031D,model=18,address=254,version=2.15.0,build=79",
               "serial=40F5849A,tcp=0,model=21,version=2.15.0,build=5",
           },
           record);
  const std::vector<std::string> rows = {
      "    2181F0EE  04       06      AnaIO 8        2.12.0 (        77)        [127.0.0.1]        ",
      "    2181F0EF  FC       06      DigiIO 16      2.10.4 (        78)        [127.0.0.1]        ",
  };
  // Every even address from 2 to 252 except the router's own 6, in order.
  std::vector<unsigned> sweep;
  for (unsigned a = 2; a <= 252; a += 2) {
    if (a != 6) sweep.push_back(a);
  }

  struct Run {
    std::vector<std::string> args;
    const char* table;
  };
  // With -t TCP the router is looked for over TCP/IP only; without -t over
  // USB first, then TCP/IP, and the table has no transport name.
  for (const Run& run : {Run{{"-D", "-r", "D272031D", "-t", "TCP"}, "Discovered Devices: (TCPIP)"},
                         Run{{"-D", "-r", "0xD272031D"}, "Discovered Devices: (Unknown)"}}) {
    const std::streamoff before = fs::exists(record) ? static_cast<std::streamoff>(fs::file_size(record)) : 0;
    ProcessResult r = updater(run.args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> expected = {
        "Searching for Corvalith Network devices connected to D272031D", run.table, kTcpHeader, rows[0],
        rows[1]};
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected) << r.out;

    std::vector<Received> packets = sReceived(record, before);
    std::vector<unsigned> probed;
    size_t firstProbe = packets.size(), lastProbe = 0, routeOn = packets.size(), routeOff = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
      const Received& p = packets[i];
      EXPECT_NE(p.bytes.at(0), 0xFEu) << "a packet went to address 254";
      if (p.serial != 0xD272031D) continue;
      if (sIsI2CProbe(p)) {
        probed.push_back(p.bytes[4]);
        firstProbe = std::min(firstProbe, i);
        lastProbe = i;
      }
      if (sIsRouteToMe(p, 1)) routeOn = std::min(routeOn, i);
      if (sIsRouteToMe(p, 0)) routeOff = i;
    }
    EXPECT_EQ(probed, sweep);
    EXPECT_LT(routeOn, firstProbe) << "the router routes to the host before the sweep";
    EXPECT_GT(routeOff, lastProbe) << "and stops routing after it";
  }
}

TEST_F(DiscoverNetnsTest, SweepEndsWithWhatItFoundWhenTheRouterStopsAnswering) {
  const std::string record = dir + "/packets.txt";
  SimProcess sim;
  // The router goes mute part-way through the sweep, after the module at 4
  // (60 packets: route, speed, probes of 2 and 4, the module's reads).
  startSim(sim,
           {"serial=D272031D,tcp=0,model=25,address=6,mute-after=60",
            "serial=2181F0EE,behind=D272031D,model=17,address=4,version=2.12.0,build=77"},
           record);
  const auto start = std::chrono::steady_clock::now();
  ProcessResult r = updater({"-D", "-r", "D272031D", "-t", "TCP", "-X", "0x100"});
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("sweep with a router that went mute: ended after %.2f s\n", took);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("    2181F0EE  04"), std::string::npos) << "what was found is kept: " << r.out;
  EXPECT_NE((r.out + r.err).find("Router stopped answering at address 0x"), std::string::npos)
      << r.out << r.err;
  std::vector<Received> packets = sReceived(record, 0);
  size_t probes = 0;
  for (const Received& p : packets) probes += p.serial == 0xD272031D && sIsI2CProbe(p);
  EXPECT_LT(probes, 125u) << "the sweep stopped early";
}

TEST_F(DiscoverNetnsTest, UnknownRouterGivesNoDevicesAndNoError) {
  SimProcess sim;
  startSim(sim, {"serial=D272031D,tcp=0,model=25", "serial=2181F0EE,behind=D272031D,address=4"});
  for (const char* transport : {"TCP", ""}) {
    std::vector<std::string> args{"-D", "-r", "12345678"};
    if (*transport) args.insert(args.end(), {"-t", transport});
    ProcessResult r = updater(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "") << transport;
    const std::vector<std::string> expected = {
        "Searching for Corvalith Network devices connected to 12345678",
        *transport ? "Discovered Devices: (TCPIP)" : "Discovered Devices: (Unknown)",
        "    No devices found."};
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected) << r.out;
  }
}

// True when a discovery request reached the group within the receiver's 1 s
// wait (requests sent while nobody read are queued, so this runs after).
bool sRequestArrived(aMulticastRef receiver) {
  uint8_t request[64];
  bool any = false;
  // Bounded: drain what queued, at most a few requests per search.
  for (int i = 0; i < 16; ++i) {
    if (aMulticast_Receive(receiver, request, sizeof request) <= 0) break;
    any = true;
  }
  return any;
}

TEST_F(DiscoverNetnsTest, DiscoverWithoutTransportSearchesUsbOnly) {
  // Requests go out through every interface but loopback: listen on the
  // namespace's other one.
  uint32_t interfaces[8] = {};
  const uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, 8);
  uint32_t through = 0;
  for (uint32_t i = 0; i < count && through == 0; ++i) {
    if (interfaces[i] != aDISCOVERY_LOOPBACK) through = interfaces[i];
  }
  ASSERT_NE(through, 0u) << "no interface besides loopback";
  aMulticastRef receiver = aMulticast_Create(through, aDISCOVERY_GROUP, aDISCOVERY_REQUEST_PORT, false);
  ASSERT_NE(receiver, nullptr);

  // No USB modules on this machine.
  ProcessResult r = updater({"-D"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> expected = {"Searching for Corvalith devices", "Discovered Devices: (USB)",
                                             "    No devices found."};
  std::vector<std::string> lines = SplitLines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected) << r.out;
  EXPECT_FALSE(sRequestArrived(receiver)) << "-D without -t sent a TCP/IP discovery request";

  // The receiver does hear a TCP/IP search.
  r = updater({"-D", "-t", "TCP"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(sContains(r.out, "Discovered Devices: (TCPIP)\n    No devices found.\n")) << r.out;
  EXPECT_TRUE(sRequestArrived(receiver));
  aMulticast_Destroy(&receiver);
}

// Processes whose command line mentions text.
std::vector<std::string> sProcessesMentioning(const std::string& text) {
  std::vector<std::string> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (sContains(cmdline, text)) found.push_back(entry->d_name);
  }
  closedir(proc);
  return found;
}

TEST_F(DiscoverNetnsTest, DemoRunsToCompletionAndLeavesNothingBehind) {
  const std::string tmp = dir + "/tmp";
  fs::create_directories(tmp);
  ProcessOptions o;
  o.env["TMPDIR"] = tmp;
  o.env["HOME"] = dir;
  o.timeoutMs = 120000;
  ProcessResult r = RunProcess(CV_SOURCE_DIR "/scripts/demo.sh", {CV_BINARY_DIR}, o);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  for (const char* line : {
           "=== Discover the modules on TCP/IP\n",
           "Discovered Devices: (TCPIP)\n",
           "    D272031D  06       00      ModRouter      2.15.0 (      3140)        [127.0.0.1]        Rack "
           "router\n",
           "    40F5849B  02       00      MeterPro       2.11.0 (      3020)        [127.0.0.1]        "
           "Meter left\n",
           "Searching for Corvalith Network devices connected to D272031D\n",
           "    2181F0EE  04       06      AnaIO 8        2.12.0 (      2950)        [127.0.0.1]        \n",
           "    2181F0EF  08       06      RelayPak 4     2.10.3 (      2410)        [127.0.0.1]        \n",
           "Build List for device [40F5849A]:\n\nBuild          \t"
           "Version        \n3140           \t2.11.0         \n3020           \t2.10.4         \n",
           // The hub is on the emulated USB bus; on 2.10.3 it shows no name.
           "=== Discover the modules on USB\n",
           "Discovered Devices: (USB)\n",
           "    40F5849A  02       00      HubLink 4      2.10.3 (      2410)         \n",
           "    40F5849C  02       00      MeterPro       2.12.0 (      3140)         Meter right\n",
           "Retrieving firmware for device with serial number 40F5849A\n",
           // The store holds the fetched build only.
           "=== Builds held in the local store\n",
           "Version        \n3140           \t2.11.0         \n\n=== Discover again",
           "Update time: ",
           "    40F5849A  02       00      HubLink 4      2.11.0 (      3140)         Bench hub\n",
           "The simulated flash holds the new firmware at 0x00010000, byte for byte.\n",
           // A bare LPC chip: its fingerprint, then the recovery by it.
           "[ 5F1C0A33 8E6B22D1 0B39C4A7 61D2E85C ]\n",
           "Transferred 1 blocks, 20004 total bytes\nRebooting Device\n",
           "The LPC flash holds the recovered firmware at 0x00000000, byte for byte.\n\n=== Done\n",
       }) {
    EXPECT_TRUE(sContains(r.out, line)) << line << "\n---\n" << r.out;
  }
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fs::is_empty(tmp)) << "the demo left its temporary directory";
  EXPECT_TRUE(sProcessesMentioning(tmp).empty()) << "the demo left a process running";
  EXPECT_FALSE(fs::exists(dir + "/.tessaron")) << "the demo used the home store";
}

}  // namespace
