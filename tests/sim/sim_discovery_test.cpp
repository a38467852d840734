// The simulator's discovery settings and reply bytes, in-process; the
// responder itself answers real requests in sim_discovery_netns_test.cpp.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sim/SimConfig.h"
#include "sim/SimDiscovery.h"
#include "support/SimProcess.h"

namespace {

TEST(SimDiscovery, ReplyCarriesAddressPortSerialAndModel) {
  sim::DiscoveryModule m;
  m.serial = 0x40F5849A;
  m.address = 6;
  m.model = 17;
  m.tcpPort = 0x1234;
  m.version = 0x02150001;
  const std::vector<uint8_t> expected = {0x81, 6,    0x34, 0x12, 0x9A, 0x84, 0xF5, 0x40,
                                         0x01, 0x00, 0x15, 0x02, 17,   0,    0,    0};
  EXPECT_EQ(sim::discoveryReply(m), expected);
  m.config.length = 12;
  EXPECT_EQ(sim::discoveryReply(m), std::vector<uint8_t>(expected.begin(), expected.begin() + 12));
}

TEST(SimDiscovery, ModuleKeysAndOption) {
  sim::ModuleConfig m;
  std::string error;
  ASSERT_TRUE(sim::parseModuleSpec(
      "serial=1,tcp=0,discovery=no,discovery-delay-ms=1500,discovery-replies=2,discovery-length=12", m,
      error))
      << error;
  EXPECT_FALSE(m.discovery.answer);
  EXPECT_EQ(m.discovery.delayMs, 1500u);
  EXPECT_EQ(m.discovery.replies, 2u);
  EXPECT_EQ(m.discovery.length, 12u);
  for (const char* bad :
       {"discovery=maybe", "discovery-delay-ms=-1", "discovery-delay-ms=60001", "discovery-replies=11",
        "discovery-length=0", "discovery-length=17", "discovery-length=0x10", "discovery-late=1"}) {
    sim::ModuleConfig c;
    EXPECT_FALSE(sim::parseModuleSpec(bad, c, error)) << bad;
  }

  std::vector<std::string> args = {"corvalith-sim", "--discovery", "10.77.0.1,127.0.0.1"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  sim::SimOptions options;
  ASSERT_TRUE(sim::parseCommandLine(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
  EXPECT_EQ(options.discovery, "10.77.0.1,127.0.0.1");
  sim::SimOptions missing;
  EXPECT_FALSE(sim::parseCommandLine(2, argv.data(), missing, error)) << "--discovery needs a value";

  const std::string help = sim::helpText();
  for (const char* word : {"--discovery", "discovery=", "discovery-delay-ms=", "discovery-replies=",
                           "discovery-length=", "NETNS_PRIVATE"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

TEST(SimDiscovery, RefusesToStartOutsideAPrivateNamespace) {
  const char* saved = std::getenv("NETNS_PRIVATE");
  const std::string keep = saved ? saved : "";
  setenv("NETNS_PRIVATE", "0", 1);
  sim::DiscoveryResponder responder("all", {}, false);
  std::string error;
  EXPECT_FALSE(responder.start(error));
  EXPECT_NE(error.find("private network namespace"), std::string::npos) << error;
  if (saved) {
    setenv("NETNS_PRIVATE", keep.c_str(), 1);
  } else {
    unsetenv("NETNS_PRIVATE");
  }

  SimProcess process;
  EXPECT_FALSE(process.start({"--discovery", "all"}, {{"NETNS_PRIVATE", "0"}}, 5000));
  const int status = process.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

}  // namespace
