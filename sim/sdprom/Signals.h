// Stop and dump requests of the simulated ROM, set from signal handlers.
#ifndef CORVALITH_SIM_SDPROM_SIGNALS_H
#define CORVALITH_SIM_SDPROM_SIGNALS_H

#include <signal.h>

namespace sdprom {

extern volatile sig_atomic_t gStop;
extern volatile sig_atomic_t gDump;

// SIGTERM and SIGINT stop, SIGUSR1 dumps the state, SIGPIPE is ignored.
void InstallSignals();

}  // namespace sdprom

#endif
