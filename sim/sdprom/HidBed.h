// The simulated ROM as USB HID device 1FC9:0130 behind an emulated
// /dev/hidraw node (umockdev), for hosts that reach it through hidraw.
#ifndef CORVALITH_SIM_SDPROM_HIDBED_H
#define CORVALITH_SIM_SDPROM_HIDBED_H

#include <string>
#include <vector>

#include "sim/sdprom/SdpRom.h"

namespace sdprom {

// Builds the test bed, runs command under umockdev's preload while serving
// the reports, writes the state to stateFile (when set) and returns the
// command's exit status (1 when the test bed could not be built).
int ServeHid(const RomOptions& options, const std::string& stateFile,
             const std::vector<std::string>& command);

}  // namespace sdprom

#endif
