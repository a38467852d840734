// Discovery over TCP/IP multicasts its request, so these runs happen only
// inside a private network namespace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/RunProcess.h"

namespace fs = std::filesystem;

namespace {

bool sPrivateNetwork() {
  const char* flag = getenv("NETNS_PRIVATE");
  return flag && std::string(flag) == "1";
}

class UpdaterDiscoverNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sPrivateNetwork()) GTEST_SKIP() << "needs a private network namespace (scripts/netns-run)";
    char path[] = "/tmp/cv_e2e_disc_XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    dir = path;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir.empty()) fs::remove_all(dir, ignored);
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
    if (r.err.find("is not available in this version") != std::string::npos) {
      GTEST_SKIP() << "discovery is not in this build yet";
    }
    EXPECT_EQ(r.exitCode, 0) << transport << "\n" << r.err;
    EXPECT_NE(r.out.find("Searching for Corvalith devices\nDiscovered Devices: (TCPIP)\n"), std::string::npos)
        << transport << "\n"
        << r.out;
  }
}

}  // namespace
