#include "sim/StandInSignals.h"

namespace sim {

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gDump = 0;

namespace {

void sOnStop(int) {
  gStop = 1;
}
void sOnDump(int) {
  gDump = 1;
}

}  // namespace

void InstallSignals() {
  struct sigaction sa = {};
  sa.sa_handler = sOnStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = sOnDump;
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace sim
