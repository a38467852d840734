// Stop and dump requests of the stand-ins that serve until told (the
// simulated ROMs), set from signal handlers.
#ifndef CORVALITH_SIM_STANDINSIGNALS_H
#define CORVALITH_SIM_STANDINSIGNALS_H

#include <signal.h>

namespace sim {

extern volatile sig_atomic_t gStop;
extern volatile sig_atomic_t gDump;

// SIGTERM and SIGINT stop, SIGUSR1 dumps the state, SIGPIPE is ignored.
void InstallSignals();

}  // namespace sim

#endif
