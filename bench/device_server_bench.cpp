// Request/reply through a device server against corvalith-sim, next to a
// direct link to the same simulated module in the same run.
//   BM_LoopbackRoundTrip      a bare TCP ping-pong on 127.0.0.1
//   BM_ZmqLoopbackRoundTrip   a DEALER to ROUTER echo on 127.0.0.1: the one
//                             loopback round trip the server may add, made
//                             the way a client reaches a server
//   BM_DirectRoundTrip        debug echoes over one TCP link to the module
//   BM_RawFrameRoundTrip      the same echoes as bare frames from a DEALER
//                             socket, without a client link: the server's
//                             own share
//   BM_SharedRoundTrip/N      the same echoes from N client links at once,
//                             all through one server wrapping a TCP link
// Counters: trips_per_s (all clients together), p50_us and p99_us (latency
// of one round trip as its client saw it); the shared runs add bound_p50_us,
// the direct median plus the ZeroMQ loopback median, which the aim says a
// shared median should not exceed.
//
// A device server answers the loopback multicast probe, so this benchmark
// runs only inside a private network namespace:
//   scripts/netns-run build/bench/bench/device_server_bench
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aLink.h"
#include "support/ChildProcess.h"
#include "support/Environment.h"
#include "support/Loopback.h"
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
    if (!sim->start(
            {"--discovery", "all", "--lifetime", "600", "--module", "serial=5B000001,address=2,tcp=0"}))
      sim.reset();
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

// Medians measured earlier in this run, for the bound.
double sLoopbackP50 = 0;
double sDirectP50 = 0;

double sReport(benchmark::State& state, std::vector<double>& latencies, double seconds) {
  std::sort(latencies.begin(), latencies.end());
  state.counters["trips_per_s"] = static_cast<double>(latencies.size()) / seconds;
  state.counters["p50_us"] = latencies[latencies.size() / 2];
  state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
  if (sLoopbackP50 > 0 && sDirectP50 > 0) state.counters["bound_p50_us"] = sDirectP50 + sLoopbackP50;
  return latencies[latencies.size() / 2];
}

