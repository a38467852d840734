// Discovery over TCP/IP multicasts its request, so these runs happen only
// inside a private network namespace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/Environment.h"
#include "support/RunProcess.h"
#include "support/TempFiles.h"

namespace {

class UpdaterDiscoverNetnsTest : public ::testing::Test {
 protected:
  TempDir tempDir;

  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
    dir = tempDir.path();
  }
  ProcessResult discover(const char* transport) {
    ProcessOptions o;
    o.env["HOME"] = dir;
    o.timeoutMs = 30000;
    return RunProcess(CV_BINARY_DIR "/Updater", {"-D", "-t", transport, "-i", dir}, o);
  }
  std::string dir;
};

TEST_F(UpdaterDiscoverNetnsTest, TcpAndTcpipBothSelectTheTcpipTable) {
  for (const char* transport : {"TCP", "TCPIP"}) {
    ProcessResult r = discover(transport);
    ASSERT_FALSE(r.timedOut) << transport;
    EXPECT_EQ(r.exitCode, 0) << transport << "\n" << r.err;
    EXPECT_NE(r.out.find("Searching for Corvalith devices\nDiscovered Devices: (TCPIP)\n"), std::string::npos)
        << transport << "\n"
        << r.out;
  }
}

}  // namespace
