// The real Updater's -U against corvalith-sim and corvalith-update-server:
// what reaches the simulated flash in both data modes, serial stamping, the
// build choice, -f and -OVERRIDE, the upgrade faults, and an update through a
// routing module. A direct connection finds the module by TCP/IP discovery,
// which multicasts, so all of it runs inside a private network namespace.
// Expected flash bytes come from the test's own payloads (support/TestBird).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Environment.h"
#include "support/Loopback.h"
#include "support/RunProcess.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"
#include "support/TestBird.h"
#include "support/UpdateServerProcess.h"

namespace {

typedef std::vector<uint8_t> Bytes;
const std::string kUpdater = CV_BINARY_DIR "/Updater";
const std::string kSerial = "40F5849A";
constexpr uint32_t kSerialNumber = 0x40F5849A;
// Per Updater run; the slowest case waits out one LOAD and one DATA reply.
constexpr int kUpdaterTimeoutMs = 60000;
// How long a module may take to come back after its reboot (it takes reboot-ms, 500).
constexpr int kModuleBackTimeoutMs = 5000;

bool sHas(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A build for the simulated AnaIO 8: one loader block and two firmware
// blocks whose bytes depend on the build number.
TestBird sBuild(uint32_t build, const std::string& version, bool withLoader = true) {
  TestBird b;
  b.build = build;
  b.version = version;
  b.serial = kSerialNumber;
  b.model = "AnaIO 8";
  if (withLoader) b.loader.push_back({0x20000400, TestPayload(300, build), 0});
  b.firmware.push_back({0x1000, TestPayload(1000, build + 1), 1});
  b.firmware.push_back({0x1800, TestPayload(500, build + 2), 0});
  return b;
}

// Wire bytes from the simulator's record ("RX SERIAL tcp ADDR LEN DATA...").
std::vector<Bytes> sReceived(const std::string& recordPath) {
  std::vector<Bytes> packets;
  std::ifstream in(recordPath);
  std::string line;
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::string direction, serial, endpoint, byte;
    if (!(fields >> direction >> serial >> endpoint) || direction != "RX") continue;
    Bytes b;
    while (fields >> byte) b.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    packets.push_back(b);
  }
  return packets;
}

size_t sCount(const std::vector<Bytes>& packets, const Bytes& dataStart) {
  size_t n = 0;
  for (const Bytes& p : packets) {
    if (p.size() >= 2 + dataStart.size() && std::equal(dataStart.begin(), dataStart.end(), p.begin() + 2))
      ++n;
  }
  return n;
}

// The files below root (directories left out: the store may make its own).
std::map<std::string, std::string> sFiles(const std::string& root) {
  std::map<std::string, std::string> files = SnapshotTree(root);
  for (auto it = files.begin(); it != files.end();) {
    it = it->first.empty() || it->first.back() == '/' ? files.erase(it) : std::next(it);
  }
  return files;
}

class UpdateNetnsTest : public ::testing::Test {
 protected:
  TempDir dir;
  SimProcess sim;

  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
    store = dir / "store";
    deviceDir = store + "/updater/" + kSerial;
  }

