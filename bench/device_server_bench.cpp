// Request/reply through a device server against corvalith-sim, next to a
// direct link to the same simulated module in the same run.
//   BM_DirectRoundTrip        debug echoes over one TCP link to the module
//   BM_SharedRoundTrip/N      the same echoes from N client links at once,
//                             all through one server wrapping a TCP link
// Counters: trips_per_s (all clients together), p50_us and p99_us (latency
// of one round trip as its client saw it).
//
// A device server answers the loopback multicast probe, so this benchmark
// runs only inside a private network namespace:
//   scripts/netns-run build/bench/bench/device_server_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aLink.h"
#include "support/Environment.h"
#include "support/SimProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x5B000001;
constexpr uint8_t kAddress = 2;
constexpr uint32_t kLoopback = aDiscovery_IPv4(127, 0, 0, 1);
// Round trips per measurement, shared out among the clients.
constexpr int kTrips = 2000;
constexpr int32_t kReplyMs = 2000;

SimProcess* sSim() {
  static std::unique_ptr<SimProcess> sim;
  if (!sim) {
    sim = std::make_unique<SimProcess>();
    if (!sim->start({"--lifetime", "600", "--module", "serial=5B000001,address=2,tcp=0"})) sim.reset();
  }
  return sim.get();
}

struct EchoMatch {
  uint8_t tag;
  uint8_t sequence;
};

uint8_t sEchoFilter(const aPacket* packet, const void* reference) {
  const EchoMatch* m = static_cast<const EchoMatch*>(reference);
  return packet->length == 3 && packet->data[0] == 0x17 && packet->data[1] == m->tag &&
         packet->data[2] == m->sequence;
}

// Runs trips echoes on the link and appends each latency in microseconds;
// false when a reply did not come.
bool sEchoes(aLinkRef link, uint8_t tag, int trips, std::vector<double>* latencies) {
  for (int i = 0; i < trips; ++i) {
    const uint8_t data[3] = {0x17, tag, static_cast<uint8_t>(i)};
    aPacket* packet = aPacket_CreateWithData(kAddress, sizeof data, data);
    const auto start = Clock::now();
    const aErr err = packet ? aLink_PutPacket(link, packet) : aErrMemory;
    (void)aPacket_Destroy(&packet);
    if (err != aErrNone) return false;
    const EchoMatch match{tag, static_cast<uint8_t>(i)};
    aPacket* reply = aLink_AwaitFirst(link, sEchoFilter, &match, kReplyMs);
    if (!reply) return false;
    (void)aPacket_Destroy(&reply);
    latencies->push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return true;
}

void sReport(benchmark::State& state, std::vector<double>& latencies, double seconds) {
  std::sort(latencies.begin(), latencies.end());
  state.counters["trips_per_s"] = static_cast<double>(latencies.size()) / seconds;
  state.counters["p50_us"] = latencies[latencies.size() / 2];
  state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
}

bool sReady(benchmark::State& state) {
  if (!InPrivateNetwork()) {
    state.SkipWithError(kNeedsPrivateNetwork);
    return false;
  }
  if (!sSim()) {
    state.SkipWithError("corvalith-sim did not start");
    return false;
  }
  return true;
}

void BM_DirectRoundTrip(benchmark::State& state) {
  if (!sReady(state)) return;
  aLinkRef link = aLink_CreateTCPIP(kSerial, kLoopback, sSim()->tcpPort("5B000001"));
  if (!link) {
    state.SkipWithError("no link");
    return;
  }
  std::vector<double> latencies;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!sEchoes(link, 0xD0, kTrips, &latencies)) state.SkipWithError("a reply was lost");
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  if (!latencies.empty()) sReport(state, latencies, seconds);
  (void)aLink_Destroy(&link);
}
BENCHMARK(BM_DirectRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SharedRoundTrip(benchmark::State& state) {
  if (!sReady(state)) return;
  const int clients = static_cast<int>(state.range(0));
  aLinkRef device = aLink_CreateTCPIP(kSerial, kLoopback, sSim()->tcpPort("5B000001"));
  uint16_t port = 0;
  uint32_t address = kLoopback;
  std::vector<aLinkRef> links;
  // The first client link holds the device link's use.
  if (device) links.push_back(aLink_CreateServer(device, &port, &address, true));
  if (links.empty() || !links[0]) {
    state.SkipWithError("no server");
    if (device) (void)aLink_Destroy(&device);
    return;
  }
  for (int c = 1; c < clients; ++c) links.push_back(aLink_CreateClient(address, port, 0));
  std::vector<std::vector<double>> perClient(clients);
  std::atomic<int> failures{0};
  double seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([&, c] {
        if (!links[c] || !sEchoes(links[c], static_cast<uint8_t>(c), kTrips / clients, &perClient[c]))
          ++failures;
      });
    }
    for (std::thread& t : threads) t.join();
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  if (failures.load()) state.SkipWithError("a reply was lost");
  std::vector<double> latencies;
  for (const auto& l : perClient) latencies.insert(latencies.end(), l.begin(), l.end());
  if (!latencies.empty()) sReport(state, latencies, seconds);
  for (auto it = links.rbegin(); it != links.rend(); ++it) {
    if (*it) (void)aLink_Destroy(&*it);
  }
}
BENCHMARK(BM_SharedRoundTrip)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
