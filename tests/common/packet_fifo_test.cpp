#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/aPacketFifo.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Waits longer than any test should need; a wait that reaches it is a failure.
constexpr int32_t kLongWaitMs = 10000;
// A wait that was woken must end well before kLongWaitMs.
constexpr auto kPrompt = milliseconds(kLongWaitMs / 2);

// Packets carry (command, tag high, tag low) so tests can tell them apart.
aErr sPut(aPacketFifoId fifo, uint8_t command, uint16_t tag) {
  const uint8_t data[] = {command, static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag)};
  aPacket* packet = aPacket_CreateWithData(0x02, sizeof data, data);
  if (packet == nullptr) return aErrMemory;
  const aErr err = aPacketFifo_Put(fifo, packet);
  (void)aPacket_Destroy(&packet);
  return err;
}

uint16_t sTag(const aPacket* packet) {
  return static_cast<uint16_t>(packet->data[1] << 8 | packet->data[2]);
}

// Tag of a returned packet, freeing it; -1 for null.
int sTakeTag(aPacket* packet) {
  if (packet == nullptr) return -1;
  const int tag = sTag(packet);
  (void)aPacket_Destroy(&packet);
  return tag;
}

uint8_t sIsCommand(const aPacket* packet, const void* reference) {
  return packet->data[0] == *static_cast<const uint8_t*>(reference);
}

struct PacketFifoTest : ::testing::Test {
  void SetUp() override { ASSERT_NE(fifo = aPacketFifo_Create(), 0u); }
  void TearDown() override {
    if (fifo != 0) {
      EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    }
  }
  aPacketFifoId fifo = 0;
};

TEST(PacketFifo, IdentifiersAreUniqueAndDestroyedOnce) {
  aPacketFifoId a = aPacketFifo_Create();
  aPacketFifoId b = aPacketFifo_Create();
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  const aPacketFifoId stale = a;
  EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNone);
  EXPECT_EQ(a, 0u);
  aPacketFifoId again = stale;
  EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
  EXPECT_EQ(again, stale);
  EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNotFound) << "0 names no FIFO";
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

  aPacketFifoId c = aPacketFifo_Create();
  EXPECT_NE(c, stale) << "identifiers are not reused";
  EXPECT_EQ(aPacketFifo_Destroy(&b), aErrNone);
  EXPECT_EQ(aPacketFifo_Destroy(&c), aErrNone);
}

TEST(PacketFifo, UnknownIdentifierIsHarmless) {
  aPacketFifoId gone = aPacketFifo_Create();
  const aPacketFifoId stale = gone;
  ASSERT_EQ(aPacketFifo_Destroy(&gone), aErrNone);
  const uint8_t command = 1;
  EXPECT_EQ(sPut(stale, 1, 1), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(stale), 0u);
  EXPECT_EQ(aPacketFifo_Get(stale), nullptr);
  EXPECT_EQ(aPacketFifo_Await(stale, kLongWaitMs), nullptr) << "returns at once, not after the time-out";
  EXPECT_EQ(aPacketFifo_GetFirst(stale, sIsCommand, &command), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(stale, sIsCommand, &command, kLongWaitMs), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(stale, sIsCommand, &command), 0u);
}

TEST_F(PacketFifoTest, PutCopiesAndGetKeepsOrder) {
  aPacket* mine = aPacket_CreateWithData(0x04, 1, reinterpret_cast<const uint8_t*>("\x07"));
  ASSERT_NE(mine, nullptr);
  ASSERT_EQ(aPacketFifo_Put(fifo, mine), aErrNone);
  mine->data[0] = 0x55;
  EXPECT_EQ(aPacket_Destroy(&mine), aErrNone) << "the caller keeps its own packet";
  aPacket* got = aPacketFifo_Get(fifo);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->data[0], 0x07);
  EXPECT_TRUE(aPacket_IsComplete(got));
  (void)aPacket_Destroy(&got);

  for (uint16_t tag = 0; tag < 5; ++tag) ASSERT_EQ(sPut(fifo, 1, tag), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 5u);
  for (int tag = 0; tag < 5; ++tag) EXPECT_EQ(sTakeTag(aPacketFifo_Get(fifo)), tag);
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);

  aPacket fake{};
  EXPECT_EQ(aPacketFifo_Put(fifo, &fake), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(fifo, nullptr), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(PacketFifoTest, OverflowEmptiesTheQueue) {
  for (uint16_t tag = 0; tag < kPacketFifoCapacity; ++tag) ASSERT_EQ(sPut(fifo, 1, tag), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), kPacketFifoCapacity);
  EXPECT_EQ(sPut(fifo, 1, 1000), aErrNone) << "overflow is not the producer's error";
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  EXPECT_EQ(sPut(fifo, 1, 1001), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 1u);
  EXPECT_EQ(sTakeTag(aPacketFifo_Get(fifo)), 1001);
}