// A connected TCP pair on 127.0.0.1 (client, server end), or -1s.
void sTcpPair(int* client, int* server) {
  *client = *server = -1;
  int port = 0;
  const int listener = BindLoopback(&port, 1);
  if (listener < 0) return;
  *client = ConnectLoopback(static_cast<uint16_t>(port));
  if (*client >= 0) *server = accept(listener, nullptr, nullptr);
  close(listener);
  const int one = 1;
  for (int fd : {*client, *server}) {
    if (fd >= 0) (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
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

void BM_LoopbackRoundTrip(benchmark::State& state) {
  int client = -1;
  int server = -1;
  sTcpPair(&client, &server);
  if (client < 0 || server < 0) {
    state.SkipWithError("no loopback pair");
    return;
  }
  std::thread echo([server] {
    uint8_t bytes[5];
    for (int i = 0; i < kTrips; ++i) {
      if (read(server, bytes, sizeof bytes) != sizeof bytes ||
          write(server, bytes, sizeof bytes) != sizeof bytes)
        return;
    }
  });
  std::vector<double> latencies;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int i = 0; i < kTrips; ++i) {
      uint8_t bytes[5] = {kAddress, 3, 0x17, 0, static_cast<uint8_t>(i)};
      const auto t = Clock::now();
      if (write(client, bytes, sizeof bytes) != sizeof bytes ||
          read(client, bytes, sizeof bytes) != sizeof bytes) {
        state.SkipWithError("loopback echo failed");
        break;
      }
      latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  close(client);
  echo.join();
  close(server);
  if (!latencies.empty()) (void)sReport(state, latencies, seconds);
}
BENCHMARK(BM_LoopbackRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// kTrips echo packets as bare frames on a DEALER, each awaiting its echo;
// appends each latency in microseconds. False when an echo did not come.
bool sFrameEchoes(void* dealer, uint8_t tag, std::vector<double>* latencies) {
  for (int i = 0; i < kTrips; ++i) {
    uint8_t frame[5] = {kAddress, 3, 0x17, tag, static_cast<uint8_t>(i)};
    const auto t = Clock::now();
    if (zmq_send(dealer, frame, sizeof frame, 0) != sizeof frame ||
        zmq_recv(dealer, frame, sizeof frame, 0) != sizeof frame)
      return false;
    latencies->push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
  }
  return true;
}

void sCloseNow(void* sock) {
  const int linger = 0;
  (void)zmq_setsockopt(sock, ZMQ_LINGER, &linger, sizeof linger);
  zmq_close(sock);
}

void BM_ZmqLoopbackRoundTrip(benchmark::State& state) {
  void* context = zmq_ctx_new();
  void* router = zmq_socket(context, ZMQ_ROUTER);
  void* dealer = zmq_socket(context, ZMQ_DEALER);
  char endpoint[64] = {};
  size_t size = sizeof endpoint;
  const int waitMs = kReplyMs;
  if (zmq_bind(router, "tcp://127.0.0.1:*") != 0 ||
      zmq_getsockopt(router, ZMQ_LAST_ENDPOINT, endpoint, &size) != 0 ||
      zmq_setsockopt(router, ZMQ_RCVTIMEO, &waitMs, sizeof waitMs) != 0 ||
      zmq_setsockopt(dealer, ZMQ_RCVTIMEO, &waitMs, sizeof waitMs) != 0 ||
      zmq_connect(dealer, endpoint) != 0) {
    state.SkipWithError("no ZeroMQ pair");
  } else {
    std::thread echo([router] {
      uint8_t id[256];
      uint8_t frame[5];
      for (int i = 0; i < kTrips; ++i) {
        const int n = zmq_recv(router, id, sizeof id, 0);
        if (n <= 0 || zmq_recv(router, frame, sizeof frame, 0) != sizeof frame ||
            zmq_send(router, id, static_cast<size_t>(n), ZMQ_SNDMORE) != n ||
            zmq_send(router, frame, sizeof frame, 0) != sizeof frame)
          return;
      }
    });
    std::vector<double> latencies;
    double seconds = 0;
    for (auto _ : state) {
      const auto start = Clock::now();
      if (!sFrameEchoes(dealer, 0, &latencies)) state.SkipWithError("ZeroMQ echo failed");
      seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    echo.join();
    if (!latencies.empty()) sLoopbackP50 = sReport(state, latencies, seconds);
  }
  sCloseNow(dealer);
  sCloseNow(router);
  zmq_ctx_term(context);
}
BENCHMARK(BM_ZmqLoopbackRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

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
  if (!latencies.empty()) sDirectP50 = sReport(state, latencies, seconds);
  (void)aLink_Destroy(&link);
}
BENCHMARK(BM_DirectRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RawFrameRoundTrip(benchmark::State& state) {
  if (!sReady(state)) return;
  aLinkRef device = aLink_CreateTCPIP(kSerial, kLoopback, sSim()->tcpPort("5B000001"));
  uint16_t port = 0;
  uint32_t address = kLoopback;
  aLinkRef own = device ? aLink_CreateServer(device, &port, &address, true) : 0;
  void* context = zmq_ctx_new();
  void* dealer = context ? zmq_socket(context, ZMQ_DEALER) : nullptr;
  const int waitMs = kReplyMs;
  std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
  if (!own || !dealer || zmq_setsockopt(dealer, ZMQ_RCVTIMEO, &waitMs, sizeof waitMs) != 0 ||
      zmq_connect(dealer, endpoint.c_str()) != 0) {
    state.SkipWithError("no server");
  } else {
    std::vector<double> latencies;
    double seconds = 0;
    for (auto _ : state) {
      const auto start = Clock::now();
      if (!sFrameEchoes(dealer, 0xE0, &latencies)) state.SkipWithError("a reply was lost");
      seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    if (!latencies.empty()) sReport(state, latencies, seconds);
  }
  if (dealer) sCloseNow(dealer);
  if (context) zmq_ctx_term(context);
  if (own) (void)aLink_Destroy(&own);
  if (device) (void)aLink_Destroy(&device);
}
BENCHMARK(BM_RawFrameRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The echoes from every link at once, shared out among them, and the report.
void sRunClients(benchmark::State& state, const std::vector<aLinkRef>& links) {
  const int clients = static_cast<int>(links.size());
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
}

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
  sRunClients(state, links);
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

// The server in a process of its own (corvalith-share next to this program),
// as clients meet it in use: each side has its own ZeroMQ I/O thread.
void BM_SharedProcessRoundTrip(benchmark::State& state) {
  if (!sReady(state)) return;
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string share = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  share = share.substr(0, share.rfind('/'));
  share = share.substr(0, share.rfind('/')) + "/corvalith-share";
  ChildProcess server;
  unsigned short port = 0;
  if (server.spawn(share, {"-d", "5B000001", "-t", "TCP", "--local-only"})) {
    std::string line;
    const auto deadline = ChildProcess::Clock::now() + std::chrono::seconds(20);
    while (port == 0 && server.readLine(&line, deadline)) {
      if (std::sscanf(line.c_str(), "Sharing 5B000001 on port %hu", &port) != 1) port = 0;
    }
  }
  if (port == 0) {
    state.SkipWithError("corvalith-share did not start");
    return;
  }
  std::vector<aLinkRef> links;
  for (int c = 0; c < state.range(0); ++c) links.push_back(aLink_CreateClient(kLoopback, port, 0));
  sRunClients(state, links);
  for (auto it = links.rbegin(); it != links.rend(); ++it) {
    if (*it) (void)aLink_Destroy(&*it);
  }
  (void)server.stop();
}
BENCHMARK(BM_SharedProcessRoundTrip)
    ->Arg(1)
    ->Arg(4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
