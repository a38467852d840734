// The link engine over a caller's stream: synchronisation byte sequences,
// heartbeats, odd addresses, the user filter, pooled writes, the packet debug
// buffer, stopping with waiters, start failures and the identifier rules.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "common/aDebug.h"
#include "common/aLinkTable.h"
#include "common/aPacketFifo.h"
#include "link_test_support.h"

namespace {

const Bytes kSyncQuery{0xAD, 0x00};
const Bytes kRouteOn{0xAF, 0x01, 0x01};
const Bytes kRouteOff{0xAF, 0x01, 0x00};

struct StreamLink {
  ScriptedStream stream;
  aLinkRef id = 0;

  StreamLink() { id = aLink_Create(stream.make()); }
  ~StreamLink() {
    stream.setIdleAllowed(true);
    stream.setWriteGate(true);
    if (id) (void)aLink_Destroy(&id);
  }
};

// Brings a running link into the handshake with exactly one idle read, and
// waits for the six queries it sends.
std::future<aErr> StartSync(StreamLink& l) {
  l.stream.setIdleAllowed(false);
  auto sync = std::async(std::launch::async, [&l] { return aLink_Sync(l.id); });
  EXPECT_TRUE(WaitForStatus(l.id, kLinkStatusSyncing, 2000));
  const size_t before = l.stream.countWritten(kSyncQuery);
  l.stream.giveIdleToken();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (l.stream.countWritten(kSyncQuery) < before + 6 && std::chrono::steady_clock::now() < deadline) {
    l.stream.waitFor([](const ScriptedStream::State&) { return false; }, 2);
  }
  EXPECT_EQ(l.stream.countWritten(kSyncQuery), before + 6);
  return sync;
}

uint8_t sAcceptCommand17(const aPacket* packet, const void* ref) {
  ++*static_cast<std::atomic<int>*>(const_cast<void*>(ref));
  return packet->length > 0 && packet->data[0] == 0x17;
}

uint8_t sNeverAccept(const aPacket*, const void*) {
  return 0;
}

// Pooling on, with the write of one packet held at the gate so that the
// packets put next queue up behind it.
void sHoldPooledWrites(StreamLink& l) {
  ASSERT_NE(l.id, 0u);
  ASSERT_TRUE(l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3; }, 2000));
  ASSERT_EQ(aLink_EnablePooledPackets(l.id, true), aErrNone);
  l.stream.setWriteGate(false);
  ASSERT_EQ(PutBytes(l.id, 0x04, {0x10}), aErrNone);
  ASSERT_TRUE(l.stream.waitFor([](const ScriptedStream::State& s) { return s.writeBlocked; }, 2000));
}

}  // namespace

TEST(LinkStream, CreateStartsInStepAndSendsRouteOn) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusRunning);
  EXPECT_TRUE(l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3; }, 2000));
  EXPECT_EQ(l.stream.packetsWritten().front(), kRouteOn);
  EXPECT_EQ(aLink_GetUseCount(l.id), 1);
  EXPECT_EQ(aLink_Create(nullptr), 0u);
}

TEST(LinkStream, HandshakeCompletesOnTwoAnswersAndDrainsTheRest) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  auto sync = StartSync(l);
  l.stream.feed({0x04, 0x00, 0x04, 0x00, 0x04, 0x00});
  EXPECT_EQ(sync.get(), aErrNone);
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusRunning);
  // The surplus answer (04 00) was parsed as a packet after the handshake and
  // drained by aLink_Sync.
  aPacket* left = aLink_GetPacket(l.id);
  EXPECT_EQ(left, nullptr);
  if (left) (void)aPacket_Destroy(&left);
  // In step again: the next packet is queued as it is.
  l.stream.feed({0x04, 0x01, 0x42});
  aPacket* p = aLink_AwaitPacket(l.id, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->address, 0x04);
  EXPECT_EQ(p->data[0], 0x42);
  (void)aPacket_Destroy(&p);
}

