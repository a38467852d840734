// Discovery pieces that need no network: the beacon-interface lock, the
// transports that find nothing, address texts and the refusals of multicast
// endpoints. The searches themselves run in discovery_netns_test.cpp.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "common/aDiscovery.h"
#include "unix/aDiscoveryOS.h"

namespace {

using namespace std::chrono_literals;

std::string sCurrent() {
  char text[aBEACON_INTERFACE_TEXT_MAX] = {};
  EXPECT_TRUE(zBeaconInterface_get(text, sizeof text));
  return text;
}

std::string sBackup() {
  char text[aBEACON_INTERFACE_TEXT_MAX] = {};
  EXPECT_TRUE(zBeaconInterface_getBackup(text, sizeof text));
  return text;
}

// True when another thread can take the lock within the time limit.
bool sOtherThreadCanLock(std::chrono::milliseconds limit) {
  auto other = std::async(std::launch::async, [] {
    if (!zBeaconInterface_setAndLock("*")) return false;
    return zBeaconInterface_unlock();
  });
  if (other.wait_for(limit) != std::future_status::ready) {
    return false;
  }
  return other.get();
}

TEST(BeaconInterfaceLock, AcceptsDottedIPv4EmptyAndStarOnly) {
  for (const char* good : {"10.77.0.1", "0.0.0.0", "255.255.255.255", "", "*"}) {
    EXPECT_TRUE(zBeaconInterface_isValid(good)) << good;
    ASSERT_TRUE(zBeaconInterface_setAndLock(good)) << good;
    EXPECT_EQ(sCurrent(), good);
    EXPECT_TRUE(zBeaconInterface_unlock());
  }
  for (const char* bad : {"eth0", "1.2.3", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "1.2.3.4.5", "::1", "**",
                          "localhost", "10.77.0.1/24"}) {
    EXPECT_FALSE(zBeaconInterface_isValid(bad)) << bad;
    EXPECT_FALSE(zBeaconInterface_setAndLock(bad)) << bad;
    EXPECT_FALSE(zBeaconInterface_backupSetAndLock(bad)) << bad;
    // A refused setting takes no lock: this thread may lock (the lock is not
    // recursive) and the setting is unchanged.
    ASSERT_TRUE(zBeaconInterface_setAndLock("*")) << bad;
    EXPECT_EQ(sCurrent(), "*");
    EXPECT_TRUE(zBeaconInterface_unlock());
  }
  EXPECT_FALSE(zBeaconInterface_isValid(nullptr));
  EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
}

TEST(BeaconInterfaceLock, BackupSetAndRestoreRoundTrip) {
  ASSERT_TRUE(zBeaconInterface_setAndLock("10.0.0.5"));
  ASSERT_TRUE(zBeaconInterface_unlock());

  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("192.168.7.1"));
  EXPECT_EQ(sCurrent(), "192.168.7.1");
  EXPECT_EQ(sBackup(), "10.0.0.5");
  EXPECT_FALSE(zBeaconInterface_setAndLock("*")) << "the lock is not recursive";
  EXPECT_EQ(sCurrent(), "192.168.7.1");
  EXPECT_TRUE(zBeaconInterface_restoreAndUnlock());
  EXPECT_EQ(sCurrent(), "10.0.0.5");

  EXPECT_FALSE(zBeaconInterface_restoreAndUnlock()) << "not held";
  EXPECT_FALSE(zBeaconInterface_unlock()) << "not held";

  char text[aBEACON_INTERFACE_TEXT_MAX];
  ASSERT_TRUE(zBeaconInterface_getAndLock(text, sizeof text));
  EXPECT_STREQ(text, "10.0.0.5");
  EXPECT_TRUE(zBeaconInterface_unlock());
  ASSERT_TRUE(zBeaconInterface_getBackupAndLock(text, sizeof text));
  EXPECT_STREQ(text, "10.0.0.5");
  EXPECT_TRUE(zBeaconInterface_unlock());

  char small[4];
  EXPECT_TRUE(zBeaconInterface_get(small, sizeof small));
  EXPECT_STREQ(small, "10.") << "truncated, still terminated";
  EXPECT_FALSE(zBeaconInterface_get(nullptr, 8));
  EXPECT_FALSE(zBeaconInterface_getAndLock(text, 0));
  ASSERT_TRUE(zBeaconInterface_setAndLock("*")) << "a refused getAndLock takes no lock";
  EXPECT_TRUE(zBeaconInterface_unlock());
}

