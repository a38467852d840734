// Discover-and-connect over TCP/IP, which multicasts its discovery request:
// these cases run only inside a private network namespace (scripts/netns-run).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/aDebug.h"
#include "cpp/Module.h"
#include "cpp/SystemClass.h"
#include "cpp_test_support.h"
#include "support/Environment.h"
#include "support/SimProcess.h"

using namespace Tessaron::Corvalith;

namespace {

class DiscoverConnectNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
    ASSERT_TRUE(sim.start({"--discovery", "all", "--module", "serial=8D000001,tcp=0,address=6,model=17",
                           "--module", "serial=8D000002,tcp=0,address=8,model=31", "--lifetime", "120"}));
  }

  uint32_t serialOf(Module& m) {
    SystemClass s;
    s.init(&m, 0);
    uint32_t serial = 0;
    EXPECT_EQ(s.getSerialNumber(&serial), aErrNone);
    return serial;
  }

  // Runs f with link call traces captured; returns the traces.
  std::string traced(const std::function<void()>& f) {
    aCorvalithDebuggingLevel = aDEBUG_LINK;
    aCorvalithDebuggingEnable = true;
    testing::internal::CaptureStdout();
    f();
    aCorvalithDebuggingEnable = false;
    return testing::internal::GetCapturedStdout();
  }

  SimProcess sim;
};

TEST_F(DiscoverConnectNetnsTest, ConnectFindsTheSerialNumberAndLearnsTheAddress) {
  Module module(2, 0);
  ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
  ASSERT_EQ(module.connect(TCPIP, 0x8D000002), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), 8);
  EXPECT_EQ(serialOf(module), 0x8D000002u);
  linkSpec spec;
  ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, TCPIP);
  EXPECT_EQ(spec.t.ip.ipPort, sim.tcpPort("8D000002"));
  EXPECT_EQ(spec.model, 31u);
}

TEST_F(DiscoverConnectNetnsTest, SerialZeroTakesTheFirstDeviceOfTheModel) {
  Module anyModel(2, 0);
  ASSERT_EQ(anyModel.setConfig(DirectConfig()), aErrNone);
  ASSERT_EQ(anyModel.discoverAndConnect(TCPIP, 0), aErrNone);
  const uint32_t first = serialOf(anyModel);
  EXPECT_TRUE(first == 0x8D000001u || first == 0x8D000002u) << std::hex << first;
  (void)anyModel.disconnect();

  Module model31(2, 31);
  ASSERT_EQ(model31.setConfig(DirectConfig()), aErrNone);
  ASSERT_EQ(model31.discoverAndConnect(TCPIP, 0), aErrNone);
  EXPECT_EQ(serialOf(model31), 0x8D000002u);
  EXPECT_EQ(model31.getModuleAddress(), 8);

  Module model99(2, 99);
  ASSERT_EQ(model99.setConfig(DirectConfig()), aErrNone);
  EXPECT_EQ(model99.discoverAndConnect(TCPIP, 0), aErrNotFound);
  EXPECT_FALSE(model99.isConnected());
}

TEST_F(DiscoverConnectNetnsTest, FallBackTriesTheSharedTransportOnceWhenAllowed) {
  Module without(2, 0);
  ASSERT_EQ(without.setConfig(DirectConfig()), aErrNone);
  aErr err = aErrNone;
  std::string out = traced([&] { err = without.connect(TCPIP, 0x8D0000FF); });
  EXPECT_EQ(err, aErrNotFound);
  EXPECT_EQ(out.find("Executing Fallback"), std::string::npos) << out;

  Module with(2, 0);
  aWeftConfig config = DirectConfig();
  config.fallback = 1;
  ASSERT_EQ(with.setConfig(config), aErrNone);
  out = traced([&] { err = with.connect(TCPIP, 0x8D0000FF); });
  EXPECT_EQ(err, aErrNotFound) << "no device server shares it either";
  EXPECT_NE(out.find("Executing Fallback - old type: 2 - new type: 4\n"), std::string::npos) << out;

  out = traced([&] { err = with.connect(USB, 0x8D0000FF); });
  EXPECT_EQ(err, aErrNotFound);
  EXPECT_NE(out.find("Executing Fallback - old type: 1 - new type: 4\n"), std::string::npos) << out;

  // A found device that cannot be connected falls back too: after a reset
  // the module keeps its TCP endpoint closed while discovery still finds it.
  sim.stop();
  ASSERT_TRUE(sim.start(
      {"--discovery", "all", "--module", "serial=8D000003,tcp=0,reboot-ms=60000", "--lifetime", "90"}));
  {
    Module rebooting(2, 0);
    ASSERT_EQ(rebooting.setConfig(DirectConfig()), aErrNone);
    ASSERT_EQ(rebooting.connectFromSpec(TcpSpec(0x8D000003, sim.tcpPort("8D000003"))), aErrNone);
    SystemClass s;
    s.init(&rebooting, 0);
    ASSERT_EQ(s.reset(), aErrNone);
  }
  Module unreachable(2, 0);
  ASSERT_EQ(unreachable.setConfig(config), aErrNone);
  out = traced([&] { err = unreachable.connect(TCPIP, 0x8D000003); });
  EXPECT_EQ(err, aErrNotFound) << "the second attempt's result";
  EXPECT_NE(out.find("Executing Fallback - old type: 2 - new type: 4\n"), std::string::npos) << out;
  config.fallback = 0;
  ASSERT_EQ(unreachable.setConfig(config), aErrNone);
  EXPECT_EQ(unreachable.connect(TCPIP, 0x8D000003), aErrConnection);
}

}  // namespace
