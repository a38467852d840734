// corvalith-share: opens one module with sharing on, so other processes reach
// it through its device server, and serves until SIGINT or SIGTERM.
//
//   corvalith-share -d SERIAL [-t USB|TCP] [--local-only]
//
// Prints "Sharing SERIAL on port PORT" once clients can connect. Exit codes:
// 0 after a clean shutdown, 1 when the module could not be opened and shared,
// 2 for a bad command line.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/aErr.h"
#include "common/linkSpec.h"
#include "cpp/Module.h"

namespace {

// How often the wait for a stop signal wakes up, ms.
constexpr long kSignalWaitMs = 500;
// The module address the first query goes to; the real one is learnt.
constexpr uint8_t kProbeAddress = 2;

void sUsage(FILE* out) {
  std::fputs("Usage: corvalith-share -d SERIAL [-t USB|TCP] [--local-only]\n", out);
  std::fputs("  -d SERIAL      module serial number (hexadecimal)\n", out);
  std::fputs("  -t USB|TCP     transport to the module (default USB)\n", out);
  std::fputs("  --local-only   serve on 127.0.0.1 only\n", out);
}

bool sParseSerial(const char* text, uint32_t* serial) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 16);
  if (errno != 0 || *end != '\0' || value == 0 || value > 0xFFFFFFFFul) return false;
  *serial = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  uint32_t serial = 0;
  linkType type = USB;
  bool localOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      sUsage(stdout);
      return 0;
    } else if (arg == "-d" && i + 1 < argc) {
      if (!sParseSerial(argv[++i], &serial)) {
        std::fprintf(stderr, "corvalith-share: bad serial number: %s\n", argv[i]);
        return 2;
      }
    } else if (arg == "-t" && i + 1 < argc) {
      const std::string t = argv[++i];
      if (t == "USB") {
        type = USB;
      } else if (t == "TCP") {
        type = TCPIP;
      } else {
        std::fprintf(stderr, "corvalith-share: unknown transport: %s\n", t.c_str());
        return 2;
      }
    } else if (arg == "--local-only") {
      localOnly = true;
    } else {
      sUsage(stderr);
      return 2;
    }
  }
  if (serial == 0) {
    sUsage(stderr);
    return 2;
  }

  // Every thread the library starts inherits this mask, so the stop signals
  // reach only the wait below and never interrupt a worker's poll.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  Tessaron::Corvalith::Module module(kProbeAddress, 0);
  aWeftConfig config;
  config.enabled = 1;
  // A module already shared by someone else must not be taken as this one.
  config.fallback = 0;
  config.localOnly = localOnly ? 1 : 0;
  aErr err = module.setConfig(config);
  if (err == aErrNone) err = module.connect(type, serial);
  if (err == aErrNone) err = module.getConfig(&config);
  if (err != aErrNone || !module.isConnected()) {
    std::fprintf(stderr, "corvalith-share: could not share %08X: %s\n", serial, aError_GetErrorText(err));
    return 1;
  }
  std::printf("Sharing %08X on port %d\n", serial, static_cast<int>(config.assignedPort));
  std::fflush(stdout);

  const timespec slice{0, kSignalWaitMs * 1000000L};
  int signal = -1;
  while (signal < 0) {
    signal = sigtimedwait(&stops, nullptr, &slice);
    if (signal < 0 && errno != EAGAIN && errno != EINTR) break;
  }
  (void)module.disconnect();
  return 0;
}
