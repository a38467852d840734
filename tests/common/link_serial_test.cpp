// Serial links (COBS + CRC-8 over a pseudo-terminal) against corvalith-sim,
// and the baud rates a serial link accepts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/aLinkTable.h"
#include "link_test_support.h"
#include "support/SimProcess.h"

namespace {

std::string LinkPath(const std::string& name) {
  return ::testing::TempDir() + "link_serial_" + name + "_" + std::to_string(getpid());
}

}  // namespace

TEST(LinkSerial, RoundTripsOverTheFramedPseudoTerminal) {
  const std::string path = LinkPath("rt");
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=51E00001,serial-link=" + path + ",heartbeat-ms=200,address=4"}));
  EXPECT_EQ(sim.endpoint("serial", "51E00001"), path);
  aLinkRef id = aLink_CreateSerial(0x51E00001, path.c_str(), 115200);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(aLink_Sync(id), aErrNone);
  EXPECT_TRUE(EchoRoundTrip(id, 4, {0x00, 0x01, 0xFF, 0x00}));
  // 27 data bytes: the largest packet a serial link can carry back.
  Bytes big(26, 0);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  EXPECT_TRUE(EchoRoundTrip(id, 4, big));
  EXPECT_EQ(Request(id, 4, {3, 9 | 0x40, 0x20}), (Bytes{3, 9, 0, 0x51, 0xE0, 0x00, 0x01}));
  // Sharing by serial number, as for the other transports.
  aLinkRef again = aLink_CreateSerial(0x51E00001, path.c_str(), 115200);
  EXPECT_EQ(again, id);
  (void)aLink_Destroy(&again);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  (void)aLink_Destroy(&id);
  EXPECT_EQ(aLink_FindEntry(SERIAL, 0x51E00001), 0u);
}

TEST(LinkSerial, RefusesBaudRatesOutsideTheTable) {
  const std::string path = LinkPath("baud");
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--module", "serial=51E00002,serial-link=" + path + ",heartbeat-ms=0"}));
  for (uint32_t baud : {0u, 1200u, 9601u, 460800u}) {
    EXPECT_EQ(aLink_CreateSerial(0x51E00002, path.c_str(), baud), 0u) << baud;
    EXPECT_EQ(aLink_FindEntry(SERIAL, 0x51E00002), 0u) << "no entry left behind for " << baud;
  }
  EXPECT_EQ(aLink_CreateSerial(0x51E00002, nullptr, 9600), 0u);
  EXPECT_EQ(aLink_CreateSerial(0x51E00002, (path + ".missing").c_str(), 9600), 0u);
  EXPECT_EQ(aLink_FindEntry(SERIAL, 0x51E00002), 0u);
  for (uint32_t baud : {2400u, 230400u}) {
    aLinkRef id = aLink_CreateSerial(0x51E00002, path.c_str(), baud);
    ASSERT_NE(id, 0u) << baud;
    EXPECT_TRUE(EchoRoundTrip(id, 2, {static_cast<uint8_t>(baud & 0xFF)}));
    (void)aLink_Destroy(&id);
  }
}
