// Link engine throughput and idle cost against corvalith-sim.
//   BM_RawTcpEchoRoundTrip  one 4-byte write and read back over loopback TCP
//                           to an in-process echo thread: the machine's bound
//   BM_SimRawRoundTrip      the same against the simulator's debug echo with a
//                           plain socket: the bound including the simulator
//   BM_LinkRoundTrip        a debug echo through a TCP link (put, out-pipe,
//                           simulator, in-pipe, filtered await)
//   BM_LinkIdleCpu/tcp|serial  CPU of this process, in % of one core, while
//                           one open link idles for 2 s (heartbeats every 1 s)
// The simulator is found next to this program's build tree
// (../sim/corvalith-sim); the benchmarks that need it skip without it.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"

namespace {

std::string sSimPath() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/')) + "/sim/corvalith-sim";
}

// One simulator process for a benchmark; stopped by its pid.
struct Sim {
  pid_t pid = -1;
  int out = -1;
  std::vector<std::string> lines;

  bool start(const std::vector<std::string>& args) {
    std::string path = sSimPath();
    if (access(path.c_str(), X_OK) != 0) return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), args.begin(), args.end());
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
    std::string buffer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{out, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[256];
      ssize_t n = read(out, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
      size_t nl;
      while ((nl = buffer.find('\n')) != std::string::npos) {
        std::string line = buffer.substr(0, nl);
        buffer.erase(0, nl + 1);
        if (line == "READY") return true;
        lines.push_back(line);
      }
    }
    return false;
  }

  uint16_t port() const {
    for (const auto& l : lines) {
      size_t colon = l.find("127.0.0.1:");
      if (l.rfind("LISTEN tcp", 0) == 0 && colon != std::string::npos) {
        return static_cast<uint16_t>(std::atoi(l.c_str() + colon + 10));
      }
    }
    return 0;
  }

  ~Sim() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
};

int sConnect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  listen(listener, 1);
  socklen_t len = sizeof sa;
  getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  std::thread echo([listener] {
    int fd = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t buf[4];
    while (sReadAll(fd, buf, sizeof buf) && write(fd, buf, sizeof buf) == 4) {
    }
    close(fd);
  });
  int fd = sConnect(ntohs(sa.sin_port));
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
  Sim sim;
  if (!sim.start({"--module", "serial=BE0C0001,tcp=0,heartbeat-ms=0"})) {
    state.SkipWithError("corvalith-sim not found");
    return;
  }
  int fd = sConnect(sim.port());
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
  Sim sim;
  if (!sim.start({"--module", "serial=BE0C0002,tcp=0,heartbeat-ms=0"})) {
    state.SkipWithError("corvalith-sim not found");
    return;
  }
  aLinkRef link = aLink_CreateTCPIP(0xBE0C0002, htonl(INADDR_LOOPBACK), sim.port());
  if (!link) {
    state.SkipWithError("no link");
    return;
  }
  const uint8_t data[2] = {0x17, 1};
  aPacket* request = aPacket_CreateWithData(2, 2, data);
  for (auto _ : state) {
    aLink_PutPacket(link, request);
    aPacket* reply = aLink_AwaitFirst(link, sIsEcho, nullptr, 1000);
    if (!reply) {
      state.SkipWithError("no reply");
      break;
    }
    aPacket_Destroy(&reply);
  }
  aPacket_Destroy(&request);
  aLink_Destroy(&link);
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
  Sim sim;
  std::string spec = serial ? "serial=BE0C0003,serial-link=" + linkPath + ",heartbeat-ms=1000"
                            : "serial=BE0C0004,tcp=0,heartbeat-ms=1000";
  if (!sim.start({"--module", spec})) {
    state.SkipWithError("corvalith-sim not found");
    return;
  }
  aLinkRef link = serial ? aLink_CreateSerial(0xBE0C0003, linkPath.c_str(), 115200)
                         : aLink_CreateTCPIP(0xBE0C0004, htonl(INADDR_LOOPBACK), sim.port());
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
  aLink_Destroy(&link);
}
BENCHMARK(BM_LinkIdleCpu)->Arg(0)->Arg(1)->ArgNames({"serial"})->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