TEST(LinkStream, MismatchedSecondAnswerSendsTheSixQueriesAgain) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  auto sync = StartSync(l);
  const size_t before = l.stream.countWritten(kSyncQuery);
  l.stream.feed({0x04, 0x00, 0x06, 0x00});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (l.stream.countWritten(kSyncQuery) < before + 6 && std::chrono::steady_clock::now() < deadline) {
    l.stream.waitFor([](const ScriptedStream::State&) { return false; }, 2);
  }
  EXPECT_EQ(l.stream.countWritten(kSyncQuery), before + 6);
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusSyncing);
  l.stream.feed({0x06, 0x00, 0x06, 0x00});
  EXPECT_EQ(sync.get(), aErrNone);
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusRunning);
}

TEST(LinkStream, HandshakeWithoutAnswerReportsNotReadyAfterTwoSeconds) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  auto sync = StartSync(l);
  // Zero and odd first bytes restart the handshake; nothing completes it.
  l.stream.feed({0x00, 0x05});
  EXPECT_EQ(sync.get(), aErrNotReady);
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusSyncing);
  const auto start = std::chrono::steady_clock::now();
  aPacket* p = aLink_AwaitFirst(l.id, nullptr, nullptr, 1000);
  EXPECT_EQ(p, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500))
      << "no waiting out of step";
}

TEST(LinkStream, HeartbeatsAreAnsweredAndNeverQueued) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  l.stream.feed({0x04, 0x02, 0x00, 0x01});  // "down"
  l.stream.feed({0x04, 0x02, 0x00, 0x00});  // "up"
  l.stream.feed({0x04, 0x02, 0x01, 0x00});  // not a heartbeat: first byte 1
  aPacket* p = aLink_AwaitPacket(l.id, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->length, 2);
  EXPECT_EQ(p->data[0], 0x01);
  (void)aPacket_Destroy(&p);
  EXPECT_EQ(aLink_GetPacket(l.id), nullptr);
  EXPECT_TRUE(
      l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3 + 8; }, 2000));
  EXPECT_EQ(l.stream.countWritten({0x04, 0x02, 0x00, 0x03}), 1u);
  EXPECT_EQ(l.stream.countWritten({0x04, 0x02, 0x00, 0x02}), 1u);
  EXPECT_EQ(l.stream.countWritten({0x04, 0x02, 0x01, 0x02}), 0u);
}

TEST(LinkStream, OddAddressRestartsSynchronisationAndIsNotQueued) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  l.stream.setIdleAllowed(false);
  l.stream.feed({0x05, 0x00});
  ASSERT_TRUE(WaitForStatus(l.id, kLinkStatusSyncing, 2000));
  EXPECT_TRUE(
      l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3 + 24; }, 2000));
  // 05 starts the handshake; the 00 after it is then a zero first answer
  // byte, which starts it once more.
  EXPECT_EQ(l.stream.countWritten(kSyncQuery), 12u);
  EXPECT_EQ(aLink_GetPacket(l.id), nullptr);
  l.stream.feed({0x02, 0x00, 0x02, 0x00});
  EXPECT_TRUE(WaitForStatus(l.id, kLinkStatusRunning, 2000));
}

TEST(LinkStream, OverlongLengthByteRestartsSynchronisation) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  l.stream.setIdleAllowed(false);
  l.stream.feed({0x04, 0x1D});  // 29 data bytes cannot be a packet
  EXPECT_TRUE(WaitForStatus(l.id, kLinkStatusSyncing, 2000));
}

TEST(LinkStream, UserFilterSeesEveryPacketFirstAndConsumesWhatItAccepts) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  std::atomic<int> offered{0};
  ASSERT_EQ(aLink_InstallUserPacketFilter(l.id, sAcceptCommand17, &offered), aErrNone);
  l.stream.feed({0x04, 0x02, 0x17, 0x01});
  l.stream.feed({0x04, 0x02, 0x00, 0x00});  // heartbeats too go to the filter first
  l.stream.feed({0x04, 0x01, 0x18});
  aPacket* p = aLink_AwaitPacket(l.id, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 0x18);
  (void)aPacket_Destroy(&p);
  EXPECT_EQ(offered.load(), 3);
  EXPECT_EQ(aLink_GetPacket(l.id), nullptr);
  ASSERT_EQ(aLink_InstallUserPacketFilter(l.id, nullptr, nullptr), aErrNone);
  l.stream.feed({0x04, 0x02, 0x17, 0x02});
  p = aLink_AwaitPacket(l.id, 2000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[1], 0x02);
  (void)aPacket_Destroy(&p);
  EXPECT_EQ(offered.load(), 3);
}

