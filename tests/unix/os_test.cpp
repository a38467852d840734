#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "unix/aOS.h"
#include "unix/aOSDetail.h"

// ThreadSanitizer reports misuse of a mutex (unlock by a non-holder, destroy
// while locked) as an error even though the library answers it correctly.
#if defined(__SANITIZE_THREAD__)
#define CV_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CV_UNDER_TSAN 1
#endif
#endif

namespace {

using Clock = std::chrono::steady_clock;

// Runs fn on an aThread and returns its result after joining it.
template <typename Fn>
aErr sOnOtherThread(Fn fn) {
  struct Call {
    Fn fn;
    aErr result;
  } call{fn, aErrUnknown};
  aThread thread = aThread_Create(
      [](void* ref) -> void* {
        auto* c = static_cast<Call*>(ref);
        c->result = c->fn();
        return nullptr;
      },
      &call);
  if (thread == nullptr || aThread_Destroy(&thread) != 0) {
    ADD_FAILURE() << "helper thread failed";
    return aErrUnknown;
  }
  return call.result;
}

TEST(MutexTest, NamesUpTo255CharactersAreKeptWhole) {
  const std::string longest(255, 'n');
  aMutex mutex = aMutex_Create(longest.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(std::string(aMutex_Identifier(mutex)), longest);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);

  const std::string tooLong(256, 'n');
  EXPECT_EQ(aMutex_Create(tooLong.c_str()), nullptr);

  aMutex unnamed = aMutex_Create(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(aMutex_Identifier(unnamed), "");
  EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);

  char name[] = "link table";
  aMutex copied = aMutex_Create(name);
  ASSERT_NE(copied, nullptr);
  strcpy(name, "changed!!");
  EXPECT_STREQ(aMutex_Identifier(copied), "link table") << "the name is copied";
  EXPECT_EQ(aMutex_Destroy(&copied), aErrNone);
  EXPECT_EQ(copied, nullptr);
}

TEST(MutexTest, NullHandlesAreRefused) {
  aMutex none = nullptr;
  EXPECT_EQ(aMutex_Lock(none), aErrParam);
  EXPECT_EQ(aMutex_TryLock(none), aErrParam);
  EXPECT_EQ(aMutex_Unlock(none), aErrParam);
  EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

// A pointer to memory that never was a handle of this kind: zeroed storage
// big enough for either record, so reading its check value is defined.
TEST(HandleCheck, ForeignMutexAndThreadHandlesAreRefused) {
  alignas(std::max_align_t) static unsigned char foreign[1024] = {};
  aMutex mutex = reinterpret_cast<aMutex>(foreign);
  EXPECT_EQ(aMutex_Lock(mutex), aErrParam);
  EXPECT_EQ(aMutex_TryLock(mutex), aErrParam);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrParam);
  EXPECT_STREQ(aMutex_Identifier(mutex), "");
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrParam);
  aThread thread = reinterpret_cast<aThread>(foreign);
  EXPECT_EQ(aThread_Destroy(&thread), EINVAL);
  EXPECT_NE(thread, nullptr) << "a refused handle is left to its owner";
}

TEST(MutexTest, TryLockFromAnotherThreadSeesTheHolder) {
  aMutex mutex = aMutex_Create("m");
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(sOnOtherThread([&] { return aMutex_TryLock(mutex); }), aErrBusy);
  ASSERT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(sOnOtherThread([&] {
              const aErr taken = aMutex_TryLock(mutex);
              return taken == aErrNone ? aMutex_Unlock(mutex) : taken;
            }),
            aErrNone);
  EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(MutexTest, RelockingByTheHolderIsReportedNotHung) {
  aMutex mutex = aMutex_Create("m");
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate);
  EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy) << "not recursive";
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(MutexTest, KeepsCountersExactUnderContention) {
  aMutex mutex = aMutex_Create("counter");
  ASSERT_NE(mutex, nullptr);
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  struct Shared {
    aMutex mutex;
    long counter;
    std::atomic<int> failures;
  } shared{mutex, 0, {0}};
  std::vector<aThread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.push_back(aThread_Create(
        [](void* ref) -> void* {
          auto* s = static_cast<Shared*>(ref);
          for (int r = 0; r < kRounds; ++r) {
            if (aMutex_Lock(s->mutex) != aErrNone) {
              ++s->failures;
              continue;
            }
            ++s->counter;
            if (aMutex_Unlock(s->mutex) != aErrNone) {
              ++s->failures;
            }
          }
          return nullptr;
        },
        &shared));
    ASSERT_NE(threads.back(), nullptr);
  }
  for (aThread& t : threads) {
    EXPECT_EQ(aThread_Destroy(&t), 0);
  }
  EXPECT_EQ(shared.failures.load(), 0);
  EXPECT_EQ(shared.counter, long{kThreads} * kRounds);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

