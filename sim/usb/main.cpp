// corvalith-usb-sim: runs a command with simulated Corvalith modules on an
// emulated USB bus (umockdev). See helpText() for the options.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/SimConfig.h"
#include "sim/usb/BedRun.h"
#include "sim/usb/UsbBus.h"

namespace {

namespace bed = sim::bed;
using bed::kOwnFailure;
constexpr const char* kProgram = "corvalith-usb-sim";
// Set once this program has put itself under umockdev's preload.
constexpr const char* kReexecMark = "CORVALITH_USB_SIM_PRELOADED";

const char* sHelp() {
  return R"(Usage: corvalith-usb-sim [options] -- COMMAND [ARGS...]

Runs COMMAND with simulated Corvalith modules plugged into an emulated USB
bus: a umockdev test bed holding a root hub and one USB device per module.
COMMAND runs under umockdev's preload (LD_PRELOAD=libumockdev-preload.so.0,
UMOCKDEV_DIR = the test bed), so libusb, libudev and programs such as
"lsusb -d 24ff:" see the devices in /sys and /dev/bus/usb, and every usbdevfs
request on them is answered by the simulator. The exit status is COMMAND's
(128 + N when signal N ended it); 125 for a bad command line or when the
emulation cannot be set up, 127 when COMMAND cannot be run.

Options:
  --module SPEC     Add a module: key=value pairs separated by commas, the
                    keys of corvalith-sim (corvalith-sim --help) and those
                    below. Repeatable.
  --config FILE     Add the [module] sections of a corvalith-sim
                    configuration file. Repeatable.
  --record FILE     Append one line per packet, event and bulk URB to FILE:
                      RX|TX SERIAL usb HEX...    packets to and from the host
                      EV SERIAL usb WHAT         connect (interface claimed),
                                                 close, reboot, leave, arrive
                                                 NODE, claim-busy, clear-halt
                                                 EP, drop HEX, hb-missed
                      URB SERIAL usb OUT LEN [stall]   a bulk OUT URB
                      URB SERIAL usb IN LEN stall      a stalled bulk IN URB
  --lifetime SECS   End COMMAND (SIGTERM, SIGKILL 3 s later) after SECS
                    seconds (default 3600; 1 to 86400).
  --verbose         Report events on standard error.
  --help            Show this text.
Without --module or --config one default module (serial 1A2B3C4D) is used.

Each module is a USB 2.0 high-speed device on bus 1, port 1-N in module
order, device numbers from 2 up: vendor id 24FF, product id = the model
number, manufacturer "Corvalith", product = the device name, serial number
= the serial as eight upper-case hex digits; one configuration with the
vendor interface 0 (class FF, subclass 88, protocol 10) and the bulk
endpoints 01 (OUT) and 81 (IN), 512 bytes each. The host's bytes on 01 are
the module's raw packet stream; its replies and heartbeats come on 81. A
host's claim of the interface opens a link (as a TCP connection does for
corvalith-sim), its release or close ends it; a second process claiming the
interface gets EBUSY.

A module leaves the bus (remove uevent, its URBs end with ESHUTDOWN, later
requests ENODEV) when it restarts: after LOAD (into its loader), REBOOT
(into the new firmware), a reset (system option 11) and close-after; it
comes back reboot-ms later (add uevent) with the next device number. The
tcp, serial-pty, serial-link and kernel keys are ignored: every module not
behind= a router is a USB device; drop-on-load defaults to yes here.

USB module keys:
  usb-vendor=HEX    Vendor id instead of 24FF.
  usb-product=HEX   Product id instead of the model number.
  usb-serial=TEXT   Serial-number string instead of the eight hex digits.
  usb-max-packet=N  Maximum packet size of the bulk endpoints (8 to 1024,
                    default 512).
USB faults:
  stall-out=N       The Nth bulk OUT URB stalls endpoint 01: it and every
                    later OUT URB end with EPIPE until the host clears the
                    halt.
  stall-in=N        The same for the Nth bulk IN URB and endpoint 81.
  claim-busy=yes    Every claim of the interface fails with EBUSY.
  vanish-after=N    After the Nth packet from the host, leave the bus in the
                    middle of the exchange and never come back.
  return-after-load=no  Leave the bus on LOAD and never come back.
  drop-every, delay-ms and mute-after of corvalith-sim drop, delay and
  withhold replies here as well.
)";
}

// Modules behind a router must name a USB module and sit at distinct
// addresses on its bus.
bool sCheckNetworks(const std::vector<sim::ModuleConfig>& modules, std::string& error) {
  std::map<uint32_t, const sim::ModuleConfig*> bySerial;
  for (const sim::ModuleConfig& m : modules) bySerial[m.serial] = &m;
  std::map<uint32_t, std::set<uint8_t>> used;
  char hex[16];
  for (const sim::ModuleConfig& m : modules) {
    if (m.behind == 0) continue;
    std::snprintf(hex, sizeof hex, "%08X", m.behind);
    auto router = bySerial.find(m.behind);
    if (router == bySerial.end() || router->second->behind != 0) {
      error = std::string("behind=") + hex + ": no such USB module";
      return false;
    }
    std::set<uint8_t>& addresses = used[m.behind];
    if (addresses.empty()) addresses.insert(router->second->address);
    if (!addresses.insert(m.address).second) {
      error = "two modules at address " + std::to_string(m.address) + " behind " + hex;
      return false;
    }
  }
  return true;
}

bool sParse(int argc, char** argv, sim::UsbSimOptions& options, std::string& error) {
  // A USB module restarts into its loader on LOAD by leaving the bus.
  sim::ModuleConfig defaults;
  defaults.upgrade.dropOnLoad = true;
  const sim::CommonSimFields common{options.modules, options.recordPath, options.verbose, options.lifetimeS};
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return true;
    }
    const sim::OptionTaken taken = sim::parseCommonOption(argc, argv, i, common, defaults, error);
    if (taken == sim::OptionTaken::Bad) return false;
    if (taken == sim::OptionTaken::No) {
      error = "unknown option: " + arg;
      return false;
    }
  }
  for (; i < argc; ++i) options.command.push_back(argv[i]);
  if (options.command.empty()) {
    error = "no command given (-- COMMAND [ARGS...])";
    return false;
  }
  if (options.modules.empty()) options.modules.push_back(defaults);
  std::set<uint32_t> serials;
  for (const sim::ModuleConfig& m : options.modules) {
    if (!serials.insert(m.serial).second) {
      error = "two modules with one serial number";
      return false;
    }
    if (!sim::checkStorage(m.storage, error)) return false;
  }
  return sCheckNetworks(options.modules, error);
}

}  // namespace

int main(int argc, char** argv) {
  sim::UsbSimOptions options;
  std::string error;
  if (!sParse(argc, argv, options, error)) {
    std::fprintf(stderr, "corvalith-usb-sim: %s\nTry corvalith-usb-sim --help\n", error.c_str());
    return kOwnFailure;
  }
  if (options.help) {
    std::fputs(sHelp(), stdout);
    return 0;
  }
  bed::ReexecUnderPreload(argv, kReexecMark, kProgram);
  int code = kOwnFailure;
  {
    sim::UsbBus bus(options);
    if (!bus.open(error)) {
      std::fprintf(stderr, "corvalith-usb-sim: %s\n", error.c_str());
      return kOwnFailure;
    }
    code = bed::RunCommand(options.command, options.lifetimeS, kProgram, kReexecMark, {});
    if (!bus.saveFlash(error)) std::fprintf(stderr, "corvalith-usb-sim: %s\n", error.c_str());
  }
  return code;
}