TEST(LinkStream, PooledWritesGatherQueuedPacketsIntoOneWrite) {
  StreamLink l;
  ASSERT_NO_FATAL_FAILURE(sHoldPooledWrites(l));
  for (uint8_t i = 0; i < 200; ++i)
    ASSERT_EQ(PutBytes(l.id, 0x04, {0x11, i, 0, 0, 0, 0, 0, 0, 0, 0}), aErrNone);
  l.stream.setWriteGate(true);
  ASSERT_TRUE(l.stream.waitFor(
      [](const ScriptedStream::State& s) { return s.written.size() >= 3 + 3 + 200 * 12; }, 5000));
  std::vector<size_t> sizes = l.stream.writeSizes();
  size_t largest = 0;
  for (size_t s : sizes) largest = std::max(largest, s);
  EXPECT_GT(largest, 12u * 2) << "pooled packets go out together";
  EXPECT_LE(largest, 4096u);
  // Order and content survive the pooling.
  std::vector<Bytes> packets = l.stream.packetsWritten();
  ASSERT_EQ(packets.size(), 1u + 1u + 200u);
  for (uint8_t i = 0; i < 200; ++i) EXPECT_EQ(packets[2 + i][3], i);

  ASSERT_EQ(aLink_EnablePooledPackets(l.id, false), aErrNone);
  const size_t writesBefore = l.stream.writeSizes().size();
  for (uint8_t i = 0; i < 5; ++i) ASSERT_EQ(PutBytes(l.id, 0x04, {0x12, i}), aErrNone);
  ASSERT_TRUE(l.stream.waitFor(
      [&](const ScriptedStream::State& s) { return s.writeSizes.size() >= writesBefore + 5; }, 2000));
  sizes = l.stream.writeSizes();
  for (size_t i = writesBefore; i < sizes.size(); ++i) EXPECT_EQ(sizes[i], 4u);
}

TEST(LinkStream, PooledBlocksTakePacketsWhileHoldingAtMost4066Bytes) {
  StreamLink l;
  ASSERT_NO_FATAL_FAILURE(sHoldPooledWrites(l));
  const size_t writesBefore = l.stream.writeSizes().size();
  // 135 full packets (4050 bytes) and one of 16 bytes leave the block at
  // exactly 4066: it still takes the next full packet and goes out at 4096.
  // The next block stops after 136 full packets (4080).
  constexpr int kPackets = 300;
  constexpr int kShort = 135;
  size_t total = 0;
  for (int i = 0; i < kPackets; ++i) {
    Bytes data(i == kShort ? 14 : 28, 0x5A);
    data[0] = 0x11;
    data[1] = static_cast<uint8_t>(i);
    data[2] = static_cast<uint8_t>(i >> 8);
    total += data.size() + 2;
    ASSERT_EQ(PutBytes(l.id, 0x04, data), aErrNone);
  }
  l.stream.setWriteGate(true);
  // Route-on, the packet held at the gate, then the pooled blocks.
  const size_t expectedBytes = 3 + 3 + total;
  ASSERT_TRUE(l.stream.waitFor(
      [&](const ScriptedStream::State& s) { return s.written.size() >= expectedBytes; }, 5000));
  const std::vector<size_t> sizes = l.stream.writeSizes();
  ASSERT_EQ(sizes.size(), writesBefore + 4);
  EXPECT_EQ(sizes[writesBefore], 3u);
  EXPECT_EQ(sizes[writesBefore + 1], 4096u);
  EXPECT_EQ(sizes[writesBefore + 2], 4080u);
  EXPECT_EQ(sizes[writesBefore + 3], total - 4096 - 4080);
  const std::vector<Bytes> packets = l.stream.packetsWritten();
  ASSERT_GE(packets.size(), static_cast<size_t>(kPackets));
  for (int i = 0; i < kPackets; ++i) {
    const Bytes& p = packets[packets.size() - kPackets + i];
    ASSERT_EQ(p.size(), i == kShort ? 16u : 30u);
    EXPECT_EQ(p[3] | p[4] << 8, i) << "no packet lost or reordered at a block edge";
  }
}

