// The simulated ROM inside a umockdev test bed, with the recovery loader it
// starts: as USB HID device 1FC9:0130 behind an emulated /dev/hidraw node,
// or on its pseudo-terminal next to an emulated USB bus. A successful
// JUMP_ADDRESS brings the loader up as a module on that bus (vendor 24FF,
// the module protocol and upgrade entity of corvalith-usb-sim).
#ifndef CORVALITH_SIM_SDPROM_HIDBED_H
#define CORVALITH_SIM_SDPROM_HIDBED_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimModule.h"
#include "sim/sdprom/SdpRom.h"

namespace sdprom {

// Set in the environment once the program runs under umockdev's preload.
constexpr const char* kBedMark = "CORVALITH_SDP_ROM_PRELOADED";
// The pseudo-terminal's path, for the command of the serial form.
constexpr const char* kPtyVariable = "CORVALITH_SDP_PTY";

struct BedOptions {
  RomOptions rom;
  std::string stateFile;
  std::string link;  // serial form: symbolic link to the pseudo-terminal
  std::vector<std::string> command;
  sim::ModuleConfig loader;
  uint32_t lifetimeS = 3600;
};

// False when this build has no umockdev (the bed forms then exit 125).
bool BedAvailable();
// Restarts the program under umockdev's preload, unless it runs there.
void EnterBed(char** argv);

// Runs command inside the bed while serving the ROM, writes the state
// (when set) on SIGUSR1 and at the end, and returns the command's exit
// status (128 + N for signal N), 125 when the bed could not be built, 127
// when the command could not be run.
int ServeHid(const BedOptions& options);
int ServeSerialOnBus(const BedOptions& options);

}  // namespace sdprom

#endif