TEST(BeaconInterfaceLock, HoldsOffOtherThreadsUntilReleased) {
  const std::string before = sCurrent();
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.1.1.1"));
  auto stranger = std::async(std::launch::async, [] { return zBeaconInterface_unlock(); });
  EXPECT_FALSE(stranger.get()) << "a thread that does not hold the lock cannot release it";

  auto other = std::async(std::launch::async, [] {
    char seen[aBEACON_INTERFACE_TEXT_MAX] = {};
    if (!zBeaconInterface_getAndLock(seen, sizeof seen)) return std::string("refused");
    return zBeaconInterface_unlock() ? std::string(seen) : std::string("kept");
  });
  EXPECT_EQ(other.wait_for(100ms), std::future_status::timeout) << "the other thread got the lock while held";
  EXPECT_TRUE(zBeaconInterface_restoreAndUnlock());
  ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(other.get(), before) << "the other thread ran after the restore";
  EXPECT_TRUE(sOtherThreadCanLock(10s));
}

TEST(BeaconInterfaceLock, LeavesTheProgramsSignalHandlingAlone) {
  ASSERT_TRUE(zBeaconInterface_backupSetAndLock("127.0.0.1"));
  EXPECT_TRUE(zBeaconInterface_restoreAndUnlock());
  for (int sig : {SIGINT, SIGTERM}) {
    struct sigaction now {};
    ASSERT_EQ(sigaction(sig, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "signal " << sig << " was taken over";
  }
}

bool sNeverCalled(const linkSpec*, uint8_t* counted, void* ref) {
  ++*static_cast<int*>(ref);
  *counted = 1;
  return true;
}

TEST(Discovery, TransportsWithoutDiscoveryFindNothingAtOnce) {
  int calls = 0;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t type : {0u, 3u, 8u, 9u, 0xFFFFFFFFu}) {
    EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(type), sNeverCalled, &calls, 0), 0u) << type;
    EXPECT_EQ(aDiscovery_FindFirstModule(static_cast<linkType>(type), 0), nullptr) << type;
    EXPECT_EQ(aDiscovery_FindModule(static_cast<linkType>(type), 0x12345678, 0), nullptr) << type;
  }
  EXPECT_EQ(calls, 0);
  // None of them waits out the TCP/IP silence.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(aDISCOVERY_SILENCE_MS));
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, nullptr, nullptr, 0), 0u) << "no callback, no search";
}

TEST(Discovery, ConvertsAddressesToDottedText) {
  char text[32];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(aDiscovery_IPv4(10, 77, 0, 1), text, sizeof text), 9u);
  EXPECT_STREQ(text, "10.77.0.1");
  EXPECT_EQ(text[31], '\0') << "zero-filled first";

  char exact[16];
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(aDiscovery_IPv4(255, 255, 255, 255), exact, sizeof exact), 15u);
  EXPECT_STREQ(exact, "255.255.255.255");

  char shortBuffer[15];
  std::memset(shortBuffer, 'x', sizeof shortBuffer);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(aDISCOVERY_LOOPBACK, shortBuffer, sizeof shortBuffer), 0u);
  for (char c : shortBuffer) EXPECT_EQ(c, '\0');
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(aDISCOVERY_LOOPBACK, nullptr, 16), 0u);
}

TEST(Discovery, InterfaceListRespectsCapacity) {
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0u);
  uint32_t addresses[aDISCOVERY_MAX_INTERFACES] = {};
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 0), 0u);
  const uint32_t all = aDiscovery_GetIPv4Interfaces(addresses, aDISCOVERY_MAX_INTERFACES);
  if (all > 1) {
    uint32_t one[2] = {0, 0xFFFFFFFFu};
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(one, 1), 1u);
    EXPECT_EQ(one[0], addresses[0]);
    EXPECT_EQ(one[1], 0xFFFFFFFFu) << "wrote past the capacity";
  }
}

TEST(Multicast, RefusesNullEndpointsAndNamesThatNeedALookup) {
  uint8_t byte = 0;
  EXPECT_EQ(aMulticast_Send(nullptr, &byte, 1), aMULTICAST_NULL);
  EXPECT_EQ(aMulticast_Receive(nullptr, &byte, 1), aMULTICAST_NULL);
  EXPECT_EQ(aMulticast_Destroy(nullptr), aMULTICAST_NULL);
  aMulticastRef none = nullptr;
  EXPECT_EQ(aMulticast_Destroy(&none), aMULTICAST_NULL);
  // Only numeric groups: a name would need a resolver query off the machine.
  EXPECT_EQ(aMulticast_Create(0, "all-systems.mcast.net", 9850, true), nullptr);
  EXPECT_EQ(aMulticast_Create(0, "not an address", 9850, false), nullptr);
  EXPECT_EQ(aMulticast_Create(0, nullptr, 9850, true), nullptr);
}

}  // namespace