TEST(LinkStream, StopWakesWaitersAndSendsRouteOff) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  std::vector<std::future<aPacket*>> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(std::async(std::launch::async,
                                 [&l] { return aLink_AwaitFirst(l.id, sNeverAccept, nullptr, 10000); }));
  }
  l.stream.feed({0x04, 0x01, 0x33});  // offered to the waiters, refused
  // All of it read, so a restart does not begin mid-packet.
  ASSERT_TRUE(l.stream.waitFor([](const ScriptedStream::State& s) { return s.input.empty(); }, 2000));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(aLink_Stop(l.id), aErrNone);
  for (auto& w : waiters) {
    ASSERT_EQ(w.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(w.get(), nullptr);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusStopped);
  EXPECT_EQ(l.stream.packetsWritten().back(), kRouteOff);
  // Stopping twice is harmless; restarting works and routes on again.
  EXPECT_EQ(aLink_Stop(l.id), aErrNone);
  ASSERT_EQ(aLink_Start(l.id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusRunning);
  EXPECT_TRUE(
      l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3 + 3 + 3; }, 2000));
  EXPECT_EQ(l.stream.countWritten(kRouteOn), 2u);
}

TEST(LinkStream, StartFailsWithIndexRangeWhenThePipesNeverGetInStep) {
  ScriptedStream stream;
  stream.setFailReads(true);  // every read is an I/O error: status 6, never 2
  const auto start = std::chrono::steady_clock::now();
  aLinkRef id = aLink_Create(stream.make());
  EXPECT_EQ(id, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  EXPECT_TRUE(stream.deleted()) << "the failed link released its stream";
  EXPECT_EQ(aLink_FindEntry(kLinkTypeStream, kLinkStreamKey), 0u);

  // aLink_Start itself reports aErrIndexRange on an existing link.
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  ASSERT_EQ(aLink_Stop(l.id), aErrNone);
  l.stream.setFailReads(true);
  EXPECT_EQ(aLink_Start(l.id), aErrIndexRange);
  // The failed start stopped and joined its pipes: the link is stopped, not
  // left reading, and starts again once the stream behaves.
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusStopped);
  l.stream.setFailReads(false);
  EXPECT_EQ(aLink_Start(l.id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusRunning);
}

TEST(LinkStream, ReadErrorsResynchroniseOnceReadsGoIdle) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  l.stream.setFailReads(true);
  ASSERT_TRUE(WaitForStatus(l.id, kLinkStatusIOError, 2000));
  l.stream.setFailReads(false);
  ASSERT_TRUE(WaitForStatus(l.id, kLinkStatusSyncing, 2000));
  l.stream.feed({0x08, 0x00, 0x08, 0x00});
  EXPECT_TRUE(WaitForStatus(l.id, kLinkStatusRunning, 2000));
}

TEST(LinkStream, IdentifiersAreNeverReusedAndUnknownOnesAreRefused) {
  aLinkRef first;
  {
    StreamLink a;
    first = a.id;
    ASSERT_NE(first, 0u);
  }
  StreamLink b;
  EXPECT_GT(b.id, first);
  EXPECT_EQ(aLink_GetStatus(first), kLinkStatusNoStream);
  aLinkRef stale = first;
  EXPECT_EQ(aLink_Destroy(&stale), aErrParam);
  EXPECT_EQ(stale, 0u);
  EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aLink_Start(first), aErrParam);
  EXPECT_EQ(aLink_Stop(first), aErrParam);
  EXPECT_EQ(aLink_Sync(first), aErrParam);
  EXPECT_EQ(aLink_ForceRoute(first, true), aErrNotFound);
  EXPECT_EQ(aLink_PutPacket(first, nullptr), aErrParam);
  EXPECT_EQ(aLink_GetPacket(first), nullptr);
  EXPECT_EQ(aLink_AwaitFirst(first, nullptr, nullptr, 10), nullptr);
  EXPECT_EQ(aLink_DrainPackets(first, nullptr, nullptr), 0u);
  EXPECT_EQ(aLink_Init(first, nullptr), 0u);
  EXPECT_EQ(aLink_GetStatus(0), kLinkStatusNoStream);
}

