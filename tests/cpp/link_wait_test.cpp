// Waiting for a new link to come up, against a USB module played through a
// kernel device file (a pseudo-terminal the test holds): a module that stays
// silent keeps the link syncing, and hanging it up while connect waits must
// end the wait at once instead of after the full 2 s.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "cpp/Link.h"
#include "cpp_test_support.h"
#include "support/Environment.h"
#include "support/TempFiles.h"

using namespace Tessaron::Corvalith;

namespace {

constexpr uint32_t kSilentSerial = 0x7C0000A1;

class SilentUsbModule : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    char device[64];
    std::snprintf(device, sizeof device, "/corvalith.%08X", kSilentSerial);
    ASSERT_EQ(symlink(ptsname(master), (dir + device).c_str()), 0);
  }
  void TearDown() override {
    if (master >= 0) close(master);
  }

  TempDir devDir;
  const std::string dir = devDir.path();
  ScopedEnv devDirVariable{"CORVALITH_DEV_DIR", dir};
  int master = -1;
};

TEST_F(SilentUsbModule, ALinkThatFailsWhileSyncingIsGivenUpAtOnce) {
  linkSpec spec{};
  spec.type = USB;
  spec.serialNumber = kSilentSerial;
  Link link(spec, "Wait");
  ASSERT_EQ(link.setConfig(DirectConfig()), aErrNone);

  aErr result = aErrNone;
  std::chrono::steady_clock::time_point returned;
  std::thread connecting([&] {
    result = link.connect();
    returned = std::chrono::steady_clock::now();
  });
  // The engine hands out the link after its own handshake attempt; connect
  // then waits on it. Hang the module up as soon as that wait begins.
  const bool created = WaitFor([&] { return link.getLinkRef() != 0; }, 6000);
  const auto hungUp = std::chrono::steady_clock::now();
  close(master);
  master = -1;
  connecting.join();
  ASSERT_TRUE(created);
  EXPECT_EQ(result, aErrConnection);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(returned - hungUp).count();
  EXPECT_LT(waited, 1000) << "still polling a link that had failed";
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.disconnect(), aErrNone);
}

}  // namespace