  // One module with a flash file, the record on, and the given extra keys.
  bool StartSim(const std::string& keys = "") {
    std::string module = "serial=" + kSerial + ",tcp=0,flash-file=" + (dir / "flash.bin");
    if (std::filesystem::exists(dir / "next.bird")) module += ",reboot-bird=" + (dir / "next.bird");
    if (!keys.empty()) module += "," + keys;
    return sim.start(
        {"--discovery", "all", "--lifetime", "300", "--record", dir / "record.txt", "--module", module});
  }
  // Until the module listens again after the reboot an update ends with.
  bool WaitForModule() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kModuleBackTimeoutMs);
    for (int attempt = 0; attempt < kModuleBackTimeoutMs; ++attempt) {
      const int fd = ConnectLoopback(sim.tcpPort(kSerial));
      if (fd >= 0) {
        ::close(fd);
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // The flash once the simulator has ended (it rewrites the file on exit).
  Bytes StopAndReadFlash() {
    EXPECT_EQ(sim.stop(), 0);
    return ReadBytes(dir / "flash.bin");
  }
  ProcessResult Updater(std::vector<std::string> args, const std::string& url = "http://127.0.0.1:9/cgi/u") {
    ProcessOptions o;
    o.env["HOME"] = dir.path();
    o.cwd = dir.path();
    o.timeoutMs = kUpdaterTimeoutMs;
    args.insert(args.end(), {"-i", store, "-u", url});
    return RunProcess(kUpdater, args, o);
  }
  std::string Settings() {
    std::ifstream in(deviceDir + "/.settings");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string store;
  std::string deviceDir;
};

TEST_F(UpdateNetnsTest, BothDataModesPutTheFirmwareBlocksIntoFlashAndDiscoveryShowsTheNewBuild) {
  struct Mode {
    const char* flag;
    bool ueiData;
  };
  for (const Mode& mode : {Mode{"0", false}, Mode{"1", true}}) {
    SCOPED_TRACE(std::string("-m ") + mode.flag);
    std::remove((dir / "record.txt").c_str());
    TestBird next = sBuild(1250, "2.16.0");
    // 1000 bytes with a block size of 512: chunks of 512 and 488.
    next.write(dir / "next.bird");
    ASSERT_TRUE(StartSim("block-size=512,version=2.15.0,build=1100"));
    ProcessResult r = Updater({"-U", "-d", kSerial, "-f", "next.bird", "-m", mode.flag});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(sHas(r.out, "Transferring firmware block 2 of 2, 504 bytes")) << r.out;
    EXPECT_TRUE(sHas(r.out, "Update time: ")) << r.out;
    ProcessResult d = Updater({"-D", "-t", "TCP"});
    EXPECT_TRUE(sHas(d.out, "2.16.0 (      1250)")) << d.out;
    EXPECT_EQ(StopAndReadFlash(), FlashImage(next.firmware));

    const std::vector<Bytes> rx = sReceived(dir / "record.txt");
    EXPECT_EQ(sCount(rx, {0x5F, 0x05, 0x02, 0x00}), 1u) << "WRITE 512";
    EXPECT_EQ(sCount(rx, {0x5F, 0x05, 0x01, 0xE8}), 1u) << "WRITE 488";
    EXPECT_EQ(sCount(rx, {0x5F, 0x05, 0x01, 0xF4}), 1u) << "WRITE 500";
    EXPECT_EQ(sCount(rx, {0x5F, 0x8A}) > 0, mode.ueiData);
    // Loader DATA always; firmware DATA only without the UEI-bytes option:
    // 12 loader packets, then 20 + 19 + 20 for the firmware.
    EXPECT_EQ(sCount(rx, {0x5F, 0x01}), mode.ueiData ? 12u : 71u);
    EXPECT_TRUE(sHas(Settings(), "LATEST_TRANSFER=next.bird\n")) << Settings();
  }
}

TEST_F(UpdateNetnsTest, GenericFileGetsTheDevicesSerialNumberStampedIntoFlash) {
  TestBird generic = sBuild(1260, "2.16.1");
  generic.serial = 0;
  generic.generic = true;
  generic.serialWordAddress = 0x1100;
  generic.serialTextAddress = 0x1200;
  generic.write(dir / "generic.bird");
  ASSERT_TRUE(StartSim());
  ProcessResult r = Updater({"-U", "-d", kSerial, "-f", dir / "generic.bird"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  Bytes expected = FlashImage(generic.firmware);
  const Bytes word = {0x9A, 0x84, 0xF5, 0x40};
  std::copy(word.begin(), word.end(), expected.begin() + 0x1100);
  for (size_t i = 0; i < kSerial.size(); ++i) expected[0x1200 + 2 * i] = static_cast<uint8_t>(kSerial[i]);
  EXPECT_EQ(StopAndReadFlash(), expected);
}

TEST_F(UpdateNetnsTest, BuildIsChosenGivenThenServerCurrentThenLatestDownloadThenLatestTransfer) {
  const std::string served = dir / "served";
  MakeDirectory(served);
  MakeDirectory(served + "/" + kSerial);
  UpdateServerProcess server(served, dir / "server.log");
  ASSERT_TRUE(server.running()) << server.startOutput();
  ASSERT_TRUE(StartSim());
  sBuild(1300, "2.17.0").write(served + "/" + kSerial + "/1300.bird");

  const char* kNewer = "New firmware is available.  Updater will proceed if valid firmware is found locally.";
  struct Case {
    const char* name;
    std::vector<std::string> extra;  // -b
    const char* current;             // the server's current build; "" none
    const char* settings;            // the device's settings file
    uint32_t used;                   // 0: none found
    const char* message;
    const char* before;  // "": none
  };
  const Case cases[] = {
      {"given",
       {"-b", "1200"},
       "1250",
       "LATEST_DOWNLOAD=1250.bird\n",
       1200,
       "Updating firmware with build: 1200",
       ""},
      {"server current",
       {},
       "1250",
       "LATEST_DOWNLOAD=1200.bird\n",
       1250,
       "Updating firmware with build: 1250",
       ""},
      {"latest download",
       {},
       "1300",
       "LATEST_DOWNLOAD=1250.bird\nLATEST_TRANSFER=1200.bird\n",
       1250,
       "Updating with the Latest Download",
       kNewer},
      {"latest transfer",
       {},
       "",
       "LATEST_TRANSFER=1200.bird\n",
       1200,
       "Updating with the Latest Transfer",
       kNewer},
      {"none", {}, "", "", 0, "Could not find valid build for this device.", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(served + "/" + kSerial + "/current", c.current);
    if (std::string(c.current).empty()) std::remove((served + "/" + kSerial + "/current").c_str());
    // "none": the server offers nothing for the device.
    if (c.used == 0) std::remove((served + "/" + kSerial + "/1300.bird").c_str());
    MakeDirectory(store);
    MakeDirectory(store + "/updater");
    MakeDirectory(deviceDir);
    for (uint32_t b : {1200u, 1250u})
      sBuild(b, "2.16." + std::to_string(b % 100)).write(deviceDir + "/" + std::to_string(b) + ".bird");
    WriteText(deviceDir + "/.settings", c.settings);
    std::remove((dir / "flash.bin").c_str());
    std::vector<std::string> args = {"-U", "-d", kSerial};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ProcessResult r = Updater(args, server.url());
    if (*c.before) {
      EXPECT_TRUE(sHas(r.out, c.before)) << r.out;
    }
    if (c.used == 0) {
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_TRUE(sHas(r.err, c.message)) << r.out << r.err;
      EXPECT_EQ(ReadText(deviceDir + "/.settings"), c.settings) << "no settings change";
    } else {
      EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
      EXPECT_TRUE(sHas(r.out, c.message)) << r.out;
      EXPECT_EQ(ReadBytes(dir / "flash.bin"), FlashImage(sBuild(c.used, "").firmware));
      EXPECT_TRUE(sHas(Settings(), "LATEST_TRANSFER=" + std::to_string(c.used) + ".bird\n")) << Settings();
    }
    std::filesystem::remove_all(store);
    ASSERT_TRUE(WaitForModule());
  }
}

TEST_F(UpdateNetnsTest, FileForAnotherDeviceIsRefusedUnlessOverridden) {
  TestBird other = sBuild(1270, "2.16.2");
  other.serial = 0x11223344;
  other.write(dir / "other.bird");
  ASSERT_TRUE(StartSim());
  MakeDirectory(dir / "sub");
  ProcessResult refused = Updater({"-U", "-d", kSerial, "-f", "./sub/../other.bird"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(sHas(refused.err, "Birdfile failed validation")) << refused.out << refused.err;
  EXPECT_FALSE(sHas(Settings(), "LATEST_TRANSFER")) << Settings();
  EXPECT_EQ(sCount(sReceived(dir / "record.txt"), {0x5F}), 0u) << "no upgrade step sent";

  ProcessResult forced = Updater({"-U", "-d", kSerial, "-f", "./sub/../other.bird", "-OVERRIDE"});
  EXPECT_EQ(forced.exitCode, 0) << forced.out << forced.err;
  EXPECT_TRUE(sHas(Settings(), "LATEST_TRANSFER=./sub/../other.bird\n")) << "the path as given\n"
                                                                         << Settings();
  EXPECT_EQ(StopAndReadFlash(), FlashImage(other.firmware));
}

TEST_F(UpdateNetnsTest, FaultsAreRetriedOrFailWithoutSettingsChange) {
  struct Case {
    const char* keys;
    bool withLoader;
    const char* fast;  // -m
    bool succeeds;
    const char* seen;    // in standard output
    const char* logged;  // in the firmware-network debug log
    const char* absent = "\x01";
  };
  // DATA packets: 12 for the loader, then 39 and 20 for the two blocks.
  const Case cases[] = {
      // Lost in block 2, which is sent again.
      {"ignore-data-every=55", true, "0", true, "  Retry 1",
       "NETWORK(DATA): No reply when initializing upgrade."},
      // Lost in the loader, which is never started with a block missing.
      {"ignore-data-every=5", true, "0", false, "Transferred 0 blocks", "NETWORK(DATA): No reply"},
      {"bad-sum-once=yes", false, "0", true, "  Retry 1", "Unable to validate transfer"},
      {"bad-sum-once=yes", false, "1", true, "  Retry 1", "val_UPGRADE_DATA_UEI"},
      {"bad-sum-once=yes", true, "1", false, "Transferred 0 blocks", "Unable to validate transfer"},
      {"mute-prepare=loader", true, "0", true, "Starting Load on Device", "Loader validated start\n"},
      {"mute-prepare=firmware", true, "1", false, "Transferring firmware block 1 of 2", "TransferPrepare"},
      {"mute-prepare=all", true, "0", false, "Transferring firmware block 1 of 2", "TransferPrepare"},
      {"drop-on-load=yes", true, "1", true, "Transferred 2 blocks, 1508 total bytes",
       "NETWORK: Loader validated start (Reconnect)"},
      {"uei-data=no", true, "1", true, "Transferred 2 blocks, 1508 total bytes",
       "CheckUEIDataSupport: Error: 21"},
      // Back before the first poll of the reboot wait: the drop still counts.
      {"reboot-ms=20", false, "1", true, "Update time:", "NETWORK: LoaderReboot", "did not drop"},
      {"drop-on-reboot=no", false, "1", true, "Update time:", "Link did not drop within 30000 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.keys) + " -m " + c.fast + (c.withLoader ? "" : " without loader"));
    std::remove((dir / "record.txt").c_str());
    TestBird next = sBuild(1280, "2.16.3", c.withLoader);
    next.write(dir / "next.bird");
    ASSERT_TRUE(StartSim(c.keys));
    const std::map<std::string, std::string> before = sFiles(store);
    std::remove((dir / "log.txt").c_str());
    ProcessResult r =
        Updater({"-U", "-d", kSerial, "-f", "next.bird", "-m", c.fast, "-X", "0x400", "-k", dir / "log.txt"});
    EXPECT_TRUE(sHas(r.out, c.seen)) << r.out << r.err;
    const Bytes flash = StopAndReadFlash();
    EXPECT_TRUE(sHas(ReadText(dir / "log.txt"), c.logged)) << ReadText(dir / "log.txt");
    EXPECT_FALSE(sHas(ReadText(dir / "log.txt"), c.absent)) << ReadText(dir / "log.txt");
    if (std::string(c.keys) == "uei-data=no") {
      EXPECT_EQ(sCount(sReceived(dir / "record.txt"), {0x5F, 0x8A}), 0u) << "DATA packets instead";
    }
    if (c.succeeds) {
      EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
      EXPECT_EQ(flash, FlashImage(next.firmware));
      EXPECT_TRUE(sHas(Settings(), "LATEST_TRANSFER=next.bird\n")) << Settings();
    } else {
      EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
      EXPECT_EQ(sFiles(store), before) << "no settings change";
    }
    std::filesystem::remove_all(store);
  }
}

TEST_F(UpdateNetnsTest, DownloadAndUpdateThroughARoutingModule) {
  const std::string router = "D272031D";
  const std::string served = dir / "served";
  MakeDirectory(served);
  MakeDirectory(served + "/" + kSerial);
  TestBird next = sBuild(1290, "2.16.5");
  next.write(served + "/" + kSerial + "/1290.bird");
  next.write(dir / "next.bird");
  UpdateServerProcess server(served, dir / "server.log");
  ASSERT_TRUE(server.running()) << server.startOutput();
  ASSERT_TRUE(sim.start({"--discovery", "all", "--lifetime", "300", "--module",
                         "serial=" + router + ",tcp=0,model=25,address=6", "--module",
                         "serial=" + kSerial + ",behind=" + router + ",address=4,reboot-ms=100,flash-file=" +
                             (dir / "flash.bin") + ",reboot-bird=" + (dir / "next.bird")}));
  ProcessResult r = Updater({"-G", "-U", "-d", kSerial, "-r", router}, server.url());
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(sHas(Settings(), "LATEST_DOWNLOAD=1290.bird")) << Settings();
  EXPECT_TRUE(sHas(Settings(), "LATEST_TRANSFER=1290.bird")) << Settings();
  ProcessResult d = Updater({"-D", "-r", router});
  EXPECT_TRUE(sHas(d.out, "2.16.5")) << d.out;
  EXPECT_EQ(StopAndReadFlash(), FlashImage(next.firmware));
}

}  // namespace