TEST(LinkStream, ForceRouteQueuesTheRoutePacket) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  ASSERT_EQ(aLink_ForceRoute(l.id, false), aErrNone);
  ASSERT_EQ(aLink_ForceRoute(l.id, true), aErrNone);
  ASSERT_TRUE(l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 9; }, 2000));
  std::vector<Bytes> packets = l.stream.packetsWritten();
  EXPECT_EQ(packets[1], kRouteOff);
  EXPECT_EQ(packets[2], kRouteOn);
}

TEST(LinkStream, ResetOfAStreamLinkFailsAndLeavesItStopped) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Reset(l.id), aErrParam);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
      << "no retries for a type that cannot be recreated";
  EXPECT_TRUE(l.stream.deleted());
  EXPECT_EQ(aLink_GetStatus(l.id), kLinkStatusNoStream);
  EXPECT_EQ(aLink_Start(l.id), aErrNotReady);
  EXPECT_EQ(aLink_AwaitFirst(l.id, nullptr, nullptr, 50), nullptr);
  // Still a valid link to queue on and to destroy.
  EXPECT_EQ(PutBytes(l.id, 0x04, {0x01}), aErrNone);
}

TEST(LinkStream, PacketDebugBufferRecordsBothDirections) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  uint8_t kind = 0;
  uint32_t length = 64;
  uint8_t buffer[64];
  EXPECT_EQ(aLink_PacketDebug_Read(l.id, &kind, &length, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Disable(l.id), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(l.id, 3, 1, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(l.id, kLinkPacketLogMaxSize + 1), aErrParam);
  // Route-on is out before the buffer exists, so it is not recorded.
  ASSERT_TRUE(l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3; }, 2000));
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(l.id, 0), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(l.id), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(l.id, 100), aErrBusy);

  ASSERT_EQ(PutBytes(l.id, 0x04, {0x17, 0x01}), aErrNone);
  ASSERT_TRUE(
      l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3 + 4; }, 2000));
  l.stream.feed({0x04, 0x02, 0x17, 0x01});
  aPacket* p = aLink_AwaitPacket(l.id, 2000);
  ASSERT_NE(p, nullptr);
  (void)aPacket_Destroy(&p);

  length = sizeof buffer;
  ASSERT_EQ(aLink_PacketDebug_Read(l.id, &kind, &length, buffer), aErrNone);
  EXPECT_EQ(kind, kLinkPacketLogOut);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{0x04, 0x02, 0x17, 0x01}));
  length = 2;
  EXPECT_EQ(aLink_PacketDebug_Read(l.id, &kind, &length, buffer), aErrOverrun);
  EXPECT_EQ(length, 4u) << "the size needed";
  length = sizeof buffer;
  ASSERT_EQ(aLink_PacketDebug_Read(l.id, &kind, &length, buffer), aErrNone);
  EXPECT_EQ(kind, kLinkPacketLogIn);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{0x04, 0x02, 0x17, 0x01}));
  length = sizeof buffer;
  EXPECT_EQ(aLink_PacketDebug_Read(l.id, &kind, &length, buffer), aErrNotFound);
  EXPECT_EQ(aLink_PacketDebug_Disable(l.id), aErrNone);
}

