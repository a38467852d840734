// TCP/IP discovery and multicast endpoints against corvalith-sim. Both send
// multicast, so they run only inside a private network namespace
// (scripts/netns-run, which CTest uses for this program).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/aDiscovery.h"
#include "support/Environment.h"
#include "support/SimProcess.h"
#include "unix/aDiscoveryOS.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Found {
  std::vector<linkSpec> specs;
  size_t stopAfter = 0;  // 0: never stop
};

bool sCollect(const linkSpec* spec, uint8_t* counted, void* ref) {
  Found* found = static_cast<Found*>(ref);
  found->specs.push_back(*spec);
  *counted = 1;
  return found->stopAfter == 0 || found->specs.size() < found->stopAfter;
}

long sMsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class DiscoveryNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
  }

  // Starts a simulator answering discovery on every interface with these
  // modules (--module specs).
  void startSim(SimProcess& sim, const std::vector<std::string>& modules) {
    std::vector<std::string> args{"--discovery", "all", "--lifetime", "60"};
    for (const std::string& m : modules) {
      args.push_back("--module");
      args.push_back(m);
    }
    ASSERT_TRUE(sim.start(args)) << "corvalith-sim did not get ready";
  }

  std::vector<linkSpec> search(uint32_t networkInterface = 0) {
    Found found;
    const uint32_t counted = aDiscovery_EnumerateModules(TCPIP, sCollect, &found, networkInterface);
    EXPECT_EQ(counted, found.specs.size());
    std::sort(found.specs.begin(), found.specs.end(),
              [](const linkSpec& a, const linkSpec& b) { return a.serialNumber < b.serialNumber; });
    return found.specs;
  }
};

TEST_F(DiscoveryNetnsTest, FindsEveryModuleOfEverySimulatorWithItsFields) {
  SimProcess first;
  SimProcess second;
  startSim(first, {"serial=10000001,address=2,model=17,tcp=0", "serial=10000002,address=4,model=9,tcp=0",
                   "serial=10000003,address=6,model=0xC8,tcp=0"});
  startSim(second, {"serial=20000001,address=8,model=42,tcp=0"});
  const std::map<uint32_t, std::pair<uint32_t, uint32_t>> expected = {
      {0x10000001, {2, 17}}, {0x10000002, {4, 9}}, {0x10000003, {6, 0xC8}}, {0x20000001, {8, 42}}};

  // Through every interface, and through the namespace's one interface by
  // address.
  uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
  ASSERT_GE(aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES), 1u);
  for (uint32_t through : {0u, aDISCOVERY_LOOPBACK, interfaces[0]}) {
    const std::vector<linkSpec> specs = search(through);
    ASSERT_EQ(specs.size(), expected.size()) << "interface " << std::hex << through;
    for (const linkSpec& spec : specs) {
      SCOPED_TRACE(testing::Message() << std::hex << spec.serialNumber);
      ASSERT_EQ(expected.count(spec.serialNumber), 1u);
      const auto& [address, model] = expected.at(spec.serialNumber);
      SimProcess& sim = spec.serialNumber >> 28 == 1 ? first : second;
      char serialText[9];
      std::snprintf(serialText, sizeof serialText, "%08X", spec.serialNumber);
      EXPECT_EQ(spec.type, TCPIP);
      EXPECT_EQ(spec.module, address);
      EXPECT_EQ(spec.router, address);
      EXPECT_EQ(spec.routerSerialNumber, spec.serialNumber);
      EXPECT_EQ(spec.model, model);
      EXPECT_EQ(spec.t.ip.ipAddress, aDISCOVERY_LOOPBACK) << "the simulator answers from its TCP address";
      EXPECT_EQ(spec.t.ip.ipPort, sim.tcpPort(serialText));
      EXPECT_NE(spec.t.ip.ipPort, 0u);
    }
  }
}

TEST_F(DiscoveryNetnsTest, ShortRepliesAndRepeatedReplies) {
  SimProcess sim;
  startSim(sim, {"serial=30000001,tcp=0,model=17,discovery-length=12",
                 "serial=30000002,tcp=0,model=17,discovery-length=13",
                 "serial=30000003,tcp=0,discovery-length=7",  // too short to carry a serial number
                 "serial=30000004,tcp=0,model=5,discovery-replies=2", "serial=30000005,tcp=0,discovery=no"});
  const std::vector<linkSpec> specs = search();
  std::map<uint32_t, std::vector<linkSpec>> bySerial;
  for (const linkSpec& spec : specs) bySerial[spec.serialNumber].push_back(spec);

  ASSERT_EQ(bySerial[0x30000001].size(), 1u);
  EXPECT_EQ(bySerial[0x30000001][0].model, aDISCOVERY_UNKNOWN_MODEL) << "a 12-byte reply has no model";
  EXPECT_EQ(bySerial[0x30000001][0].t.ip.ipPort, sim.tcpPort("30000001"));
  EXPECT_EQ(bySerial[0x30000001][0].module, 2u);
  ASSERT_EQ(bySerial[0x30000002].size(), 1u);
  EXPECT_EQ(bySerial[0x30000002][0].model, 17u);
  EXPECT_EQ(bySerial.count(0x30000003), 0u);
  EXPECT_EQ(bySerial[0x30000004].size(), 2u) << "replies are not filtered for duplicates";
  EXPECT_EQ(bySerial.count(0x30000005), 0u);
  EXPECT_EQ(specs.size(), 4u);
}