TEST_F(PacketFifoTest, FilteredRetrievalSkipsRefusedPacketsAndKeepsOrder) {
  const uint8_t wanted = 5;
  for (uint16_t tag = 0; tag < 6; ++tag) ASSERT_EQ(sPut(fifo, tag == 3 || tag == 5 ? 5 : 1, tag), aErrNone);

  EXPECT_EQ(sTakeTag(aPacketFifo_AwaitFirst(fifo, sIsCommand, &wanted, kLongWaitMs)), 3);
  EXPECT_EQ(sTakeTag(aPacketFifo_GetFirst(fifo, sIsCommand, &wanted)), 5);
  EXPECT_EQ(aPacketFifo_GetFirst(fifo, sIsCommand, &wanted), nullptr);
  for (int tag : {0, 1, 2, 4}) EXPECT_EQ(sTakeTag(aPacketFifo_Get(fifo)), tag);

  const uint8_t other = 9;
  for (uint16_t tag = 0; tag < 6; ++tag) ASSERT_EQ(sPut(fifo, tag % 2 ? 9 : 1, tag), aErrNone);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, sIsCommand, &other), 3u);
  for (int tag : {0, 2, 4}) EXPECT_EQ(sTakeTag(aPacketFifo_Get(fifo)), tag);

  for (uint16_t tag = 0; tag < 3; ++tag) ASSERT_EQ(sPut(fifo, 1, tag), aErrNone);
  EXPECT_EQ(sTakeTag(aPacketFifo_GetFirst(fifo, nullptr, nullptr)), 0) << "a null filter takes the head";
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, nullptr, nullptr), 2u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST_F(PacketFifoTest, TimeOutsReturnNullWithoutSpinning) {
  const uint8_t wanted = 5;
  ASSERT_EQ(sPut(fifo, 1, 0), aErrNone);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, sIsCommand, &wanted, 0), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, sIsCommand, &wanted, -5), nullptr);
  EXPECT_EQ(sTakeTag(aPacketFifo_Await(fifo, 0)), 0) << "a queued packet needs no waiting";

  // A blocked waiter sleeps on the condition variable: it must use next to no
  // CPU time over its time-out.
  constexpr int32_t kWaitMs = 300;
  timespec cpuBefore{}, cpuAfter{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuBefore);
  const auto start = steady_clock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo, kWaitMs), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, sIsCommand, &wanted, kWaitMs), nullptr);
  const auto elapsed = steady_clock::now() - start;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuAfter);
  EXPECT_GE(elapsed, milliseconds(2 * kWaitMs));
  const double cpuMs =
      (cpuAfter.tv_sec - cpuBefore.tv_sec) * 1e3 + (cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1e6;
  EXPECT_LT(cpuMs, 60.0) << "waiting burned CPU";
}

// Records every packet offered to the filter; accepts the tag in `wanted`.
struct OfferLog {
  std::mutex mutex;
  std::condition_variable offered;
  std::vector<int> tags;
  int wanted = -1;

  static uint8_t filter(const aPacket* packet, const void* reference) {
    auto* log = static_cast<OfferLog*>(const_cast<void*>(reference));
    {
      std::lock_guard<std::mutex> lock(log->mutex);
      log->tags.push_back(sTag(packet));
    }
    log->offered.notify_all();
    return sTag(packet) == log->wanted;
  }
  // Blocks until at least n offers were made; false after the deadline.
  bool waitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return offered.wait_for(lock, milliseconds(kLongWaitMs), [&] { return tags.size() >= n; });
  }
};

