// A filtered wait on a link that loses step while it waits: the wait goes on
// through the handshake and takes a reply that comes after it, and still
// ends at once when the link goes away. However long it waits, each packet
// meets the filter once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "common/aLink.h"
#include "common/aPacketFifo.h"
#include "link_test_support.h"

namespace {

uint8_t sCountAndTake42(const aPacket* packet, const void* ref) {
  ++*static_cast<std::atomic<int>*>(const_cast<void*>(ref));
  return packet->length > 0 && packet->data[0] == 0x42;
}

bool sWaitForCount(const std::atomic<int>& count, int atLeast, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (count.load() < atLeast) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(LinkAwaitResync, WaitOutlivesAResynchronisationAndTakesTheLateReply) {
  ScriptedStream stream;
  aLinkRef id = aLink_Create(stream.make());
  ASSERT_NE(id, 0u);
  // Idle reads only when handed out, so the handshake moves on fed bytes
  // alone and the link stays out of step as long as the test wants.
  stream.setIdleAllowed(false);
  std::atomic<int> offered{0};
  auto waiter =
      std::async(std::launch::async, [&] { return aLink_AwaitFirst(id, sCountAndTake42, &offered, 5000); });
  // A refused packet shows the waiter is waiting on a link in step.
  stream.feed({0x04, 0x01, 0x33});
  ASSERT_TRUE(sWaitForCount(offered, 1, 2000));

  stream.feed({0x05});  // odd address: out of sync
  ASSERT_TRUE(WaitForStatus(id, kLinkStatusSyncing, 2000));
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(400)), std::future_status::timeout)
      << "losing step must not end the wait";

  stream.feed({0x04, 0x00, 0x04, 0x00});
  ASSERT_TRUE(WaitForStatus(id, kLinkStatusRunning, 2000));
  stream.feed({0x04, 0x02, 0x42, 0x07});
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  aPacket* p = waiter.get();
  ASSERT_NE(p, nullptr) << "the reply after the handshake is the waiter's";
  EXPECT_EQ(p->address, 0x04);
  EXPECT_EQ(p->data[1], 0x07);
  (void)aPacket_Destroy(&p);

  stream.setIdleAllowed(true);
  (void)aLink_Destroy(&id);
}

// Step lost between the request and the wait: only a request put in step
// keeps the caller waiting through the handshake.
TEST(LinkAwaitResync, StepLostBeforeTheWaitIsWaitedOutOnlyAfterARequest) {
  for (const bool request : {true, false}) {
    SCOPED_TRACE(request ? "request put in step" : "no request");
    ScriptedStream stream;
    aLinkRef id = aLink_Create(stream.make());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(WaitForStatus(id, kLinkStatusRunning, 2000));
    stream.setIdleAllowed(false);
    if (request) {
      const uint8_t data[] = {0x01, 0x02};
      aPacket* p = aPacket_CreateWithData(0x04, 2, data);
      ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
      (void)aPacket_Destroy(&p);
    }
    stream.feed({0x05});
    ASSERT_TRUE(WaitForStatus(id, kLinkStatusSyncing, 2000));
    EXPECT_EQ(aLink_AwaitsReply(id, 5000), request);
    std::atomic<int> offered{0};
    auto waiter =
        std::async(std::launch::async, [&] { return aLink_AwaitFirst(id, sCountAndTake42, &offered, 5000); });
    if (request) {
      EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
      stream.feed({0x04, 0x00, 0x04, 0x00});
      ASSERT_TRUE(WaitForStatus(id, kLinkStatusRunning, 2000));
      stream.feed({0x04, 0x02, 0x42, 0x07});
    }
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    aPacket* p = waiter.get();
    EXPECT_EQ(p != nullptr, request);
    if (p) (void)aPacket_Destroy(&p);
    stream.setIdleAllowed(true);
    (void)aLink_Destroy(&id);
  }
}

