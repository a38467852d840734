// corvalith-usb-sim: runs a command with simulated Corvalith modules on an
// emulated USB bus (umockdev). See helpText() for the options.
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/SimConfig.h"
#include "sim/usb/UsbBus.h"

namespace {

constexpr int kOwnFailure = 125;  // bad command line or no emulation
constexpr int kCannotRun = 127;
constexpr guint kKillGraceS = 3;
constexpr const char* kPreload = "libumockdev-preload.so.0";
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

bool sNumber(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
    return false;
  out = std::strtoull(text.c_str(), nullptr, 10);
  return out <= max;
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
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    auto next = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string value;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--module") {
      if (!next(value)) return false;
      options.modules.push_back(defaults);
      if (!sim::parseModuleSpec(value, options.modules.back(), error)) return false;
    } else if (arg == "--config") {
      if (!next(value)) return false;
      std::ifstream in(value);
      if (!in) {
        error = "cannot read " + value;
        return false;
      }
      std::stringstream text;
      text << in.rdbuf();
      if (!sim::parseConfigText(text.str(), options.modules, error, defaults)) {
        error = value + ": " + error;
        return false;
      }
    } else if (arg == "--record") {
      if (!next(options.recordPath)) return false;
    } else if (arg == "--lifetime") {
      uint64_t v = 0;
      if (!next(value)) return false;
      if (!sNumber(value, 86400, v) || v == 0) {
        error = "--lifetime needs 1 to 86400 seconds";
        return false;
      }
      options.lifetimeS = static_cast<uint32_t>(v);
    } else {
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

// umockdev builds its test bed through the same redirections that its
// clients see, so this program runs under the preload as well.
void sReexecUnderPreload(char** argv) {
  if (std::getenv(kReexecMark) != nullptr) return;
  std::string preload = kPreload;
  const char* old = std::getenv("LD_PRELOAD");
  if (old && *old) preload += std::string(":") + old;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv(kReexecMark, "1", 1);
  // A sanitizer runtime need not come first once the preload is in front.
  std::string asan = "verify_asan_link_order=0";
  const char* oldAsan = std::getenv("ASAN_OPTIONS");
  if (oldAsan && *oldAsan) asan = std::string(oldAsan) + ":" + asan;
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "corvalith-usb-sim: cannot restart under %s: %s\n", kPreload, std::strerror(errno));
  std::exit(kOwnFailure);
}

struct Run {
  GMainLoop* loop = nullptr;
  pid_t child = -1;
  int status = -1;
  bool ended = false;
};

void sOnChildExit(GPid, gint status, gpointer ref) {
  auto* run = static_cast<Run*>(ref);
  run->status = status;
  run->ended = true;
  g_main_loop_quit(run->loop);
}

gboolean sForward(gpointer ref, int signal) {
  auto* run = static_cast<Run*>(ref);
  if (run->child > 0 && !run->ended) kill(run->child, signal);
  return G_SOURCE_CONTINUE;
}
gboolean sOnTerm(gpointer ref) {
  return sForward(ref, SIGTERM);
}
gboolean sOnInt(gpointer ref) {
  return sForward(ref, SIGINT);
}
gboolean sOnHup(gpointer ref) {
  return sForward(ref, SIGHUP);
}

gboolean sKill(gpointer ref) {
  auto* run = static_cast<Run*>(ref);
  if (!run->ended) kill(run->child, SIGKILL);
  return G_SOURCE_REMOVE;
}

gboolean sLifetimeOver(gpointer ref) {
  auto* run = static_cast<Run*>(ref);
  if (run->ended) return G_SOURCE_REMOVE;
  std::fprintf(stderr, "corvalith-usb-sim: lifetime over, ending the command\n");
  kill(run->child, SIGTERM);
  g_timeout_add_seconds(kKillGraceS, sKill, run);
  return G_SOURCE_REMOVE;
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
  sReexecUnderPreload(argv);
  int code = kOwnFailure;
  {
    sim::UsbBus bus(options);
    if (!bus.open(error)) {
      std::fprintf(stderr, "corvalith-usb-sim: %s\n", error.c_str());
      return kOwnFailure;
    }
    Run run;
    run.loop = g_main_loop_new(nullptr, FALSE);
    std::vector<char*> args;
    for (std::string& a : options.command) args.push_back(&a[0]);
    args.push_back(nullptr);
    std::fflush(nullptr);
    run.child = fork();
    if (run.child == 0) {
      unsetenv(kReexecMark);
      execvp(args[0], args.data());
      std::fprintf(stderr, "corvalith-usb-sim: cannot run %s: %s\n", args[0], std::strerror(errno));
      _exit(kCannotRun);
    }
    if (run.child < 0) {
      std::fprintf(stderr, "corvalith-usb-sim: fork: %s\n", std::strerror(errno));
      g_main_loop_unref(run.loop);
      return kOwnFailure;
    }
    g_child_watch_add(run.child, sOnChildExit, &run);
    g_unix_signal_add(SIGTERM, sOnTerm, &run);
    g_unix_signal_add(SIGINT, sOnInt, &run);
    g_unix_signal_add(SIGHUP, sOnHup, &run);
    g_timeout_add_seconds(options.lifetimeS, sLifetimeOver, &run);
    g_main_loop_run(run.loop);
    g_main_loop_unref(run.loop);
    if (WIFEXITED(run.status)) {
      code = WEXITSTATUS(run.status);
    } else if (WIFSIGNALED(run.status)) {
      code = 128 + WTERMSIG(run.status);
    }
    if (!bus.saveFlash(error)) std::fprintf(stderr, "corvalith-usb-sim: %s\n", error.c_str());
  }
  return code;
}
