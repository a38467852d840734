// The ROM's UART boot mode on a pseudo-terminal: 16-byte commands, raw image
// data and raw answers back to back, as the serial download path frames them.
#ifndef CORVALITH_SIM_SDPROM_SERIALROM_H
#define CORVALITH_SIM_SDPROM_SERIALROM_H

#include <functional>
#include <string>

#include "sim/sdprom/SdpRom.h"

namespace sdprom {

struct SerialHooks {
  // Polled every serving round: end the run, write the state now.
  std::function<bool()> stop;
  std::function<bool()> takeDump;
  // The pseudo-terminal serves (its path); called once, before any byte.
  std::function<void(const std::string& pty)> ready;
  // After every command: the model, to see what it did (a jump).
  std::function<void(const Rom& rom)> afterCommand;
  // One more member of the state dump (empty for none).
  std::function<std::string()> extraState;
};

// Serves the ROM on a new pseudo-terminal (linked as link when that is not
// empty) until hooks.stop says so or an hour has passed; writes the state to
// stateFile (when set) on each dump request and at the end. 0, or 1 when the
// terminal could not be set up or the last state not written.
int ServeSerial(const RomOptions& options, const std::string& link, const std::string& stateFile,
                const SerialHooks& hooks);

}  // namespace sdprom

#endif
