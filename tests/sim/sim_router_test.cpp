// The simulated routing module in-process: its I2C answers, the route, a
// module behind it rebooting, and the configuration rules for networks.
#include <gtest/gtest.h>

#include "common/aErr.h"
#include "sim/SimConfig.h"
#include "sim/SimRouter.h"

using sim::Packet;
using sim::Response;
using sim::SimModule;
using sim::SimRouter;
typedef std::vector<uint8_t> Bytes;

namespace {

sim::ModuleConfig Behind(uint32_t serial, uint8_t address) {
  sim::ModuleConfig c;
  c.serial = serial;
  c.address = address;
  c.behind = 0x10;
  c.rebootMs = 300;
  return c;
}

struct Network {
  Network() : four(Behind(0x14, 4)), six(Behind(0x16, 6)), router(2) {
    router.attach(&four);
    router.attach(&six);
  }
  // The replies to one packet; *handled says whether the router took it.
  std::vector<Packet> ask(uint8_t address, const Bytes& data, bool route = true, uint64_t now = 1000,
                          bool* handled = nullptr) {
    Response r;
    const bool taken = router.handle(Packet{address, data}, route, now, r);
    if (handled) *handled = taken;
    return r.replies;
  }
  SimModule four;
  SimModule six;
  SimRouter router;
};

TEST(SimRouterTest, I2CWritesAckOccupiedAddressesAndReadsReturnTheLastWrite) {
  Network n;
  auto status = [&](const Bytes& request) {
    std::vector<Packet> r = n.ask(2, request);
    EXPECT_EQ(r.size(), 1u);
    return r.empty() ? Bytes{} : r[0].data;
  };
  EXPECT_EQ(status({8, 0, 4, 2, 3, 0xAA, 0xBB}), (Bytes{8, 0, 4, 0, 0}));
  EXPECT_EQ(status({8, 0, 8, 0, 3}), (Bytes{8, 0, 8, 0, 0x80 | aErrNotFound}));
  EXPECT_EQ(status({8, 0, 2, 0, 3}), (Bytes{8, 0, 2, 0, 0x80 | aErrNotFound})) << "not itself";
  EXPECT_EQ(status({8, 0, 5, 3, 3}), (Bytes{8, 0, 5, 3, 0, 0xAA, 0xBB, 0}));
  EXPECT_EQ(status({8, 0, 7, 1, 3}), (Bytes{8, 0, 7, 1, 0, 0})) << "nothing written yet";
  EXPECT_EQ(status({8, 0, 1, 1}), (Bytes{8, 0, 1, 1, 0})) << "pull-up";
  EXPECT_EQ(status({8, 0, 1, 2}), (Bytes{8, 0, 1, 2, 0x80 | aErrParam}));
  EXPECT_EQ(status({8, 1, 4, 0, 3}), (Bytes{8, 1, 4, 0, 0x80 | aErrIndexRange}));
  EXPECT_EQ(status({8, 0, 4, 3, 3, 1}), (Bytes{8, 0, 4, 0, 0x80 | aErrSize})) << "count and bytes differ";
  EXPECT_EQ(status({8, 0, 5, 24, 3}), (Bytes{8, 0, 5, 0, 0x80 | aErrSize}));
  EXPECT_EQ(status({8, 0, 4, 0, 4}), (Bytes{8, 0, 4, 0, 0x80 | aErrSize})) << "speed above 3";
  EXPECT_TRUE(n.ask(2, {8, 0}).empty()) << "too short to answer";

  bool handled = true;
  n.ask(2, {3, 0x49, 0x20}, true, 1000, &handled);
  EXPECT_FALSE(handled) << "the router's own system class is its own module's business";
  n.ask(0xAD, {}, true, 1000, &handled);
  EXPECT_FALSE(handled);
  n.ask(12, {3, 0x49, 0x20}, true, 1000, &handled);
  EXPECT_FALSE(handled) << "nobody at 12";
}

TEST(SimRouterTest, ForwardsOnlyWhileRoutedAndSkipsARebootingModule) {
  Network n;
  const Bytes getSerial{3, 0x49, 0x20};
  std::vector<Packet> r = n.ask(6, getSerial);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].address, 6);
  EXPECT_EQ(r[0].data, (Bytes{3, 9, 0, 0, 0, 0, 0x16}));
  EXPECT_EQ(n.router.forwarded(), 1u);

  bool handled = false;
  EXPECT_TRUE(n.ask(6, getSerial, false, 1000, &handled).empty());
  EXPECT_TRUE(handled) << "taken, not answered";

  r = n.ask(4, {3, 0x8B, 0x20}, true, 2000);  // reset
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].data, (Bytes{3, 0xCB, 0}));
  EXPECT_TRUE(n.ask(4, getSerial, true, 2100).empty()) << "rebooting";
  EXPECT_EQ(n.ask(2, {8, 0, 4, 0, 3}, true, 2100)[0].data[4], 0x80 | aErrNotFound);
  EXPECT_EQ(n.ask(4, getSerial, true, 2300).size(), 1u) << "back after reboot-ms";
}

