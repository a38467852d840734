// The real Updater and the real libusb against simulated modules on an
// emulated USB bus (corvalith-usb-sim): the -D table, the devices it must
// skip, a device another process holds, an update whose loader start makes
// the module re-enumerate, a module that never comes back from LOAD, and the
// USB faults. The bus is a umockdev test bed; no network is involved.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunProcess.h"
#include "support/TempFiles.h"
#include "support/TestBird.h"

namespace {

const std::string kUsbSim = CV_BINARY_DIR "/sim/corvalith-usb-sim";
const std::string kUpdater = CV_BINARY_DIR "/Updater";
// Set in the copy of this program that runs inside the emulation.
constexpr const char* kRoleVariable = "CV_USB_HOLDER_STORE";
constexpr int kRunTimeoutMs = 90000;

const char* const kHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name\n";
const char* const kBusyLine = "    40F5849A  [Error (25): Is someone else connected to this device?]\n";

bool sHas(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t sCount(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

std::string sRead(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Empty when umockdev can run here, else why not.
std::string sEmulationMissing() {
  static const std::string why = [] {
    if (::access(kUsbSim.c_str(), X_OK) != 0)
      return std::string("corvalith-usb-sim was not built (no umockdev)");
    ProcessOptions o;
    o.timeoutMs = 20000;
    ProcessResult r = RunProcess(kUsbSim, {"--", "true"}, o);
    if (r.exitCode != 0) return "umockdev cannot run here: " + r.err;
    return std::string();
  }();
  return why;
}

std::string sSelf() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  return path;
}

class UsbEmulatedTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string store;
  std::string record;

  void SetUp() override {
    const std::string missing = sEmulationMissing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    store = dir / "store";
    record = dir / "record.txt";
  }

  // COMMAND under corvalith-usb-sim with these --module specs.
  ProcessResult Emulate(const std::vector<std::string>& modules, const std::vector<std::string>& command,
                        const std::map<std::string, std::string>& env = {}) {
    std::vector<std::string> args = {"--record", record, "--lifetime", "120"};
    for (const std::string& m : modules) args.insert(args.end(), {"--module", m});
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    ProcessOptions o;
    o.env = env;
    o.env["HOME"] = dir.path();
    o.cwd = dir.path();
    o.timeoutMs = kRunTimeoutMs;
    return RunProcess(kUsbSim, args, o);
  }
  ProcessResult Updater(const std::vector<std::string>& modules, std::vector<std::string> args) {
    args.insert(args.begin(), kUpdater);
    args.insert(args.end(), {"-i", store, "-u", "http://127.0.0.1:9/cgi/u"});
    return Emulate(modules, args);
  }
};

TEST_F(UsbEmulatedTest, DiscoveryListsTheModulesWithTheirTableLinesAndSkipsTheOthers) {
  const std::vector<std::string> modules = {
      "serial=40F5849A,model=4,version=2.10.4,build=2410,name=Bench hub",
      "serial=40F5849B,model=21,version=2.10.3,build=3020,name=Meter left",
      // Serial-number string of seven characters: not listed.
      "serial=40F5849C,usb-serial=40F5849",
      // Product id with the top bit set, and another vendor: not modules.
      "serial=40F5849D,usb-product=8011",
      "serial=40F5849E,usb-vendor=1D6B",
  };
  ProcessResult r = Updater(modules, {"-D"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // libusb lists the newest device first. Names only from firmware 2.10.4 on.
  EXPECT_TRUE(sHas(
      r.out, std::string("Searching for Corvalith devices\nDiscovered Devices: (USB)\n") + kHeader +
                 "    40F5849B  02       00      MeterPro       2.10.3 (      3020)         \n"
                 "    40F5849A  02       00      HubLink 4      2.10.4 (      2410)         Bench hub\n"))
      << r.out;
  for (const char* other : {"40F5849C", "40F5849D", "40F5849E"}) EXPECT_FALSE(sHas(r.out, other)) << r.out;
  const std::string events = sRead(record);
  EXPECT_TRUE(sHas(events, "EV 40F5849A usb connect")) << events;
  for (const char* other : {"40F5849C", "40F5849D", "40F5849E"})
    EXPECT_FALSE(sHas(events, std::string("EV ") + other + " usb connect")) << events;
}

TEST_F(UsbEmulatedTest, OtherProgramsSeeTheDevicesInSysfsAndDescriptors) {
  if (::access("/usr/bin/lsusb", X_OK) != 0) GTEST_SKIP() << "lsusb (usbutils) is not installed";
  ProcessResult r = Emulate({"serial=40F5849A,model=4,name=Bench hub", "serial=40F5849B,model=21"},
                            {"/usr/bin/lsusb", "-d", "24ff:"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(sHas(r.out, "Bus 001 Device 002: ID 24ff:0004 Corvalith Bench hub\n")) << r.out;
  EXPECT_TRUE(sHas(r.out, "Bus 001 Device 003: ID 24ff:0015 Corvalith")) << r.out;
  ProcessResult v = Emulate({"serial=40F5849A,model=4"}, {"/usr/bin/lsusb", "-v", "-d", "24ff:0004"});
  EXPECT_TRUE(sHas(v.out, "iSerial                 3 40F5849A")) << v.out;
  EXPECT_TRUE(sHas(v.out, "bInterfaceClass       255")) << v.out;
  EXPECT_TRUE(sHas(v.out, "bInterfaceSubClass    136")) << v.out;
  EXPECT_TRUE(sHas(v.out, "bInterfaceProtocol     16")) << v.out;
  EXPECT_TRUE(sHas(v.out, "bEndpointAddress     0x81  EP 1 IN")) << v.out;
  EXPECT_TRUE(sHas(v.out, "bEndpointAddress     0x01  EP 1 OUT")) << v.out;
}

// Inside the emulation only: holds the interface of 40F5849A through libusb
// while Updater -D runs, and prints what Updater printed.
TEST(UsbEmulatedHolder, HoldsTheInterfaceWhileDiscoveryRuns) {
  const char* storeDir = std::getenv(kRoleVariable);
  if (!storeDir) GTEST_SKIP() << "runs only inside corvalith-usb-sim (UsbEmulatedTest starts it)";
  libusb_context* context = nullptr;
  ASSERT_EQ(libusb_init(&context), 0);
  libusb_device_handle* held = nullptr;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < n && !held; ++i) {
    libusb_device_descriptor d{};
    libusb_device_handle* h = nullptr;
    if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != 0x24FF ||
        libusb_open(list[i], &h) != 0)
      continue;
    unsigned char text[64] = {};
    if (libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text) == 8 &&
        std::string(reinterpret_cast<char*>(text)) == "40F5849A") {
      held = h;
    } else {
      libusb_close(h);
    }
  }
  libusb_free_device_list(list, 1);
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(libusb_claim_interface(held, 0), 0);
  ProcessOptions o;
  o.timeoutMs = 60000;
  ProcessResult r = RunProcess(kUpdater, {"-D", "-i", storeDir}, o);
  std::printf("UPDATER-OUTPUT-BEGIN\n%sUPDATER-OUTPUT-END\n", r.out.c_str());
  EXPECT_EQ(libusb_release_interface(held, 0), 0);
  libusb_close(held);
  libusb_exit(context);
}

TEST_F(UsbEmulatedTest, DeviceHeldByAnotherProcessShowsTheErrorLine) {
  const std::string self = sSelf();
  ASSERT_FALSE(self.empty());
  ProcessResult r = Emulate({"serial=40F5849A,model=4", "serial=40F5849B,model=21,build=3020"},
                            {self, "--gtest_filter=UsbEmulatedHolder.*"}, {{kRoleVariable, store}});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(sHas(r.out, "[  PASSED  ] 1 test")) << r.out;
  EXPECT_TRUE(sHas(r.out, kBusyLine)) << r.out;
  EXPECT_TRUE(sHas(r.out, "    40F5849B  02       00      MeterPro       2.15.0 (      3020)")) << r.out;
  EXPECT_TRUE(sHas(sRead(record), "EV 40F5849A usb claim-busy"));
}

// A build for the hub 40F5849A; the caller adds its blocks.
TestBird sHubBird(uint32_t build, const std::string& version) {
  TestBird bird;
  bird.build = build;
  bird.version = version;
  bird.serial = 0x40F5849A;
  bird.model = "HubLink 4";
  return bird;
}

// Build 1250 for the hub with a loader and one firmware block of the size
// given, written to path.
TestBird sWriteNextBird(const std::string& path, size_t firmwareBytes) {
  TestBird next = sHubBird(1250, "2.16.0");
  next.loader.push_back({0x20000400, TestPayload(300, 7), 0});
  next.firmware.push_back({0x1000, TestPayload(firmwareBytes, 8), 0});
  next.write(path);
  return next;
}

// A signal while the device is being written: an interrupt says what it may
// leave behind, a hang-up (the session went away) lets the update finish.
// During a discovery either ends the program as the signal does, silently.
TEST_F(UsbEmulatedTest, ASignalWhileWritingTheDeviceWarnsOrLetsTheUpdateFinish) {
  const TestBird next = sWriteNextBird(dir / "next.bird", 8000);
  const struct {
    std::string signal;
    int updateStatus;
    int discoveryStatus;
    bool warns;
  } cases[] = {{"TERM", 143, 143, true}, {"HUP", 0, 129, false}};
  const std::string warning = "Interrupted while writing the device: it may be left in its loader";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal);
    const std::string flash = dir / (c.signal + ".bin");
    // The previous case's output must not pass for this one's.
    const std::string script =
        "rm -f u.out u.err d.out d.err\n"
        "\"$UPDATER\" -U -d 40F5849A -f next.bird -m 0 -i store >u.out 2>u.err & p=$!\n"
        "i=0; until grep -q 'Transferring firmware' u.out || [ $i -ge 400 ]; do sleep 0.05; i=$((i+1)); "
        "done\n"
        "kill -$SIG $p; wait $p; echo \"update $?\"; cat u.err\n"
        "\"$UPDATER\" -D -i store >d.out 2>d.err & p=$!\n"
        "i=0; until grep -q 'Searching' d.out || [ $i -ge 400 ]; do sleep 0.05; i=$((i+1)); done\n"
        "kill -$SIG $p; wait $p; echo \"discovery $?\"; cat d.err\n";
    ProcessResult r = Emulate(
        {"serial=40F5849A,model=4,delay-ms=1,flash-file=" + flash + ",reboot-bird=" + (dir / "next.bird"),
         "serial=40F5849B,model=21,mute-after=0"},
        {"/bin/sh", "-c", script}, {{"UPDATER", kUpdater}, {"SIG", c.signal}});
    ASSERT_FALSE(r.timedOut);
    const std::string update = "update " + std::to_string(c.updateStatus) + "\n";
    EXPECT_TRUE(sHas(r.out, c.warns ? update + "\n" + warning : update)) << r.out << r.err;
    EXPECT_EQ(sCount(r.out, warning), c.warns ? 1u : 0u) << r.out;
    EXPECT_TRUE(sHas(r.out, "discovery " + std::to_string(c.discoveryStatus) + "\n")) << r.out;
    if (c.updateStatus == 0) {
      EXPECT_EQ(ReadBytes(flash), FlashImage(next.firmware));
    }
  }
}

// A reader that leaves early (`| head`) leaves the Updater writing into a
// closed pipe for the rest of the update, which must still run to the end.
TEST_F(UsbEmulatedTest, AReaderThatLeavesEarlyDoesNotStopTheUpdate) {
  const TestBird next = sWriteNextBird(dir / "next.bird", 3000);
  const std::string script =
      "{ \"$UPDATER\" -U -d 40F5849A -f next.bird -i store; echo $? >status; } | head -n 1\n"
      "echo \"update $(cat status)\"\n";
  ProcessResult r = Emulate(
      {"serial=40F5849A,model=4,flash-file=" + (dir / "flash.bin") + ",reboot-bird=" + (dir / "next.bird")},
      {"/bin/sh", "-c", script}, {{"UPDATER", kUpdater}});
  ASSERT_FALSE(r.timedOut);
  EXPECT_TRUE(sHas(r.out, "update 0\n")) << r.out << r.err;
  EXPECT_EQ(ReadBytes(dir / "flash.bin"), FlashImage(next.firmware));
}

TEST_F(UsbEmulatedTest, UpdateGoesOverUsbAndTheLoaderStartReenumeratesTheModule) {
  TestBird next = sHubBird(1250, "2.16.0");
  next.loader.push_back({0x20000400, TestPayload(300, 7), 0});
  next.firmware.push_back({0x1000, TestPayload(1000, 8), 1});
  next.firmware.push_back({0x1800, TestPayload(500, 9), 0});
  next.write(dir / "next.bird");
  ProcessResult r = Updater(
      {"serial=40F5849A,model=4,flash-file=" + (dir / "flash.bin") + ",reboot-bird=" + (dir / "next.bird")},
      {"-X", "0x400", "-U", "-d", "40F5849A", "-f", "next.bird"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(sHas(r.out, "Transferring firmware block 2 of 2, 504 bytes")) << r.out;
  // The loader answers on the link to the re-enumerated device.
  EXPECT_TRUE(sHas(r.err, "NETWORK: Loader validated start (Reconnect)")) << r.err;
  EXPECT_EQ(ReadBytes(dir / "flash.bin"), FlashImage(next.firmware));
  EXPECT_TRUE(sHas(sRead(store + "/updater/40F5849A/.settings"), "LATEST_TRANSFER=next.bird\n"));

  const std::string events = sRead(record);
  const size_t load = events.find("RX 40F5849A usb 02 02 5F 02\n");
  ASSERT_NE(load, std::string::npos) << events;
  const size_t back = events.find("EV 40F5849A usb arrive /dev/bus/usb/001/003\n", load);
  EXPECT_NE(back, std::string::npos) << events;
  EXPECT_LT(events.find("EV 40F5849A usb reboot\n", load), back);
  EXPECT_NE(events.find("EV 40F5849A usb connect\n", back), std::string::npos);
  // Pooled writes leave in chunks of the packet size, 512-byte ones cut to 511.
  EXPECT_GT(sCount(events, "URB 40F5849A usb OUT 511\n"), 0u) << events;
  EXPECT_EQ(sCount(events, "URB 40F5849A usb OUT 512\n"), 0u) << events;
}

TEST_F(UsbEmulatedTest, ModuleThatStaysAwayAfterLoadIsSoughtFifteenTimesAndTheUpdateFails) {
  TestBird next = sHubBird(1260, "2.16.1");
  next.loader.push_back({0x20000400, TestPayload(100, 3), 0});
  next.firmware.push_back({0x1000, TestPayload(200, 4), 0});
  next.write(dir / "next.bird");
  ProcessResult r = Updater({"serial=40F5849A,model=4,return-after-load=no"},
                            {"-X", "0x10000", "-U", "-d", "40F5849A", "-f", "next.bird"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  // Attempts 0 to 14: the context is ended before 2, 5, 8, 11 and 14.
  EXPECT_EQ(sCount(r.err, "Failed enumeration after 3 tries, refreshing libusb context.\n"), 5u) << r.err;
  EXPECT_FALSE(sHas(sRead(store + "/updater/40F5849A/.settings"), "LATEST_TRANSFER")) << "no settings change";
  const std::string events = sRead(record);
  EXPECT_TRUE(sHas(events, "EV 40F5849A usb leave\n")) << events;
  EXPECT_EQ(sCount(events, "usb arrive"), 1u) << events;
}

TEST_F(UsbEmulatedTest, FaultsOnTheBusShowInDiscoveryAsTheDriverHandlesThem) {
  const std::string listed =
      "    40F5849A  02       00      HubLink 4      2.15.0 (         1)         Corvalith Sim\n";
  struct Case {
    const char* keys;
    const char* line;                 // expected table line (prefix)
    std::vector<std::string> events;  // expected in the record (reads and writes interleave)
  };
  const Case cases[] = {
      // The driver clears the halt and sends the bytes again.
      {"stall-out=1", listed.c_str(), {"URB 40F5849A usb OUT 3 stall\n", "EV 40F5849A usb clear-halt 1\n"}},
      {"stall-in=2",
       listed.c_str(),
       {"URB 40F5849A usb IN 1024 stall\n", "EV 40F5849A usb clear-halt 129\n"}},
      {"delay-ms=300", listed.c_str(), {"TX 40F5849A usb 02 00"}},
      {"claim-busy=yes", kBusyLine, {"EV 40F5849A usb claim-busy"}},
      // Gone in the middle of the reads: the read in progress fails (time-out
      // or not ready, as the link notices), the program goes on.
      {"vanish-after=8", "    40F5849A  [Error (", {"EV 40F5849A usb leave\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    std::remove(record.c_str());
    ProcessResult r = Updater({std::string("serial=40F5849A,model=4,") + c.keys}, {"-D"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(sHas(r.out, std::string(kHeader) + c.line)) << r.out;
    for (const std::string& event : c.events) EXPECT_TRUE(sHas(sRead(record), event)) << sRead(record);
  }
}

}  // namespace
