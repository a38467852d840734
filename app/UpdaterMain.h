// One run of the program: parse the command line, prepare the store
// directory, run the requested jobs in their fixed order and return the exit
// code (0 success, 1 failure).
#ifndef CORVALITH_APP_UPDATERMAIN_H
#define CORVALITH_APP_UPDATERMAIN_H

#include <cstdio>

#include "updater/report/UpdaterDisplayInterface.h"

// Messages and tables go through the display, the usage text to usageStream
// and the debug log to standard error unless -k names a file.
int RunUpdater(int argc, const char* const argv[], UpdaterDisplayInterface& display, FILE* usageStream);

#endif
