// Cost of the OS layer's hot calls: the link engine takes a link mutex and
// reads the millisecond tick around every packet it moves.
#include <benchmark/benchmark.h>

#include "unix/aOS.h"

namespace {

// One uncontended lock/unlock pair, as taken on every FIFO and link-table access.
void BM_MutexLockUnlock(benchmark::State& state) {
  aMutex mutex = aMutex_Create("bench");
  if (mutex == nullptr) {
    state.SkipWithError("aMutex_Create failed");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(aMutex_Lock(mutex));
    benchmark::DoNotOptimize(aMutex_Unlock(mutex));
  }
  (void)aMutex_Destroy(&mutex);
}
BENCHMARK(BM_MutexLockUnlock);

// The same pair with every benchmark thread on one mutex: contention cost.
aMutex gShared = nullptr;

void BM_MutexLockUnlockContended(benchmark::State& state) {
  if (state.thread_index() == 0) {
    gShared = aMutex_Create("shared");
  }
  // The framework starts timing only after all threads are set up.
  for (auto _ : state) {
    benchmark::DoNotOptimize(aMutex_Lock(gShared));
    benchmark::DoNotOptimize(aMutex_Unlock(gShared));
  }
  if (state.thread_index() == 0) {
    (void)aMutex_Destroy(&gShared);
  }
}
BENCHMARK(BM_MutexLockUnlockContended)->Threads(2)->UseRealTime();

void BM_MutexTryLockUnlock(benchmark::State& state) {
  aMutex mutex = aMutex_Create("bench");
  if (mutex == nullptr) {
    state.SkipWithError("aMutex_Create failed");
    return;
  }
  for (auto _ : state) {
    if (aMutex_TryLock(mutex) == aErrNone) {
      (void)aMutex_Unlock(mutex);
    }
  }
  (void)aMutex_Destroy(&mutex);
}
BENCHMARK(BM_MutexTryLockUnlock);

void BM_GetMSTicks(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(aTime_GetMSTicks());
  }
}
BENCHMARK(BM_GetMSTicks);

}  // namespace
