// TCP/IP discovery against corvalith-sim answering with four modules.
//   BM_TcpipFindModulePresent  aDiscovery_FindModule for a module that
//                              answers: the request plus the first match
//   BM_TcpipFullSearch         an enumeration that counts every module: the
//                              replies plus the 2 s of silence that end it
// Discovery multicasts, so run it only inside a private network namespace:
//   scripts/netns-run build/bench/bench/discovery_bench
// Without NETNS_PRIVATE=1 both benchmarks skip.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/aDiscovery.h"
#include "support/Environment.h"
#include "support/SimProcess.h"

namespace {

// One simulator answering discovery for four modules; stopped by its pid.
bool sStartSim(SimProcess& sim) {
  std::vector<std::string> args{"--discovery", "all", "--lifetime", "600"};
  for (const char* serial : {"10000001", "10000002", "10000003", "10000004"}) {
    args.push_back("--module");
    args.push_back(std::string("serial=") + serial + ",tcp=0,heartbeat-ms=0");
  }
  return sim.start(args);
}

bool sCount(const linkSpec*, uint8_t* counted, void*) {
  *counted = 1;
  return true;
}

void BM_TcpipFindModulePresent(benchmark::State& state) {
  if (!InPrivateNetwork()) return state.SkipWithError(kNeedsPrivateNetwork);
  SimProcess sim;
  if (!sStartSim(sim)) return state.SkipWithError("corvalith-sim did not start");
  for (auto _ : state) {
    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x10000003, 0);
    if (!spec) return state.SkipWithError("module not found");
    (void)aLinkSpec_Destroy(&spec);
  }
}
BENCHMARK(BM_TcpipFindModulePresent)->Unit(benchmark::kMillisecond)->Iterations(50);

void BM_TcpipFullSearch(benchmark::State& state) {
  if (!InPrivateNetwork()) return state.SkipWithError(kNeedsPrivateNetwork);
  SimProcess sim;
  if (!sStartSim(sim)) return state.SkipWithError("corvalith-sim did not start");
  uint32_t found = 0;
  for (auto _ : state) found = aDiscovery_EnumerateModules(TCPIP, sCount, nullptr, 0);
  state.counters["modules"] = found;
}
BENCHMARK(BM_TcpipFullSearch)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
