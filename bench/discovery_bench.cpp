// TCP/IP discovery against corvalith-sim answering with four modules.
//   BM_TcpipFindModulePresent  aDiscovery_FindModule for a module that
//                              answers: the request plus the first match
//   BM_TcpipFullSearch         an enumeration that counts every module: the
//                              replies plus the 2 s of silence that end it
// Discovery multicasts, so run it only inside a private network namespace:
//   scripts/netns-run build/bench/bench/discovery_bench
// Without NETNS_PRIVATE=1 both benchmarks skip.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/aDiscovery.h"

namespace {

bool sPrivateNetwork() {
  const char* flag = std::getenv("NETNS_PRIVATE");
  return flag && std::string(flag) == "1";
}

std::string sSimPath() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/')) + "/sim/corvalith-sim";
}

// One simulator answering discovery for four modules; stopped by its pid.
struct Sim {
  pid_t pid = -1;
  int out = -1;

  bool start() {
    const std::string path = sSimPath();
    if (access(path.c_str(), X_OK) != 0) return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> strings{path, "--discovery", "all", "--lifetime", "600"};
    for (const char* serial : {"10000001", "10000002", "10000003", "10000004"}) {
      strings.push_back("--module");
      strings.push_back(std::string("serial=") + serial + ",tcp=0,heartbeat-ms=0");
    }
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(fds[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    out = fds[0];
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && seen.find("READY\n") == std::string::npos) {
      pollfd p{out, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[256];
      ssize_t n = read(out, chunk, sizeof chunk);
      if (n <= 0) return false;
      seen.append(chunk, static_cast<size_t>(n));
    }
    return seen.find("READY\n") != std::string::npos;
  }

  ~Sim() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
};

bool sCount(const linkSpec*, uint8_t* counted, void*) {
  *counted = 1;
  return true;
}

void BM_TcpipFindModulePresent(benchmark::State& state) {
  if (!sPrivateNetwork()) return state.SkipWithError("needs a private network namespace (scripts/netns-run)");
  Sim sim;
  if (!sim.start()) return state.SkipWithError("corvalith-sim did not start");
  for (auto _ : state) {
    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x10000003, 0);
    if (!spec) return state.SkipWithError("module not found");
    aLinkSpec_Destroy(&spec);
  }
}
BENCHMARK(BM_TcpipFindModulePresent)->Unit(benchmark::kMillisecond)->Iterations(50);

void BM_TcpipFullSearch(benchmark::State& state) {
  if (!sPrivateNetwork()) return state.SkipWithError("needs a private network namespace (scripts/netns-run)");
  Sim sim;
  if (!sim.start()) return state.SkipWithError("corvalith-sim did not start");
  uint32_t found = 0;
  for (auto _ : state) found = aDiscovery_EnumerateModules(TCPIP, sCount, nullptr, 0);
  state.counters["modules"] = found;
}
BENCHMARK(BM_TcpipFullSearch)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
