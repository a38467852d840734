// Stream samples through a TCP link to corvalith-sim, next to the raw packet
// rate of the same link in the same run.
//   BM_StreamSamples  one module streaming the system class's uptime every
//                     1 ms for 3 s: samples/s delivered to the callback, the
//                     callback's delay beyond the best case seen (median and
//                     p99, in us; see Latencies), drops; then the raw
//                     rate: 2000 debug echoes through the same link, in
//                     packets/s (one request and one reply each)
// The simulator is the one of this build tree; the benchmark skips without it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aLink.h"
#include "cpp/Module.h"
#include "support/SimProcess.h"

using Tessaron::Corvalith::Link;
using Tessaron::Corvalith::Module;

namespace {

const std::string kSerial = "40F5849A";
constexpr int kStreamSeconds = 3;
constexpr int kEchoes = 2000;
constexpr uint8_t kSystemClass = 3;
constexpr uint8_t kUptimeOption = 22;

using Clock = std::chrono::steady_clock;

// The stream filter copies the packet when it queues it; the time it does so
// is not in the packet, so the latency runs from the first sample on:
// samples leave the module on a fixed grid, so arrival n is due at
// first + n * interval, and the callback's delay past that is the latency
// through the link, the queue and the worker.
struct Latencies {
  std::mutex mutex;
  std::vector<double> us;
  Clock::time_point first;
  uint64_t firstStamp = 0;
  bool started = false;
};

void sOnSample(const aPacket* packet, void* reference) {
  const Clock::time_point now = Clock::now();
  Latencies* l = static_cast<Latencies*>(reference);
  Link::StreamSample s;
  if (Link::getStreamSample(packet, &s) != aErrNone) return;
  std::lock_guard<std::mutex> lock(l->mutex);
  if (!l->started) {
    l->started = true;
    l->first = now;
    l->firstStamp = s.timestamp;
    return;
  }
  // Timestamps are in us since the module started.
  const double due = static_cast<double>(s.timestamp - l->firstStamp);
  const double seen = std::chrono::duration<double, std::micro>(now - l->first).count();
  l->us.push_back(seen - due);
}

// Delays are measured against the fastest sample seen, which had the least
// delay: what is reported is the delay a sample had beyond the best case.
double sPercentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))] - v.front();
}

void BM_StreamSamples(benchmark::State& state) {
  SimProcess sim;
  if (!sim.start({"--lifetime", "60", "--module", "serial=" + kSerial + ",tcp=0,stream-ms=1"})) {
    state.SkipWithError("corvalith-sim did not start");
    return;
  }
  linkSpec spec{};
  spec.type = TCPIP;
  spec.serialNumber = 0x40F5849A;
  spec.t.ip.ipAddress = aDiscovery_IPv4(127, 0, 0, 1);
  spec.t.ip.ipPort = sim.tcpPort(kSerial);
  Module module(2, 0);
  aWeftConfig config;
  config.enabled = 0;
  config.fallback = 0;
  if (module.setConfig(config) != aErrNone || module.connectFromSpec(spec) != aErrNone) {
    state.SkipWithError("no link to the simulator");
    return;
  }
  Link* link = module.getLink();
  const uint8_t address = module.getModuleAddress();
  for (auto _ : state) {
    Latencies lat;
    if (link->registerStreamCallback(address, kSystemClass, kUptimeOption, 0, true, sOnSample, &lat) !=
        aErrNone) {
      state.SkipWithError("enable refused");
      break;
    }
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kStreamSeconds));
    if (link->enableStream(address, kSystemClass, kUptimeOption, 0, false) != aErrNone) {
      state.SkipWithError("disable refused");
      break;
    }
    const double streamSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    // The same link's raw rate: debug echoes, one at a time.
    const Clock::time_point echoStart = Clock::now();
    int echoed = 0;
    for (int i = 0; i < kEchoes; ++i) {
      const uint8_t byte = static_cast<uint8_t>(i);
      if (link->sendPacket(address, 0x17, 1, &byte) != aErrNone) break;
      const uint8_t match[] = {0x17, byte};
      uint8_t length = 2;
      uint8_t out[kMaxPacketData];
      if (link->receivePacket(address, match, &length, out) != aErrNone) break;
      ++echoed;
    }
    const double echoSeconds = std::chrono::duration<double>(Clock::now() - echoStart).count();

    std::lock_guard<std::mutex> lock(lat.mutex);
    state.counters["samples_per_s"] = static_cast<double>(lat.us.size() + 1) / streamSeconds;
    state.counters["latency_median_us"] = sPercentile(lat.us, 0.5);
    state.counters["latency_p99_us"] = sPercentile(lat.us, 0.99);
    state.counters["drops"] = static_cast<double>(link->getStreamDropCount());
    state.counters["raw_packets_per_s"] = 2.0 * echoed / echoSeconds;
  }
  (void)module.disconnect();
  (void)sim.stop();
}

}  // namespace

BENCHMARK(BM_StreamSamples)->Iterations(1)->Unit(benchmark::kSecond);