TEST(LinkAwaitResync, WaitEndsPromptlyWhenTheLinkIsDestroyedOrStopped) {
  for (const bool destroy : {true, false}) {
    ScriptedStream stream;
    aLinkRef id = aLink_Create(stream.make());
    ASSERT_NE(id, 0u);
    std::atomic<int> offered{0};
    auto waiter = std::async(std::launch::async,
                             [&] { return aLink_AwaitFirst(id, sCountAndTake42, &offered, 10000); });
    stream.feed({0x04, 0x01, 0x33});
    ASSERT_TRUE(sWaitForCount(offered, 1, 2000));
    const auto start = std::chrono::steady_clock::now();
    aLinkRef keep = id;
    if (destroy) {
      ASSERT_EQ(aLink_Destroy(&keep), aErrNone);
    } else {
      ASSERT_EQ(aLink_Stop(id), aErrNone);
    }
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
        << (destroy ? "destroy" : "stop");
    if (!destroy) (void)aLink_Destroy(&id);
  }
}

uint8_t sCountAndRefuse(const aPacket*, const void* ref) {
  ++*static_cast<std::atomic<int>*>(const_cast<void*>(ref));
  return 0;
}

TEST(LinkAwaitResync, CursorOffersEachPacketOnceOverSeveralCalls) {
  aPacketFifoId fifo = aPacketFifo_Create();
  ASSERT_NE(fifo, 0u);
  const uint8_t data[] = {0x42};
  aPacket* p = aPacket_CreateWithData(0x04, 1, data);
  ASSERT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
  ASSERT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
  std::atomic<int> offered{0};
  aPacketFifoCursor cursor;
  EXPECT_EQ(aPacketFifo_AwaitFirstFrom(fifo, sCountAndRefuse, &offered, 0, &cursor), nullptr);
  EXPECT_EQ(offered.load(), 2);
  EXPECT_EQ(aPacketFifo_AwaitFirstFrom(fifo, sCountAndRefuse, &offered, 20, &cursor), nullptr);
  EXPECT_EQ(offered.load(), 2) << "nothing new, nothing offered";
  ASSERT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
  EXPECT_EQ(aPacketFifo_AwaitFirstFrom(fifo, sCountAndRefuse, &offered, 0, &cursor), nullptr);
  EXPECT_EQ(offered.load(), 3) << "only the new packet";
  aPacketFifoCursor fresh;
  aPacket* got = aPacketFifo_AwaitFirstFrom(fifo, nullptr, nullptr, 0, &fresh);
  ASSERT_NE(got, nullptr) << "a fresh cursor starts at the oldest packet";
  (void)aPacket_Destroy(&got);
  EXPECT_EQ(aPacketFifo_AwaitFirstFrom(fifo, nullptr, nullptr, 0, nullptr), nullptr);
  (void)aPacket_Destroy(&p);
  (void)aPacketFifo_Destroy(&fifo);
}

TEST(LinkAwaitResync, LongWaitOffersEachQueuedPacketOnce) {
  ScriptedStream stream;
  aLinkRef id = aLink_Create(stream.make());
  ASSERT_NE(id, 0u);
  std::atomic<int> offered{0};
  // Three refused packets queued before the wait, one arriving during it.
  stream.feed({0x04, 0x01, 0x31, 0x04, 0x01, 0x32, 0x04, 0x01, 0x33});
  ASSERT_TRUE(stream.waitFor([](const ScriptedStream::State& s) { return s.input.empty(); }, 2000));
  auto waiter =
      std::async(std::launch::async, [&] { return aLink_AwaitFirst(id, sCountAndRefuse, &offered, 450); });
  ASSERT_TRUE(sWaitForCount(offered, 3, 2000));
  stream.feed({0x04, 0x01, 0x34});
  EXPECT_EQ(waiter.get(), nullptr);
  EXPECT_EQ(offered.load(), 4) << "a wait of several slices offers each packet once";
  (void)aLink_Destroy(&id);
}

}  // namespace