TEST_F(DiscoveryNetnsTest, LateRepliesCountWithinTheSilenceWindow) {
  SimProcess sim;
  // 1.2 s is inside the 2 s window; 4 s comes after the search has ended.
  startSim(sim, {"serial=40000001,tcp=0,discovery-delay-ms=1200",
                 "serial=40000002,tcp=0,discovery-delay-ms=4000"});
  const auto start = Clock::now();
  const std::vector<linkSpec> specs = search();
  const long tookMs = sMsSince(start);
  ASSERT_EQ(specs.size(), 1u);
  EXPECT_EQ(specs[0].serialNumber, 0x40000001u);
  EXPECT_GE(tookMs, 1200 + aDISCOVERY_SILENCE_MS) << "the window restarts with each reply";
}

TEST_F(DiscoveryNetnsTest, FindModuleStopsAtTheMatchOrSearchesToTheEnd) {
  SimProcess sim;
  startSim(sim, {"serial=50000001,tcp=0,address=10,model=33", "serial=50000002,tcp=0"});

  auto start = Clock::now();
  linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x50000001, 0);
  const long foundMs = sMsSince(start);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, TCPIP);
  EXPECT_EQ(spec->serialNumber, 0x50000001u);
  EXPECT_EQ(spec->module, 10u);
  EXPECT_EQ(spec->model, 33u);
  EXPECT_EQ(spec->t.ip.ipAddress, aDISCOVERY_LOOPBACK);
  EXPECT_EQ(spec->t.ip.ipPort, sim.tcpPort("50000001"));
  EXPECT_LT(foundMs, aDISCOVERY_SILENCE_MS) << "a match ends the search";
  (void)aLinkSpec_Destroy(&spec);

  spec = aDiscovery_FindFirstModule(TCPIP, 0);
  ASSERT_NE(spec, nullptr);
  EXPECT_TRUE(spec->serialNumber == 0x50000001u || spec->serialNumber == 0x50000002u);
  (void)aLinkSpec_Destroy(&spec);

  start = Clock::now();
  EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x5000000F, 0), nullptr);
  EXPECT_GE(sMsSince(start), aDISCOVERY_SILENCE_MS) << "a missing module is given the whole search";
}

TEST_F(DiscoveryNetnsTest, CallbackStopsTheSearchEarly) {
  SimProcess sim;
  startSim(sim, {"serial=60000001,tcp=0", "serial=60000002,tcp=0", "serial=60000003,tcp=0"});
  Found found;
  found.stopAfter = 1;
  const auto start = Clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &found, 0), 1u);
  EXPECT_LT(sMsSince(start), aDISCOVERY_SILENCE_MS);
  EXPECT_EQ(found.specs.size(), 1u);
}

TEST_F(DiscoveryNetnsTest, OtherTransportsFindNothingWhileModulesAnswer) {
  SimProcess sim;
  startSim(sim, {"serial=70000001,tcp=0"});
  for (uint32_t type : {0u, 3u, 8u, 100u}) {
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(type), sCollect, &found, 0), 0u) << type;
    EXPECT_TRUE(found.specs.empty()) << type;
    EXPECT_EQ(aDiscovery_FindModule(static_cast<linkType>(type), 0x70000001, 0), nullptr) << type;
  }
  EXPECT_EQ(search().size(), 1u) << "the module was there all along";
}

TEST_F(DiscoveryNetnsTest, MulticastEndpointsOnLoopback) {
  const char* group = "224.0.0.7";
  const uint16_t port = 9870;
  aMulticastRef receiver = aMulticast_Create(0, group, port, false);
  ASSERT_NE(receiver, nullptr);
  EXPECT_EQ(aMulticast_Create(aDISCOVERY_LOOPBACK, group, port, false), nullptr)
      << "a port held by another receiver is refused";
  aMulticastRef sender = aMulticast_Create(aDISCOVERY_LOOPBACK, group, port, true);
  ASSERT_NE(sender, nullptr);

  const uint8_t probe[4] = {0xBA, 0xDC, 0xCD, 0xAB};
  EXPECT_EQ(aMulticast_Send(sender, probe, sizeof probe), 4);
  uint8_t got[128] = {};
  EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof got), 4);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 4), std::vector<uint8_t>(probe, probe + 4));

  EXPECT_EQ(aMulticast_Send(receiver, probe, sizeof probe), aMULTICAST_WRONG_KIND);
  EXPECT_EQ(aMulticast_Receive(sender, got, sizeof got), aMULTICAST_WRONG_KIND);
  const auto start = Clock::now();
  EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof got), aMULTICAST_FAILED) << "nothing sent: time-out";
  EXPECT_GE(sMsSince(start), aMULTICAST_RECEIVE_TIMEOUT_MS - 50);

  EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
  EXPECT_EQ(receiver, nullptr);
  EXPECT_EQ(aMulticast_Destroy(&receiver), aMULTICAST_NULL);
  receiver = aMulticast_Create(0, group, port, false);
  EXPECT_NE(receiver, nullptr) << "the port is free again";
  EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
  EXPECT_EQ(aMulticast_Destroy(&sender), 0);
}

}  // namespace