TEST_F(PacketFifoTest, AwaitFirstOffersEachPacketOncePerWait) {
  // Two refused packets wait in the queue; each later put wakes the waiter,
  // which must offer only the new packet. The producer puts the next packet
  // only after the filter saw the previous one, so every put is its own wake-up.
  OfferLog log;
  log.wanted = 5;
  ASSERT_EQ(sPut(fifo, 1, 0), aErrNone);
  ASSERT_EQ(sPut(fifo, 1, 1), aErrNone);
  aPacket* result = nullptr;
  std::thread waiter([&] { result = aPacketFifo_AwaitFirst(fifo, OfferLog::filter, &log, kLongWaitMs); });
  for (uint16_t tag = 2; tag <= 5; ++tag) {
    if (!log.waitFor(tag)) {
      ADD_FAILURE() << "filter never saw packet " << tag - 1;
      break;
    }
    EXPECT_EQ(sPut(fifo, 1, tag), aErrNone);
  }
  waiter.join();
  EXPECT_EQ(sTakeTag(result), 5);
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_EQ(log.tags, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  }

  // A new call starts a new window: the refused packets are offered again, in
  // arrival order, and stay queued.
  log.tags.clear();
  log.wanted = 3;
  EXPECT_EQ(sTakeTag(aPacketFifo_AwaitFirst(fifo, OfferLog::filter, &log, kLongWaitMs)), 3);
  EXPECT_EQ(log.tags, (std::vector<int>{0, 1, 2, 3}));
  for (int tag : {0, 1, 2, 4}) EXPECT_EQ(sTakeTag(aPacketFifo_Get(fifo)), tag);
}

