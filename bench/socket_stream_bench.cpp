// Reading a TCP socket stream the way the link engine's reading thread does:
// one byte per aStream_Read, in a loop.
//
// IdleSocketRead: nothing arrives. Each read waits up to 50 ms for input, so
// the loop must stay far below 1% of a core; cpu_percent is the process CPU
// time over the wall time of the run.
// BusySocketRead: bytes are always waiting. allocs_per_byte counts heap
// allocations made inside aStream_Read, which must be 0.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "common/aStream.h"
#include "unix/aStreamOS.h"

extern "C" void* __libc_malloc(size_t size);

namespace {

std::atomic<long> gAllocations{0};

}  // namespace

// Counts every allocation in the process; operator new comes through here.
extern "C" void* malloc(size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

namespace {

double sProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A connected pair: the stream under test and the accepted peer socket.
struct Connection {
  int listener = -1;
  int peer = -1;
  aStreamRef stream = nullptr;

  Connection() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
      return;
    }
    if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), ntohs(at.sin_port), &stream) != aErrNone) return;
    peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  }
  ~Connection() {
    if (stream) (void)aStream_Destroy(&stream);
    if (peer >= 0) close(peer);
    if (listener >= 0) close(listener);
  }
  bool ok() const { return stream && peer >= 0; }
};

void IdleSocketRead(benchmark::State& state) {
  Connection c;
  if (!c.ok()) {
    state.SkipWithError("no loopback connection");
    return;
  }
  uint8_t byte = 0;
  long notReady = 0;
  double cpuStart = sProcessCpuSeconds();
  auto wallStart = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (aStream_Read(c.stream, &byte, 1) == aErrNotReady) ++notReady;
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  double cpu = sProcessCpuSeconds() - cpuStart;
  state.counters["cpu_percent"] = wall > 0 ? 100.0 * cpu / wall : 0;
  state.counters["not_ready"] = static_cast<double>(notReady);
}
BENCHMARK(IdleSocketRead)->Iterations(60)->UseRealTime()->Unit(benchmark::kMillisecond);

void BusySocketRead(benchmark::State& state) {
  Connection c;
  if (!c.ok()) {
    state.SkipWithError("no loopback connection");
    return;
  }
  std::vector<uint8_t> chunk(64 * 1024, 0x5A);
  uint8_t byte = 0;
  long allocations = 0;
  long bytes = 0;
  size_t buffered = 0;
  for (auto _ : state) {
    if (buffered == 0) {
      state.PauseTiming();
      ssize_t n = send(c.peer, chunk.data(), chunk.size(), MSG_NOSIGNAL);
      buffered = n > 0 ? static_cast<size_t>(n) : 0;
      state.ResumeTiming();
    }
    long before = gAllocations.load(std::memory_order_relaxed);
    aErr err = aStream_Read(c.stream, &byte, 1);
    allocations += gAllocations.load(std::memory_order_relaxed) - before;
    if (err == aErrNone) {
      ++bytes;
      --buffered;
    }
  }
  state.SetBytesProcessed(bytes);
  state.counters["allocs_per_byte"] =
      bytes ? static_cast<double>(allocations) / static_cast<double>(bytes) : -1;
}
BENCHMARK(BusySocketRead);

}  // namespace
