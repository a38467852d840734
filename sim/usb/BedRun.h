// Running a command inside a umockdev test bed: the program that builds the
// bed restarts itself under umockdev's preload, then runs the command as its
// child while the default main loop serves the bed. Shared by the stand-ins
// that emulate devices on it (corvalith-usb-sim, corvalith-sdp-rom).
#ifndef CORVALITH_SIM_USB_BEDRUN_H
#define CORVALITH_SIM_USB_BEDRUN_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {
namespace bed {

// Exit statuses of the bed's own failures, as env(1) and the shells use them.
constexpr int kOwnFailure = 125;  // bad command line or no emulation
constexpr int kCannotRun = 127;   // the command could not be started

// Restarts this program (argv as given to main) under umockdev's preload;
// returns at once when mark is already set in the environment, which the
// restart sets. Exits with kOwnFailure when it cannot restart.
void ReexecUnderPreload(char** argv, const char* mark, const char* program);

// Runs command with the bed's environment (mark removed) until it ends:
// SIGTERM, SIGINT and SIGHUP are passed on to it, SIGUSR1 calls onUsr1 (when
// set), and lifetimeS after the start it gets SIGTERM, then SIGKILL 3 s
// later. Its exit status, 128 + N when signal N ended it; kOwnFailure when
// it could not be started at all.
int RunCommand(const std::vector<std::string>& command, uint32_t lifetimeS, const char* program,
               const char* mark, const std::function<void()>& onUsr1);

}  // namespace bed
}  // namespace sim

#endif
