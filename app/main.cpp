#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/CLI_Display.h"
#include "app/UpdaterMain.h"
#include "updater/Updater.h"

namespace {

const char kInterruptedWhileWriting[] =
    "\nInterrupted while writing the device: it may be left in its loader or with incomplete firmware; "
    "run the same command again to finish.\n";

// Says what an interrupt leaves behind, then ends the process as the signal
// would have (SA_RESETHAND has put the default action back).
void sOnStop(int signal) {
  if (Updater_IsWritingDevice()) {
    (void)!write(STDERR_FILENO, kInterruptedWhileWriting, sizeof kInterruptedWhileWriting - 1);
  }
  (void)raise(signal);
}

// A hang-up (the terminal or the remote session went away) is nobody asking
// to stop, so the device being written is finished first; the rest of the
// output goes nowhere. At any other time it ends the program as it would.
void sOnHangup(int signal) {
  if (Updater_IsWritingDevice()) return;
  struct sigaction fallback;
  std::memset(&fallback, 0, sizeof fallback);
  fallback.sa_handler = SIG_DFL;
  (void)sigaction(signal, &fallback, nullptr);
  (void)raise(signal);
}

// A signal the caller chose to ignore (a background job's SIGINT, nohup)
// stays ignored.
void sWatch(int signal, void (*handler)(int), int flags) {
  struct sigaction current;
  if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return;
  struct sigaction watch;
  std::memset(&watch, 0, sizeof watch);
  watch.sa_handler = handler;
  sigemptyset(&watch.sa_mask);
  watch.sa_flags = flags;
  (void)sigaction(signal, &watch, nullptr);
}

}  // namespace

int main(int argc, char* argv[]) {
  // Output that nobody reads any more must not end the process: a reader
  // that left (`| head`) would stop an update halfway. Writes to it just
  // fail; libcurl, told not to use signals, expects this too.
  (void)signal(SIGPIPE, SIG_IGN);
  sWatch(SIGINT, sOnStop, SA_RESETHAND);
  sWatch(SIGTERM, sOnStop, SA_RESETHAND);
  // Calls it interrupts resume where they can; the transfer's waits take an
  // interrupted wait for an empty one and wait again.
  sWatch(SIGHUP, sOnHangup, SA_RESTART);
  CLI_Display display;
  return RunUpdater(argc, argv, display, stderr);
}
