// A routing module with modules on its I2C bus (corvalith-sim behind=):
// the I2C probe, routeToMe, and modules reached through the router's link.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/aLinkTable.h"
#include "cpp/I2CClass.h"
#include "cpp/Module.h"
#include "cpp/SystemClass.h"
#include "cpp_test_support.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

using namespace Tessaron::Corvalith;

namespace {

constexpr uint32_t kRouter = 0x6B000002;
constexpr uint32_t kFirst = 0x6B000004;
constexpr uint32_t kSecond = 0x6B00000A;

class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record = tmp.write("record", "");
    ASSERT_TRUE(sim.start({"--module", "serial=6B000002,tcp=0,model=9,heartbeat-ms=150", "--module",
                           "serial=6B000004,address=4,model=30,build=77,behind=6B000002", "--module",
                           "serial=6B00000A,address=10,model=31,router=12,behind=6B000002", "--record",
                           record, "--lifetime", "120"}));
    ASSERT_EQ(router.setConfig(DirectConfig()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(TcpSpec(kRouter, sim.tcpPort("6B000002"))), aErrNone);
    routerSystem.init(&router, 0);
    bus.init(&router, 0);
  }
  void TearDown() override {
    (void)router.disconnect();
    sim.stop();
  }

  // A module behind the router, as the network sweep builds it.
  std::unique_ptr<Module> behind(uint8_t address) {
    auto m = std::make_unique<Module>(address, false, 0);
    EXPECT_EQ(m->setConfig(DirectConfig()), aErrNone);
    return m;
  }

  SimProcess sim;
  TempDir tmp;
  std::string record;
  Module router{2, 0};
  SystemClass routerSystem;
  I2CClass bus;
};

TEST_F(RouterTest, I2CWritesAreAcknowledgedOnlyWhereAModuleSits) {
  ASSERT_EQ(bus.setSpeed(3), aErrNone);
  EXPECT_EQ(bus.getSpeed(), 3);
  EXPECT_EQ(bus.setSpeed(4), aErrParam);
  EXPECT_EQ(bus.getSpeed(), 3);
  const uint8_t zeros[] = {0, 0};
  std::vector<uint8_t> acked;
  for (unsigned a = 2; a <= 252; a += 2) {
    const aErr err = bus.write(static_cast<uint8_t>(a), sizeof zeros, zeros);
    if (err == aErrNone) {
      acked.push_back(static_cast<uint8_t>(a));
    } else {
      EXPECT_EQ(err, aErrNotFound) << a;
    }
  }
  EXPECT_EQ(acked, (std::vector<uint8_t>{4, 10})) << "the router never answers for itself";

  const uint8_t data[] = {0x12, 0x34, 0x56};
  EXPECT_EQ(bus.write(10, sizeof data, data), aErrNone);
  uint8_t back[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(bus.read(10, 5, back), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 5), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0, 0}));
  EXPECT_EQ(bus.read(8, 2, back), aErrNotFound);
  EXPECT_EQ(bus.setPullup(true), aErrNone);
  EXPECT_EQ(bus.setPullup(false), aErrNone);

  // Oversized transfers are refused before anything is sent.
  const size_t before = RecordedRx(record, kRouter).size();
  uint8_t big[24] = {};
  EXPECT_EQ(bus.write(4, 24, big), aErrSize);
  EXPECT_EQ(bus.read(4, 24, big), aErrSize);
  EXPECT_EQ(bus.write(4, 23, big), aErrNone);
  const std::vector<std::string> rx = RecordedRx(record, kRouter);
  size_t i2c = 0;
  for (size_t i = before; i < rx.size(); ++i) i2c += rx[i].compare(6, 2, "08") == 0;
  EXPECT_EQ(i2c, 1u);

  I2CClass otherBus;
  otherBus.init(&router, 1);
  EXPECT_EQ(otherBus.write(4, 2, zeros), aErrIndexRange);
}

