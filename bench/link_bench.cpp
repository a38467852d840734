// Link engine throughput and idle cost against corvalith-sim.
//   BM_RawTcpEchoRoundTrip  one 4-byte write and read back over loopback TCP
//                           to an in-process echo thread: the machine's bound
//   BM_SimRawRoundTrip      the same against the simulator's debug echo with a
//                           plain socket: the bound including the simulator
//   BM_LinkRoundTrip        a debug echo through a TCP link (put, out-pipe,
//                           simulator, in-pipe, filtered await)
//   BM_LinkIdleCpu/tcp|serial  CPU of this process, in % of one core, while
//                           one open link idles for 2 s (heartbeats every 1 s)
// The simulator is the one of this build tree (sim/corvalith-sim); the
// benchmarks that need it skip without it.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/aLink.h"
#include "support/Loopback.h"
#include "support/SimProcess.h"

namespace {

int sConnect(uint16_t port) {
  const int fd = ConnectLoopback(port);
  int one = 1;
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool sReadAll(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

void BM_RawTcpEchoRoundTrip(benchmark::State& state) {
  int port = 0;
  const int listener = BindLoopback(&port, 1);
  std::thread echo([listener] {
    int fd = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t buf[4];
    while (sReadAll(fd, buf, sizeof buf) && write(fd, buf, sizeof buf) == 4) {
    }
    close(fd);
  });
  int fd = sConnect(static_cast<uint16_t>(port));
  uint8_t msg[4] = {2, 2, 0x17, 1}, back[4];
  for (auto _ : state) {
    if (write(fd, msg, 4) != 4 || !sReadAll(fd, back, 4)) state.SkipWithError("echo failed");
  }
  close(fd);
  echo.join();
  close(listener);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawTcpEchoRoundTrip)->UseRealTime();

void BM_SimRawRoundTrip(benchmark::State& state) {
  SimProcess sim;
  if (!sim.start({"--module", "serial=BE0C0001,tcp=0,heartbeat-ms=0"})) {
    state.SkipWithError("corvalith-sim not found");
    return;
  }
  int fd = sConnect(sim.tcpPort("BE0C0001"));
  uint8_t msg[4] = {2, 2, 0x17, 1}, back[4];
  for (auto _ : state) {
    if (write(fd, msg, 4) != 4 || !sReadAll(fd, back, 4)) state.SkipWithError("echo failed");
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SimRawRoundTrip)->UseRealTime();

uint8_t sIsEcho(const aPacket* packet, const void*) {
  return packet->length > 0 && packet->data[0] == 0x17;
}

void BM_LinkRoundTrip(benchmark::State& state) {
  SimProcess sim;
  if (!sim.start({"--module", "serial=BE0C0002,tcp=0,heartbeat-ms=0"})) {
    state.SkipWithError("corvalith-sim not found");
    return;
  }
  aLinkRef link = aLink_CreateTCPIP(0xBE0C0002, htonl(INADDR_LOOPBACK), sim.tcpPort("BE0C0002"));
  if (!link) {
    state.SkipWithError("no link");
    return;
  }
  const uint8_t data[2] = {0x17, 1};
  aPacket* request = aPacket_CreateWithData(2, 2, data);
  for (auto _ : state) {
    if (aLink_PutPacket(link, request) != aErrNone) {
      state.SkipWithError("put failed");
      break;
    }
    aPacket* reply = aLink_AwaitFirst(link, sIsEcho, nullptr, 1000);
    if (!reply) {
      state.SkipWithError("no reply");
      break;
    }
    (void)aPacket_Destroy(&reply);
  }
  (void)aPacket_Destroy(&request);
  (void)aLink_Destroy(&link);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LinkRoundTrip)->UseRealTime();

double sCpuSeconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_LinkIdleCpu(benchmark::State& state) {
  const bool serial = state.range(0) == 1;
  const std::string linkPath = "/tmp/corvalith-link-bench-" + std::to_string(getpid());
  SimProcess sim;
  std::string spec = serial ? "serial=BE0C0003,serial-link=" + linkPath + ",heartbeat-ms=1000"
                            : "serial=BE0C0004,tcp=0,heartbeat-ms=1000";
  if (!sim.start({"--module", spec})) {
    state.SkipWithError("corvalith-sim not found");
    return;
  }
  aLinkRef link = serial ? aLink_CreateSerial(0xBE0C0003, linkPath.c_str(), 115200)
                         : aLink_CreateTCPIP(0xBE0C0004, htonl(INADDR_LOOPBACK), sim.tcpPort("BE0C0004"));
  if (!link) {
    state.SkipWithError("no link");
    return;
  }
  double pct = 0;
  for (auto _ : state) {
    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = sCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    pct = 100.0 * (sCpuSeconds() - cpu0) / wall;
  }
  state.counters["cpu_pct_of_core"] = pct;
  (void)aLink_Destroy(&link);
}
BENCHMARK(BM_LinkIdleCpu)->Arg(0)->Arg(1)->ArgNames({"serial"})->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