TEST(SimRouterTest, RouteToMeSetsTheModulesRoute) {
  sim::ModuleConfig c;
  SimModule router(c);
  ASSERT_FALSE(router.routeOn());
  router.handle(Packet{2, {3, 0x94, 0x20, 1}}, 10);
  EXPECT_TRUE(router.routeOn());
  router.handle(Packet{2, {3, 0x94, 0x20, 0}}, 10);
  EXPECT_FALSE(router.routeOn());
  router.handle(Packet{0xAF, {1}}, 10);
  EXPECT_TRUE(router.routeOn());
}

TEST(SimRouterTest, ConfigurationChecksTheNetworks) {
  auto parse = [](std::vector<std::string> args, std::string& error) {
    std::vector<char*> argv{const_cast<char*>("corvalith-sim")};
    for (std::string& a : args) argv.push_back(&a[0]);
    sim::SimOptions options;
    return sim::parseCommandLine(static_cast<int>(argv.size()), argv.data(), options, error);
  };
  std::string error;
  EXPECT_TRUE(parse({"--module", "serial=10,tcp=0", "--module", "serial=14,address=4,behind=10"}, error))
      << error;
  EXPECT_FALSE(parse({"--module", "serial=10,tcp=0", "--module", "serial=14,address=2,behind=10"}, error));
  EXPECT_NE(error.find("two modules at address 2"), std::string::npos) << error;
  EXPECT_FALSE(parse({"--module", "serial=10,tcp=0", "--module", "serial=14,address=4,behind=10", "--module",
                      "serial=16,address=4,behind=10"},
                     error));
  EXPECT_FALSE(parse({"--module", "serial=10,tcp=0", "--module", "serial=14,address=4,behind=11"}, error));
  EXPECT_NE(error.find("no such module"), std::string::npos) << error;
  EXPECT_FALSE(
      parse({"--module", "serial=10,tcp=0", "--module", "serial=14,address=4,behind=10,tcp=0"}, error));
  EXPECT_NE(error.find("cannot have endpoints"), std::string::npos) << error;
  EXPECT_FALSE(parse({"--module", "serial=10,tcp=0", "--module", "serial=14,address=4,behind=10", "--module",
                      "serial=16,address=6,behind=14"},
                     error))
      << "a module behind a router is no router itself";
  EXPECT_FALSE(parse({"--module", "serial=10,tcp=0", "--module", "serial=14,behind=0"}, error));
}

}  // namespace

TEST(SimRouterTest, ModulesBehindStreamThroughTheRouteOnly) {
  Network n;
  n.four.reboot(0);
  EXPECT_EQ(n.ask(4, {0x5D, 0x81, 0x20, 4, 3, 9, 0}, true, 0).size(), 1u);
  EXPECT_EQ(n.router.nextSampleMs(), 100u);
  std::vector<Packet> out;
  n.router.takeSamples(false, 100, out);
  EXPECT_TRUE(out.empty()) << "no route, no samples";
  n.router.takeSamples(true, 200, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].address, 4);
  EXPECT_EQ(Bytes(out[0].data.begin(), out[0].data.begin() + 4), (Bytes{3, 9, 0x40, 3}));
  EXPECT_EQ(out[0].data[15], 1) << "the sample lost without a route still counted";
  n.router.stopStreams();
  EXPECT_FALSE(n.four.streaming());
  EXPECT_EQ(n.router.nextSampleMs(), UINT64_MAX);
}