TEST(LinkStream, PacketDebugBufferDropsOldestRecordsWhenFull) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  // Route-on goes out asynchronously after creation; let it pass before the
  // buffer starts recording, so only this test's records are in it.
  ASSERT_TRUE(l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3; }, 2000));
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(l.id, 16), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(l.id), aErrNone);
  const uint8_t text[14] = {'S', 'T', 'A', 'R', 'T', 0};
  EXPECT_EQ(aLink_PacketDebug_Write(l.id, 3, 14, text), aErrOverrun) << "16 bytes never hold 14 + 2";
  EXPECT_EQ(aLink_PacketDebug_Write(l.id, 3, 256, text), aErrParam);
  // 5-byte records (3 + 2) in a 16-byte ring: each write past the third drops
  // the oldest, and indexes wrap.
  for (uint8_t i = 0; i < 10; ++i) {
    const uint8_t rec[3] = {i, i, i};
    ASSERT_EQ(aLink_PacketDebug_Write(l.id, 3, 3, rec), aErrNone);
  }
  uint8_t kind = 0;
  uint8_t buffer[8];
  std::vector<uint8_t> seen;
  for (int i = 0; i < 5; ++i) {
    uint32_t length = sizeof buffer;
    if (aLink_PacketDebug_Read(l.id, &kind, &length, buffer) != aErrNone) break;
    EXPECT_EQ(kind, 3);
    ASSERT_EQ(length, 3u);
    seen.push_back(buffer[0]);
  }
  EXPECT_EQ(seen, (std::vector<uint8_t>{7, 8, 9}));
}

TEST(LinkStream, ConcurrentCallersShareOneLink) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  ASSERT_EQ(aLink_PacketDebug_Enable(l.id), aErrNone);
  std::atomic<bool> stop{false};
  // A reader of the debug buffer while both pipes record into it.
  std::thread reader([&] {
    uint8_t kind, buffer[64];
    for (int i = 0; i < 100000 && !stop.load(); ++i) {
      uint32_t length = sizeof buffer;
      if (aLink_PacketDebug_Read(l.id, &kind, &length, buffer) == aErrNotFound) std::this_thread::yield();
    }
  });
  std::vector<std::thread> senders;
  for (uint8_t t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (uint8_t i = 0; i < 50; ++i) {
        PutBytes(l.id, 0x04, {0x20, t, i});
        l.stream.feed({0x04, 0x03, 0x21, t, i});
      }
    });
  }
  for (auto& s : senders) s.join();
  int received = 0;
  for (int i = 0; i < 200; ++i) {
    aPacket* p = aLink_AwaitPacket(l.id, 2000);
    if (!p) break;
    ++received;
    (void)aPacket_Destroy(&p);
  }
  stop.store(true);
  reader.join();
  EXPECT_EQ(received, 200);
  EXPECT_TRUE(
      l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3 + 200 * 5; }, 5000));
}

TEST(LinkStream, DebugSwitchesPrintCallAndPacketTraces) {
  testing::internal::CaptureStdout();
  aCorvalithDebuggingLevel.store(aDEBUG_LINK | aDEBUG_PACKETS);
  aCorvalithDebuggingEnable.store(true);
  {
    StreamLink l;
    EXPECT_NE(l.id, 0u);
    l.stream.feed({0x04, 0x02, 0x00, 0x01});
    EXPECT_TRUE(
        l.stream.waitFor([](const ScriptedStream::State& s) { return s.written.size() >= 3 + 4; }, 2000));
  }
  aCorvalithDebuggingEnable.store(false);
  aCorvalithDebuggingLevel.store(0);
  const std::string out = testing::internal::GetCapturedStdout();
  for (const char* trace :
       {" aLink_Start(", " sInPipeProcess(", ") -- syncing\n", "sending HB DOWN", " sHandleHBBackChannel(",
        "==> received HB packet [data size = 2][0,1]", " sOutPipeProcess(", "ADDR:AF, LEN:01, [01]",
        "aLink_Destroy(", " Destroy stream", " sChangeUseCount(", "NO MORE LINKS"}) {
    EXPECT_NE(out.find(trace), std::string::npos) << trace;
  }
  // Off again: nothing more is printed.
  testing::internal::CaptureStdout();
  { StreamLink quiet; }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(LinkStream, PacketQueuedBeforeLosingStepIsStillDelivered) {
  StreamLink l;
  ASSERT_NE(l.id, 0u);
  l.stream.setIdleAllowed(false);
  l.stream.feed({0x04, 0x01, 0x42, 0x05});  // a packet, then an odd address
  ASSERT_TRUE(WaitForStatus(l.id, kLinkStatusSyncing, 2000));
  aPacket* p = aLink_AwaitFirst(l.id, nullptr, nullptr, 1000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 0x42);
  (void)aPacket_Destroy(&p);
}
