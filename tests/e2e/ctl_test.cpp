// The real corvalith-ctl against simulated modules on an emulated USB bus
// (corvalith-usb-sim): a full 16-bit slot written and read back byte for
// byte, factory data, printed stream samples, and the error lines and exit
// codes of the failures a user meets. Expected bytes come from the test's
// own files and from what the simulator wrote to its slot files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunProcess.h"
#include "support/TempFiles.h"

namespace {

typedef std::vector<uint8_t> Bytes;
const std::string kUsbSim = CV_BINARY_DIR "/sim/corvalith-usb-sim";
const std::string kCtl = CV_BINARY_DIR "/corvalith-ctl";
const std::string kSerial = "40F5849A";
// A 65535-byte slot moves 2 x 2622 chunks; generous for a loaded machine.
constexpr int kRunTimeoutMs = 120000;
// The largest slot a 16-bit size can describe.
constexpr size_t kFullSlot = 0xFFFF;

bool sHas(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

Bytes sReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void sWriteBytes(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes sPattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

std::string sEmulationMissing() {
  static const std::string why = [] {
    if (::access(kUsbSim.c_str(), X_OK) != 0)
      return std::string("corvalith-usb-sim was not built (no umockdev)");
    ProcessOptions o;
    o.timeoutMs = 20000;
    const ProcessResult r = RunProcess(kUsbSim, {"--", "true"}, o);
    return r.exitCode == 0 ? std::string() : "umockdev cannot run here: " + r.err;
  }();
  return why;
}

class CtlTest : public ::testing::Test {
 protected:
  TempDir dir;

  void SetUp() override {
    const std::string missing = sEmulationMissing();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
  // One module with these keys; a shell runs script under the emulation,
  // with CTL standing for corvalith-ctl -d SERIAL.
  ProcessResult Run(const std::string& keys, const std::string& script) {
    ProcessOptions o;
    o.cwd = dir.path();
    o.env["HOME"] = dir.path();
    o.env["CTL"] = kCtl + " -d " + kSerial;
    o.timeoutMs = kRunTimeoutMs;
    return RunProcess(kUsbSim,
                      {"--lifetime", "150", "--module", "serial=" + kSerial + ",model=4," + keys, "--",
                       "/bin/sh", "-c", script},
                      o);
  }
};

TEST_F(CtlTest, AFullSlotRoundTripsByteForByte) {
  const Bytes data = sPattern(kFullSlot, 7);
  sWriteBytes(dir / "in.bin", data);
  const ProcessResult r =
      Run("store=1:2:65535,slot-file=1:1:" + (dir / "slot.bin"),
          "$CTL slot-write 1 1 in.bin && $CTL slot-info 1 1 && $CTL slot-read 1 1 out.bin");
  ASSERT_FALSE(r.timedOut);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(sHas(r.out, "wrote 65535 of 65535 bytes to store 1 slot 1, every sum matched\n")) << r.out;
  EXPECT_TRUE(sHas(r.out, "store 1 slot 1: capacity 65535 bytes, size 65535 bytes\n")) << r.out;
  EXPECT_TRUE(sHas(r.out, "read 65535 bytes from store 1 slot 1 into out.bin\n")) << r.out;
  EXPECT_EQ(sReadBytes(dir / "slot.bin"), data) << "what reached the module";
  EXPECT_EQ(sReadBytes(dir / "out.bin"), data) << "what came back";
  EXPECT_FALSE(sHas(r.err, "Error")) << r.err;
}

TEST_F(CtlTest, AFileLargerThanTheSlotIsRefusedAndTheSlotKeepsItsBytes) {
  const Bytes kept = sPattern(8, 5);
  sWriteBytes(dir / "slot.bin", kept);
  sWriteBytes(dir / "big.bin", sPattern(11, 9));
  const ProcessResult r = Run("store=1:2:10,slot-file=1:0:" + (dir / "slot.bin"),
                              "$CTL slot-write 1 0 big.bin; echo rc=$?; $CTL slot-read 1 0 back.bin");
  ASSERT_FALSE(r.timedOut);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(sHas(r.out,
                   "wrote 0 of 11 bytes to store 1 slot 0, which holds at most 10 bytes; the slot is "
                   "unchanged\nrc=1\n"))
      << r.out;
  EXPECT_TRUE(sHas(r.err, "Error: slot write: aErrOverrun")) << r.err;
  EXPECT_EQ(sReadBytes(dir / "back.bin"), kept);
}

TEST_F(CtlTest, FactoryDataIsShownAsHexAndRoundTripsThroughFiles) {
  const Bytes data = sPattern(70, 3);
  sWriteBytes(dir / "factory.bin", data);
  const ProcessResult r = Run("factory=2:000102030405060708090A0B0C0D0E0F10",
                              "$CTL factory-get 2 && $CTL factory-set 5 factory.bin && "
                              "$CTL factory-get 5 back.bin");
  ASSERT_FALSE(r.timedOut);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(sHas(r.out,
                   "0000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
                   "0010: 10\n"))
      << r.out;
  EXPECT_TRUE(sHas(r.out, "wrote 70 bytes of factory data 5\n")) << r.out;
  EXPECT_EQ(sReadBytes(dir / "back.bin"), data);
}

TEST_F(CtlTest, StreamPrintsOneLinePerSampleUntilTheCount) {
  // The system class's uptime (class 3, option 22), counted from 0.
  const ProcessResult r = Run("stream-ms=20", "$CTL stream 3 22 0 --count 5 --seconds 20");
  ASSERT_FALSE(r.timedOut);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  std::istringstream lines(r.out);
  std::string line;
  const std::regex shape("([0-9]+) ([0-9]+) ([0-9]+)");
  std::vector<uint64_t> times;
  std::vector<uint32_t> values;
  while (std::getline(lines, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    times.push_back(std::stoull(m[1]));
    EXPECT_EQ(m[2], "0") << "no subindex";
    values.push_back(static_cast<uint32_t>(std::stoul(m[3])));
  }
  ASSERT_EQ(values.size(), 5u) << r.out;
  for (size_t i = 1; i < values.size(); ++i) {
    EXPECT_EQ(values[i], values[i - 1] + 1) << r.out;
    EXPECT_EQ((times[i] - times[0]) % 20000, 0u) << "on the module's 20 ms grid: " << r.out;
    EXPECT_GT(times[i], times[i - 1]);
  }
}

TEST_F(CtlTest, FailuresNameTheirCodeAndExitOne) {
  struct Case {
    const char* keys;
    const char* script;
    const char* out;
    const char* err;
  };
  sWriteBytes(dir / "small.bin", sPattern(60, 1));
  const Case cases[] = {
      {"store=1:2:100,slot-bad-sum-every=2", "$CTL slot-write 1 0 small.bin",
       "wrote 25 of 60 bytes to store 1 slot 0, a sum did not match\n", "Error: slot write: aErrIO"},
      {"store=1:2:100,slot-refuse-open=1:0", "$CTL slot-read 1 0 out.bin", "", "Error: slot read: aErrMedia"},
      {"store=1:2:100", "$CTL slot-info 4 0", "", "Error: slot capacity: aErrNotFound"},
      {"store=1:2:10", "$CTL slot-write 1 0 small.bin", "", "Error: slot write: aErrOverrun"},
      {"", "$CTL factory-set 3 missing.bin", "", "Error: cannot read missing.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const ProcessResult r = Run(c.keys, c.script);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(sHas(r.out, c.out)) << r.out;
    EXPECT_TRUE(sHas(r.err, c.err)) << r.err;
  }
  const ProcessResult other = Run("", kCtl + " -d 40F5849B slot-info 1 0");
  EXPECT_EQ(other.exitCode, 1);
  EXPECT_TRUE(sHas(other.err, "Error: connecting to 40F5849B: aErrNotFound")) << other.err;
}

TEST(CtlCommandLineTest, UsageAndRefusedCommandLines) {
  ProcessOptions o;
  o.timeoutMs = 10000;
  ProcessResult help = RunProcess(kCtl, {"-h"}, o);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(sHas(
      help.out, "Usage: corvalith-ctl -d SERIAL [-t USB|TCP|SHARED [-a ADDRESS] [-p PORT]] COMMAND ARG...\n"))
      << help.out;
  struct Case {
    std::vector<std::string> args;
    const char* err;
  };
  const Case cases[] = {
      {{"slot-info", "1", "2"}, "Error: No serial number given (-d SERIAL)\n"},
      {{"-d", "zz", "slot-info", "1", "2"}, "Error: Invalid serial number obtained from argument [zz]\n"},
      {{"-d", "40F5849A", "-t", "SERIAL", "slot-info", "1", "2"}, "Error: Invalid transport type:[SERIAL]"},
      {{"-d", "40F5849A", "slot-erase", "1"}, "Error: Unknown command [slot-erase]\n"},
      {{"-d", "40F5849A", "slot-read", "1", "2"}, "Error: Wrong number of arguments for slot-read\n"},
      {{"-d", "40F5849A", "stream", "3", "22", "0", "--count", "0"}, "Error: --count needs a whole number"},
      {{"-d", "40F5849A", "slot-info", "300", "0"}, "Error: \"300\" is not a number from 0 to 255\n"},
      {{"-d", "40F5849A", "slot-info", "1", "2", "--seconds", "3"}, "Error: --count and --seconds belong"},
      {{"-d", "40F5849A", "-t", "SHARED", "-p", "65536", "slot-info", "1", "2"},
       "Error: -p needs a TCP port from 1 to 65535, not [65536]\n"},
      {{"-d", "40F5849A", "-t", "SHARED", "-p", "0", "slot-info", "1", "2"}, "Error: -p needs a TCP port"},
      {{"-d", "40F5849A", "-t", "TCP", "-p", "5000", "slot-info", "1", "2"},
       "Error: -p belongs to -t SHARED\n"},
      {{"-d", "40F5849A", "-a", "10.0.0.5", "slot-info", "1", "2"}, "Error: -a belongs to -t SHARED\n"},
      {{"-d", "40F5849A", "-t", "SHARED", "-a", "10.0.0", "slot-info", "1", "2"},
       "Error: -a needs an IPv4 address such as 10.0.0.5, not [10.0.0]\n"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = RunProcess(kCtl, c.args, o);
    EXPECT_EQ(r.exitCode, 1) << c.err;
    EXPECT_TRUE(sHas(r.err, c.err)) << r.err;
    EXPECT_TRUE(sHas(r.err, "Usage: corvalith-ctl")) << r.err;
  }
}

}  // namespace
