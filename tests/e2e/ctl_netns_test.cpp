// corvalith-ctl over TCP/IP: the module is found by discovery, which
// multicasts, so this runs only inside a private network namespace.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/Environment.h"
#include "support/RunProcess.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

namespace {

const std::string kCtl = CV_BINARY_DIR "/corvalith-ctl";

TEST(CtlNetnsTest, SlotAndStreamOverTcp) {
  if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
  TempDir dir;
  {
    std::ofstream in(dir / "in.bin", std::ios::binary);
    in << std::string(100, 'x');
  }
  SimProcess sim;
  ASSERT_TRUE(
      sim.start({"--discovery", "all", "--lifetime", "120", "--module",
                 "serial=40F5849A,tcp=0,stream-ms=20,store=0:1:200,slot-file=0:0:" + (dir / "slot.bin")}));
  ProcessOptions o;
  o.timeoutMs = 30000;
  ProcessResult w =
      RunProcess(kCtl, {"-d", "40F5849A", "-t", "TCP", "slot-write", "0", "0", dir / "in.bin"}, o);
  EXPECT_EQ(w.exitCode, 0) << w.out << w.err;
  EXPECT_NE(w.out.find("wrote 100 of 100 bytes to store 0 slot 0, every sum matched"), std::string::npos)
      << w.out;
  std::ifstream slot(dir / "slot.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(slot), std::istreambuf_iterator<char>()),
            std::string(100, 'x'));
  ProcessResult s =
      RunProcess(kCtl, {"-d", "40F5849A", "-t", "TCP", "stream", "3", "22", "0", "--count", "3"}, o);
  EXPECT_EQ(s.exitCode, 0) << s.err;
  size_t lines = 0;
  for (char c : s.out) lines += c == '\n';
  EXPECT_EQ(lines, 3u) << s.out;
  (void)sim.stop();
}

}  // namespace