TEST_F(PacketFifoTest, OtherConsumerTakingPacketsDoesNotRepeatOffers) {
  // While one thread waits with a filter, another takes packets from the head;
  // the waiter must neither re-offer nor miss any packet.
  OfferLog log;
  log.wanted = 4;
  aPacket* result = nullptr;
  ASSERT_EQ(sPut(fifo, 1, 0), aErrNone);
  std::thread waiter([&] { result = aPacketFifo_AwaitFirst(fifo, OfferLog::filter, &log, kLongWaitMs); });
  EXPECT_TRUE(log.waitFor(1));
  EXPECT_EQ(sPut(fifo, 1, 1), aErrNone);
  EXPECT_TRUE(log.waitFor(2));
  EXPECT_EQ(sTakeTag(aPacketFifo_Get(fifo)), 0);
  EXPECT_EQ(sPut(fifo, 1, 2), aErrNone);
  EXPECT_TRUE(log.waitFor(3));
  EXPECT_EQ(sTakeTag(aPacketFifo_Get(fifo)), 1);
  EXPECT_EQ(sTakeTag(aPacketFifo_Get(fifo)), 2);
  EXPECT_EQ(sPut(fifo, 1, 3), aErrNone);
  EXPECT_TRUE(log.waitFor(4));
  EXPECT_EQ(sPut(fifo, 1, 4), aErrNone);
  waiter.join();
  EXPECT_EQ(sTakeTag(result), 4);
  std::lock_guard<std::mutex> lock(log.mutex);
  EXPECT_EQ(log.tags, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(PacketFifo, DestroyWakesAwaitFirstWaiters) {
  for (int round = 0; round < 20; ++round) {
    aPacketFifoId fifo = aPacketFifo_Create();
    ASSERT_NE(fifo, 0u);
    ASSERT_EQ(sPut(fifo, 1, 0), aErrNone);
    constexpr int kWaiters = 3;
    OfferLog logs[kWaiters];
    std::atomic<int> nulls{0};
    std::vector<std::thread> waiters;
    const auto start = steady_clock::now();
    for (auto& log : logs) {
      waiters.emplace_back([&, id = fifo] {
        if (aPacketFifo_AwaitFirst(id, OfferLog::filter, &log, kLongWaitMs) == nullptr) ++nulls;
      });
    }
    // Each waiter has offered the queued packet, so it holds the FIFO and is
    // inside its wait when the destroy comes.
    for (auto& log : logs) EXPECT_TRUE(log.waitFor(1));
    EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(nulls.load(), kWaiters);
    EXPECT_LT(steady_clock::now() - start, kPrompt) << "round " << round;
    if (HasFailure()) break;
  }
}

TEST(PacketFifo, DestroyWakesAwaitWaiters) {
  // Await has no hook to tell when a waiter sleeps, so the destroy lands both
  // before and after the waiters block; either way they return null at once.
  for (int round = 0; round < 50; ++round) {
    aPacketFifoId fifo = aPacketFifo_Create();
    ASSERT_NE(fifo, 0u);
    constexpr int kWaiters = 3;
    std::atomic<int> started{0};
    std::atomic<int> nulls{0};
    std::vector<std::thread> waiters;
    const auto start = steady_clock::now();
    for (int i = 0; i < kWaiters; ++i) {
      waiters.emplace_back([&, id = fifo] {
        ++started;
        if (aPacketFifo_Await(id, kLongWaitMs) == nullptr) ++nulls;
      });
    }
    for (int spins = 0; started.load() < kWaiters && spins < 100000; ++spins) {
      std::this_thread::yield();
    }
    EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(nulls.load(), kWaiters);
    EXPECT_LT(steady_clock::now() - start, kPrompt) << "round " << round;
    if (HasFailure()) break;
  }
}

TEST(PacketFifo, ProducersAndFilteringConsumers) {
  // Each producer tags its packets with its own command; a consumer per
  // command takes exactly that producer's packets, in order. A bounded number
  // of packets in flight keeps the queue far below its overflow limit.
  constexpr int kPairs = 4;
  constexpr int kPackets = 400;
  constexpr int kInFlight = 40;
  aPacketFifoId fifo = aPacketFifo_Create();
  ASSERT_NE(fifo, 0u);

  std::mutex flowMutex;
  std::condition_variable flow;
  int received[kPairs] = {};
  bool wrong[kPairs] = {};
  bool missing[kPairs] = {};
  uint8_t commands[kPairs];
  std::vector<std::thread> threads;

  for (int pair = 0; pair < kPairs; ++pair) {
    commands[pair] = static_cast<uint8_t>(10 + pair);
    threads.emplace_back([&, pair] {
      for (int tag = 0; tag < kPackets; ++tag) {
        aPacket* packet = aPacketFifo_AwaitFirst(fifo, sIsCommand, &commands[pair], kLongWaitMs);
        if (packet == nullptr) {
          missing[pair] = true;
          break;
        }
        if (packet->data[0] != commands[pair] || sTag(packet) != tag) wrong[pair] = true;
        (void)aPacket_Destroy(&packet);
        {
          std::lock_guard<std::mutex> lock(flowMutex);
          ++received[pair];
        }
        flow.notify_all();
      }
    });
    threads.emplace_back([&, pair] {
      for (int tag = 0; tag < kPackets; ++tag) {
        {
          std::unique_lock<std::mutex> lock(flowMutex);
          if (!flow.wait_for(lock, milliseconds(kLongWaitMs),
                             [&] { return tag - received[pair] < kInFlight; }))
            return;
        }
        if (sPut(fifo, commands[pair], static_cast<uint16_t>(tag)) != aErrNone) return;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int pair = 0; pair < kPairs; ++pair) {
    EXPECT_EQ(received[pair], kPackets) << "consumer " << pair;
    EXPECT_FALSE(wrong[pair]) << "consumer " << pair << " got a foreign or out-of-order packet";
    EXPECT_FALSE(missing[pair]) << "consumer " << pair << " timed out";
  }
  EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
}

TEST(PacketFifo, ConcurrentCreateAndDestroy) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        aPacketFifoId id = aPacketFifo_Create();
        if (id == 0 || sPut(id, 1, 1) != aErrNone || aPacketFifo_GetLength(id) != 1 ||
            aPacketFifo_Destroy(&id) != aErrNone)
          ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
