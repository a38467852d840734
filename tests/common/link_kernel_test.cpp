// USB links through the kernel-device path: corvalith-sim exposes a module as
// <dev dir>/corvalith.%08X (a raw pseudo-terminal) and the USB stream opens it
// instead of going through libusb.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "common/aLinkTable.h"
#include "link_test_support.h"
#include "support/Environment.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

namespace {

class LinkKernel : public ::testing::Test {
 protected:
  TempDir devDir_;
  const std::string dir_ = devDir_.path();
  ScopedEnv devDirVariable_{"CORVALITH_DEV_DIR", dir_};
};

}  // namespace

TEST_F(LinkKernel, UsbLinkSynchronisesAndTalksThroughTheDeviceFile) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=C0DE0001,kernel=yes,heartbeat-ms=250,address=8"},
                        {{"CORVALITH_DEV_DIR", dir_}}));
  EXPECT_EQ(sim.endpoint("kernel", "C0DE0001"), dir_ + "/corvalith.C0DE0001");
  aLinkRef id = aLink_CreateUSB(0xC0DE0001);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning) << "aLink_CreateUSB synchronises";
  EXPECT_TRUE(EchoRoundTrip(id, 8, {1, 2, 3}));
  EXPECT_EQ(Request(id, 8, {0x49, 0x04, 3}), (Bytes{0x49, 0x04, 3, 1}));
  aLinkRef shared = aLink_CreateUSB(0xC0DE0001);
  EXPECT_EQ(shared, id);
  EXPECT_EQ(aLink_GetUseCount(id), 2);
  (void)aLink_Destroy(&shared);
  EXPECT_TRUE(EchoRoundTrip(id, 8, {4}));
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_TRUE(WaitForStatus(id, kLinkStatusRunning, 3000));
  EXPECT_TRUE(EchoRoundTrip(id, 8, {5}));
  (void)aLink_Destroy(&id);
  EXPECT_EQ(aLink_FindEntry(USB, 0xC0DE0001), 0u);
}

TEST_F(LinkKernel, MissingDeviceMakesNoLink) {
  EXPECT_EQ(aLink_CreateUSB(0xC0DE00FF), 0u);
  EXPECT_EQ(aLink_FindEntry(USB, 0xC0DE00FF), 0u);
}