#ifndef CV_UNDER_TSAN
TEST(MutexTest, UnlockByANonHolderIsRefused) {
  aMutex mutex = aMutex_Create("m");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission) << "nobody holds it";
  ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(sOnOtherThread([&] { return aMutex_Unlock(mutex); }), aErrPermission);
  EXPECT_EQ(sOnOtherThread([&] { return aMutex_TryLock(mutex); }), aErrBusy)
      << "still held after the refusal";
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(MutexTest, DestroyingALockedMutexIsBusyButStillFreesAndNulls) {
  aMutex mutex = aMutex_Create("m");
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
  EXPECT_EQ(mutex, nullptr);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrParam);
}
#endif

TEST(ThreadTest, RunsTheProcedureAndJoins) {
  std::atomic<int> seen{0};
  aThread thread = aThread_Create(
      [](void* ref) -> void* {
        static_cast<std::atomic<int>*>(ref)->store(42);
        return ref;
      },
      &seen);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(thread, nullptr);
  EXPECT_EQ(seen.load(), 42) << "joined means finished";

  EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), EINVAL);
  EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
}

TEST(ThreadTest, AThreadCannotJoinItself) {
  struct Self {
    std::promise<aThread> handle;
    std::promise<int> result;
  } self;
  std::future<int> result = self.result.get_future();
  aThread thread = aThread_Create(
      [](void* ref) -> void* {
        auto* s = static_cast<Self*>(ref);
        aThread mine = s->handle.get_future().get();
        s->result.set_value(aThread_Destroy(&mine));
        return nullptr;
      },
      &self);
  ASSERT_NE(thread, nullptr);
  self.handle.set_value(thread);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), EDEADLK) << "the join result is returned unchanged";
}

// Records what aTime_MSSleepWith would sleep.
void sRecord(uint32_t microseconds, void* ref) {
  static_cast<std::vector<uint32_t>*>(ref)->push_back(microseconds);
}

TEST(TimeTest, SleepsInChunksUsleepAccepts) {
  std::vector<uint32_t> chunks;
  EXPECT_EQ(aTime_MSSleepWith(2500, sRecord, &chunks), aErrNone);
  EXPECT_EQ(chunks, (std::vector<uint32_t>{999999, 999999, 500002}));

  chunks.clear();
  aTime_MSSleepWith(1000, sRecord, &chunks);
  EXPECT_EQ(chunks, (std::vector<uint32_t>{999999, 1}));
  chunks.clear();
  aTime_MSSleepWith(1, sRecord, &chunks);
  EXPECT_EQ(chunks, (std::vector<uint32_t>{1000}));
  chunks.clear();
  aTime_MSSleepWith(0, sRecord, &chunks);
  aTime_MSSleepWith(-5, sRecord, &chunks);
  EXPECT_TRUE(chunks.empty()) << "nothing to sleep";
}

TEST(TimeTest, LongestSleepDoesNotOverflow) {
  struct Sum {
    uint64_t total = 0;
    uint32_t largest = 0;
    uint64_t calls = 0;
  } sum;
  aTime_MSSleepWith(
      INT32_MAX,
      [](uint32_t us, void* ref) {
        auto* s = static_cast<Sum*>(ref);
        s->total += us;
        s->largest = us > s->largest ? us : s->largest;
        ++s->calls;
      },
      &sum);
  EXPECT_EQ(sum.total, uint64_t{INT32_MAX} * 1000u);
  EXPECT_EQ(sum.largest, aTIME_MAX_SLEEP_CHUNK_US);
  EXPECT_EQ(sum.calls, 2147486u) << "whole chunks plus one remainder";
}

TEST(TimeTest, SleepAndTicksAgreeWithTheClock) {
  const auto before = Clock::now();
  EXPECT_EQ(aTime_MSSleep(0), aErrNone);
  EXPECT_EQ(aTime_MSSleep(-1), aErrNone);
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(100)) << "zero returns at once";

  const auto start = Clock::now();
  const uint32_t t0 = aTime_GetMSTicks();
  EXPECT_EQ(aTime_MSSleep(150), aErrNone);
  const uint32_t t1 = aTime_GetMSTicks();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(elapsed, 150);
  const uint32_t ticks = t1 - t0;
  EXPECT_GE(ticks, 149u);
  EXPECT_LE(ticks, static_cast<uint32_t>(elapsed) + 2u);
}

TEST(TimeTest, TicksWrapAndStillSubtract) {
  EXPECT_EQ(aTime_TicksFromClock(12, 345678), 12345u);
  // 4,294,967 s is just below 2^32 ms; one second later the 32-bit value wraps.
  for (int64_t us : {0, 295000, 295999, 296000, 999999}) {
    const uint32_t before = aTime_TicksFromClock(4294967, us);
    const uint32_t after = aTime_TicksFromClock(4294968, us);
    const uint32_t diff = after - before;
    EXPECT_GE(diff, 999u) << "at " << us << " us";
    EXPECT_LE(diff, 1001u) << "at " << us << " us";
  }
  EXPECT_EQ(aTime_TicksFromClock(4294967, 295000), 0u) << "0xFFFFFFFF reads as 0";
  EXPECT_EQ(aTime_TicksFromClock(4294967, 294999), 0xFFFFFFFEu);
  EXPECT_EQ(aTime_TicksFromClock(4294967, 296000), 0u) << "the 32-bit wrap";
  EXPECT_EQ(aTime_TicksFromClock(4294967, 297000), 1u);
}

}  // namespace