TEST_F(RouterTest, ModulesBehindTheRouterShareItsLinkAndAnswerForThemselves) {
  ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
  auto first = behind(4);
  ASSERT_EQ(first->connectThroughLinkModule(&router), aErrNone);
  EXPECT_EQ(first->getModuleAddress(), 4) << "the router's address query must not replace it";
  EXPECT_FALSE(first->getNetworkingMode());
  EXPECT_EQ(first->getLink()->getLinkRef(), router.getLink()->getLinkRef());
  EXPECT_EQ(aLink_GetUseCount(router.getLink()->getLinkRef()), 2);
  linkSpec spec;
  ASSERT_EQ(first->getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.serialNumber, kRouter) << "reached over the router's transport";

  auto second = behind(10);
  ASSERT_EQ(second->connectThroughLinkModule(&router), aErrNone);
  EXPECT_EQ(aLink_GetUseCount(router.getLink()->getLinkRef()), 3);

  struct Expect {
    Module* module;
    uint32_t serial;
    uint8_t address;
    uint8_t router;
    uint8_t model;
  };
  for (const Expect& e : {Expect{&router, kRouter, 2, 0, 9}, Expect{first.get(), kFirst, 4, 2, 30},
                          Expect{second.get(), kSecond, 10, 12, 31}}) {
    SystemClass s;
    s.init(e.module, 0);
    uint32_t serial = 0;
    uint8_t b = 0;
    EXPECT_EQ(s.getSerialNumber(&serial), aErrNone) << e.serial;
    EXPECT_EQ(serial, e.serial);
    EXPECT_EQ(s.getModule(&b), aErrNone);
    EXPECT_EQ(b, e.address);
    EXPECT_EQ(s.getRouter(&b), aErrNone);
    EXPECT_EQ(b, e.router) << e.serial;
    EXPECT_EQ(s.getModel(&b), aErrNone);
    EXPECT_EQ(b, e.model);
  }
  uint32_t build = 0;
  EXPECT_EQ(first->getBuild(&build), aErrNone);
  EXPECT_EQ(build, 77u);

  // A name set on one module stays with that module.
  SystemClass firstSystem;
  firstSystem.init(first.get(), 0);
  const uint8_t name[] = "behind the router";
  ASSERT_EQ(firstSystem.setName(name, sizeof name - 1), aErrNone);
  uint8_t back[64];
  size_t count = 0;
  ASSERT_EQ(firstSystem.getName(back, sizeof back, &count), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back), count), "behind the router");
  SystemClass secondSystem;
  secondSystem.init(second.get(), 0);
  ASSERT_EQ(secondSystem.getName(back, sizeof back, &count), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back), count), "Corvalith Sim");

  // Connecting again is a no-op; releasing one user leaves the others.
  EXPECT_EQ(first->connectThroughLinkModule(&router), aErrNone);
  EXPECT_EQ(first->disconnect(), aErrNone);
  EXPECT_EQ(aLink_GetUseCount(router.getLink()->getLinkRef()), 2);
  EXPECT_EQ(router.disconnect(), aErrNone);
  uint32_t serial = 0;
  EXPECT_EQ(secondSystem.getSerialNumber(&serial), aErrNone)
      << "the shared link outlives the router object's use";
  EXPECT_EQ(serial, kSecond);
}

TEST_F(RouterTest, RouteToMeSwitchesTheNetworksTraffic) {
  auto first = behind(4);
  ASSERT_EQ(first->connectThroughLinkModule(&router), aErrNone);
  SystemClass s;
  s.init(first.get(), 0);
  uint32_t serial = 0;
  // The route packet of the link start already routes to this host.
  ASSERT_EQ(s.getSerialNumber(&serial), aErrNone);

  ASSERT_EQ(routerSystem.routeToMe(0), aErrNone);
  const auto start = std::chrono::steady_clock::now();
  serial = 0;
  EXPECT_EQ(s.getSerialNumber(&serial), aErrTimeout);
  const long waited = ElapsedMs(start);
  EXPECT_GE(waited, 900);
  EXPECT_LT(waited, 1500) << "no exchange waits longer than its time-out";
  EXPECT_EQ(serial, 0u);
  uint32_t routerSerial = 0;
  EXPECT_EQ(routerSystem.getSerialNumber(&routerSerial), aErrNone) << "the router itself still answers";

  ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
  EXPECT_EQ(s.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, kFirst);
}

TEST_F(RouterTest, IndirectConnectionNeedsAConnectedRouter) {
  Module lonelyRouter(2, 0);
  auto first = std::make_unique<Module>(4, 0);
  ASSERT_EQ(first->setConfig(DirectConfig()), aErrNone);
  EXPECT_EQ(first->connectThroughLinkModule(&lonelyRouter), aErrNotFound) << "router without a spec";
  ASSERT_EQ(lonelyRouter.getLink()->setLinkSpecifier(TcpSpec(kRouter, sim.tcpPort("6B000002"))), aErrNone);
  ASSERT_EQ(lonelyRouter.setConfig(DirectConfig()), aErrNone);
  EXPECT_EQ(first->connectThroughLinkModule(&lonelyRouter), aErrInitialization) << "router not connected";
  EXPECT_EQ(first->connectThroughLinkModule(nullptr), aErrInitialization);
  EXPECT_FALSE(first->isConnected());
  EXPECT_TRUE(first->getNetworkingMode()) << "unchanged after a failure";
  EXPECT_EQ(aLink_GetUseCount(router.getLink()->getLinkRef()), 1)
      << "failures take no use of the router's link";

  // The router's device server is a shared type: refused without sharing.
  // (A router shared with sharing on starts a server, which answers
  // multicast; device_server_netns_test covers it.)
  Module shared(2, 0);
  ASSERT_EQ(shared.setConfig(DirectConfig()), aErrNone);
  linkSpec viaServer = TcpSpec(kRouter, sim.tcpPort("6B000002"));
  viaServer.type = AWEFT_TCPIP;
  EXPECT_EQ(shared.connectFromSpec(viaServer), aErrConfiguration);
}

}  // namespace
