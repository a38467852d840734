// Firmware transfer through the upgrade entity to corvalith-sim over TCP: one
// 256 KiB firmware block per iteration (PREPARE, then chunks of the granted
// 2048 bytes, each validated by SUM and written).
//   BM_FirmwareTransfer/data     one 26-byte DATA packet per round trip
//   BM_FirmwareTransfer/ueiPooled  each chunk as one UEI-bytes set, pooled
// Counters: bytes_per_second (payload), bound_Bps (26 bytes per raw loopback
// TCP round trip, measured in the same run against an in-process echo of a
// DATA-sized packet), of_bound (throughput / bound).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aWeftConfig.h"
#include "cpp/Module.h"
#include "support/Loopback.h"
#include "support/SimProcess.h"
#include "updater/UpdaterEntity.h"

using Tessaron::Corvalith::Module;

namespace {

constexpr uint32_t kImageBytes = 256 * 1024;
constexpr uint32_t kImageAddress = 0x10000;
constexpr int kRttSamples = 4000;
constexpr double kBytesPerDataPacket = 26;

class NullDisplay final : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

bool sReadAll(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = read(fd, buf + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

// Median round trip in seconds of a 30-byte DATA packet answered by a 5-byte
// reply over loopback TCP (Nagle off both ways); 0 on failure.
double sRawRoundTripS() {
  int port = 0;
  const int listener = BindLoopback(&port, 1);
  if (listener < 0) return 0;
  std::thread echo([listener] {
    const int fd = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t in[30], out[5] = {2, 3, 0x5F, 1, 26};
    while (sReadAll(fd, in, sizeof in) && write(fd, out, sizeof out) == sizeof out) {
    }
    close(fd);
  });
  const int fd = ConnectLoopback(static_cast<uint16_t>(port));
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  uint8_t packet[30] = {2, 28, 0x5F, 1}, reply[5];
  std::vector<double> samples;
  for (int i = 0; i < kRttSamples && fd >= 0; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    if (write(fd, packet, sizeof packet) != sizeof packet || !sReadAll(fd, reply, sizeof reply)) break;
    samples.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  if (fd >= 0) close(fd);
  echo.join();
  close(listener);
  if (samples.empty()) return 0;
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

void BM_FirmwareTransfer(benchmark::State& state) {
  const bool fast = state.range(0) != 0;
  const double rtt = sRawRoundTripS();
  SimProcess sim;
  if (rtt <= 0 || !sim.start({"--lifetime", "600", "--module", "serial=BE0C0010,tcp=0"})) {
    state.SkipWithError("no loopback round trip or no corvalith-sim");
    return;
  }
  Module module(2, 0);
  aWeftConfig config;
  config.enabled = 0;
  config.fallback = 0;
  linkSpec spec{};
  spec.type = TCPIP;
  spec.serialNumber = 0xBE0C0010;
  spec.t.ip.ipAddress = aDiscovery_IPv4(127, 0, 0, 1);
  spec.t.ip.ipPort = sim.tcpPort("BE0C0010");
  if (module.setConfig(config) != aErrNone || module.connectFromSpec(spec) != aErrNone) {
    state.SkipWithError("cannot connect to the simulator");
    return;
  }
  {  // Into the loader: INIT, then LOAD without loader blocks.
    UpdaterEntity loader;
    loader.init(&module, 0, true, false);
    if (loader.LoaderInit() != aErrNone || loader.LoaderStart() != aErrNone) {
      state.SkipWithError("the simulator did not start its loader");
      return;
    }
  }
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  if (fast && (entity.CheckUEIDataSupport() != aErrNone || entity.CheckPooledPacketsSupport() != aErrNone)) {
    state.SkipWithError("no UEI-bytes data or pooled packets");
    return;
  }
  std::vector<uint8_t> block = {uint8_t(kImageAddress >> 24), uint8_t(kImageAddress >> 16),
                                uint8_t(kImageAddress >> 8), uint8_t(kImageAddress)};
  for (uint32_t i = 0; i < kImageBytes; ++i) block.push_back(static_cast<uint8_t>(i * 131 + (i >> 9)));
  NullDisplay display;
  for (auto _ : state) {
    uint16_t blockSize = 0;
    if (entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, &blockSize) != aErrNone ||
        entity.FirmwareTransfer(block.data(), uint32_t(block.size()), blockSize, display) != aErrNone) {
      state.SkipWithError("transfer failed");
      break;
    }
  }
  (void)module.disconnect();
  state.SetBytesProcessed(int64_t(state.iterations()) * kImageBytes);
  const double bound = kBytesPerDataPacket / rtt;
  state.counters["bound_Bps"] = bound;
  state.counters["rtt_us"] = rtt * 1e6;
  state.counters["of_bound"] =
      benchmark::Counter(double(kImageBytes) / bound, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FirmwareTransfer)
    ->ArgName("ueiPooled")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
