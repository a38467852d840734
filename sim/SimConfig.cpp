#include "sim/SimConfig.h"

#include "sim/SimRouter.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace sim {
namespace {

std::string sTrim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool sNumber(const std::string& text, int base, uint64_t max, uint64_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

bool sVersion(const std::string& text, uint32_t& out) {
  uint64_t v = 0;
  if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
    if (!sNumber(text.substr(2), 16, 0xFFFFFFFFu, v)) return false;
    out = static_cast<uint32_t>(v);
    return true;
  }
  uint64_t part[3];
  std::stringstream ss(text);
  std::string item;
  int n = 0;
  while (std::getline(ss, item, '.')) {
    if (n == 3 || !sNumber(item, 10, 255, part[n])) return false;
    ++n;
  }
  if (n != 3) return false;
  out = packVersion(static_cast<uint8_t>(part[0]), static_cast<uint8_t>(part[1]),
                    static_cast<uint8_t>(part[2]));
  return true;
}

}  // namespace

const char* helpText() {
  return R"(Usage: corvalith-sim [options]

Plays one or more Corvalith modules for tests and demonstrations. Each module
answers synchronisation queries (0xAD), route packets (0xAF), module queries
(0x49), the debug echo (0x17) and the system class (3) UEIs, and sends
heartbeats, over any of three endpoints:
  TCP           raw packets on 127.0.0.1
  serial        a pseudo-terminal carrying COBS frames with a CRC-8
  kernel        a raw pseudo-terminal linked as <dev dir>/corvalith.%08X,
                where the library's USB stream looks for the kernel driver

Options:
  --module SPEC     Add a module. SPEC is key=value pairs separated by commas,
                    keys as in the configuration file below. Repeatable.
  --config FILE     Add the modules of a configuration file. Repeatable.
  --record FILE     Append one line per packet to FILE (see Record below).
  --dev-dir DIR     Directory for the kernel endpoints (default:
                    $CORVALITH_DEV_DIR, else /dev).
  --lifetime SECS   Exit after SECS seconds (default 3600; 1 to 86400), so a
                    forgotten simulator never lingers.
  --discovery WHERE Answer TCP/IP discovery requests (232.2.2.2:9888) on the
                    interfaces WHERE: all, or IPv4 addresses separated by
                    commas. Only inside a private network namespace
                    (NETNS_PRIVATE=1, scripts/netns-run); see Discovery.
  --verbose         Report connections, reboots and heartbeat answers on
                    standard error.
  --help            Show this text.
Without --module or --config one default module listens on a free TCP port.

Module keys (all optional):
  serial=HEX        Serial number, eight hex digits (default 1A2B3C4D).
  model=N           Model number, 0 to 255 (default 17).
  address=N         Module address, even, 2 to 254 (default 2).
  router=N          Router address, 0 to 255 (default 0).
  version=A.B.C     Firmware version, packed like aVersion_Pack; or 0xHEX for
                    a packed value as is (default 2.15.0).
  build=N           Build number, decimal (default 1).
  name=TEXT         Device name, at most 64 bytes; no commas in --module.
  tcp=PORT          Listen on 127.0.0.1:PORT; 0 picks a free port.
  serial-pty=yes    Open a serial (COBS) pseudo-terminal.
  serial-link=PATH  Also make PATH a symbolic link to it (implies serial-pty).
  kernel=yes        Open a kernel-device pseudo-terminal.
  heartbeat-ms=N    Heartbeat interval in ms; 0 sends none (default 1000).
  reboot-ms=N       Time a reset or a forced close keeps the module away
                    (default 500).
  drop-every=N      Fault: drop every Nth reply (heartbeats not counted).
  delay-ms=N        Fault: hold every reply N ms.
  close-after=N     Fault: after the Nth packet received on a connection,
                    close it and reboot (on a pseudo-terminal, go silent for
                    reboot-ms).
  mute-after=N      Fault: after N received packets answer nothing more, not
                    even heartbeats (0 = mute from the start).
  discovery=no      Do not answer discovery requests (default yes).
  discovery-delay-ms=N  Answer discovery requests N ms late (0 to 60000).
  discovery-replies=N   Answer each discovery request N times (0 to 10,
                    default 1).
  discovery-length=N    Send only the first N bytes of the 16-byte reply.
  behind=HEX        Sit on the I2C bus of the routing module with this
                    serial number instead of having endpoints (see Module
                    network below).

Configuration file: one [module] line starts each module, followed by
key = value lines with the keys above; blank lines and lines starting with #
are ignored. Example:
  [module]
  serial = 40F5849A
  tcp = 0
  name = Bench hub
  [module]
  serial = 40F5849B
  address = 4
  serial-link = /tmp/cv-serial

Startup: once every endpoint is open the simulator prints one line per
endpoint and then READY on standard output, and flushes:
  LISTEN tcp 127.0.0.1:PORT serial=XXXXXXXX
  LISTEN serial PATH serial=XXXXXXXX
  LISTEN kernel PATH serial=XXXXXXXX
  READY
Nothing else goes to standard output. SIGTERM or SIGINT end it cleanly
(links removed, exit 0). Exit code 2 for a bad command line, 1 when an
endpoint cannot be opened.

Module behaviour: system options answer as listed by the device library's
SystemClass; unknown options give an error reply with aErrUnimplemented (21),
a get of a set-only option or a set of a read-only one aErrInvalidOption
(29), a value of the wrong size aErrSize (14), an index other than 0
aErrIndexRange (26). The name (option 32) and the power configuration
(option 31) are UEI-bytes transfers. Option 11 (reset) answers, then the
module reboots: TCP connection and listener close for reboot-ms, then the
listener returns on the same port.

Module network: a module with modules behind=its serial is a routing module.
It acknowledges I2C writes (class 8 on index 0) to the addresses where a
module sits and refuses the others with status 0x80 | aErrNotFound (3); a
read returns the bytes last written to that module. While its route is on
(the host's route packet when a link starts, or system option 20,
routeToMe) it passes packets addressed to a module behind it to that module
and sends the replies back over its own link; with the route off they go
unanswered. A module behind a router defaults to that router's address as
its router setting.

Discovery: with --discovery every module with a TCP endpoint answers each
16-byte request (byte 0 = 1) by UDP to the requester's address, port 9889,
sent from 127.0.0.1: byte 1 module address, 2-3 TCP port, 4-7 serial number
(little-endian), 12 model; byte 0 is 0x81 and 8-11 the packed version.

Record: one line per packet, flushed:
  RX|TX SERIAL ENDPOINT HEX...     e.g. "RX 40F5849A tcp AD 00"
and events as "EV SERIAL ENDPOINT WHAT" (connect, close, reboot, hb-missed).
)";
}

bool applyModuleKey(ModuleConfig& m, const std::string& key, const std::string& value, std::string& error) {
  uint64_t v = 0;
  auto bad = [&](const char* what) {
    error = "bad value for " + key + " (" + what + "): " + value;
    return false;
  };
  auto flag = [&](bool& out) {
    if (value == "yes" || value == "1" || value == "true") {
      out = true;
    } else if (value == "no" || value == "0" || value == "false") {
      out = false;
    } else {
      return bad("yes or no");
    }
    return true;
  };
  if (key == "serial") {
    if (value.size() > 8 || !sNumber(value, 16, 0xFFFFFFFFu, v) || v == 0) return bad("hex, not 0");
    m.serial = static_cast<uint32_t>(v);
  } else if (key == "model") {
    if (!sNumber(value, 0, 255, v)) return bad("0 to 255");
    m.model = static_cast<uint8_t>(v);
  } else if (key == "address") {
    if (!sNumber(value, 0, 254, v) || v == 0 || (v & 1)) return bad("even, 2 to 254");
    m.address = static_cast<uint8_t>(v);
  } else if (key == "router") {
    if (!sNumber(value, 0, 255, v)) return bad("0 to 255");
    m.router = static_cast<uint8_t>(v);
  } else if (key == "version") {
    if (!sVersion(value, m.version)) return bad("A.B.C or 0xHEX");
  } else if (key == "build") {
    if (!sNumber(value, 10, 0xFFFFFFFFu, v)) return bad("decimal");
    m.build = static_cast<uint32_t>(v);
  } else if (key == "name") {
    if (value.size() > SimModule::kMaxName) return bad("at most 64 bytes");
    m.name = value;
  } else if (key == "tcp") {
    if (!sNumber(value, 10, 65535, v)) return bad("port 0 to 65535");
    m.tcpPort = static_cast<int>(v);
  } else if (key == "serial-pty") {
    return flag(m.serialPty);
  } else if (key == "serial-link") {
    if (value.empty()) return bad("a path");
    m.serialLink = value;
    m.serialPty = true;
  } else if (key == "kernel") {
    return flag(m.kernelPty);
  } else if (key == "heartbeat-ms" || key == "reboot-ms" || key == "drop-every" || key == "delay-ms" ||
             key == "close-after") {
    if (!sNumber(value, 10, 3600000, v)) return bad("0 to 3600000");
    uint32_t n = static_cast<uint32_t>(v);
    if (key == "heartbeat-ms") m.heartbeatMs = n;
    if (key == "reboot-ms") m.rebootMs = n;
    if (key == "drop-every") m.dropEvery = n;
    if (key == "delay-ms") m.delayMs = n;
    if (key == "close-after") m.closeAfter = n;
  } else if (key == "behind") {
    if (value.size() > 8 || !sNumber(value, 16, 0xFFFFFFFFu, v) || v == 0) return bad("hex, not 0");
    m.behind = static_cast<uint32_t>(v);
  } else if (isDiscoveryKey(key)) {
    return applyDiscoveryKey(m.discovery, key, value, error);
  } else if (key == "mute-after") {
    if (!sNumber(value, 10, 0x7FFFFFFF, v)) return bad("0 or more");
    m.muteAfter = static_cast<int64_t>(v);
  } else {
    error = "unknown module key: " + key;
    return false;
  }
  return true;
}

bool parseModuleSpec(const std::string& spec, ModuleConfig& m, std::string& error) {
  std::stringstream ss(spec);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = sTrim(item);
    if (item.empty()) continue;
    size_t eq = item.find('=');
    if (eq == std::string::npos) {
      error = "expected key=value: " + item;
      return false;
    }
    if (!applyModuleKey(m, sTrim(item.substr(0, eq)), sTrim(item.substr(eq + 1)), error)) return false;
  }
  return true;
}

bool parseConfigText(const std::string& text, std::vector<ModuleConfig>& out, std::string& error) {
  std::stringstream ss(text);
  std::string line;
  int lineNo = 0;
  bool inModule = false;
  while (std::getline(ss, line)) {
    ++lineNo;
    line = sTrim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line == "[module]") {
      out.emplace_back();
      inModule = true;
      continue;
    }
    size_t eq = line.find('=');
    if (!inModule || eq == std::string::npos) {
      error = "line " + std::to_string(lineNo) + ": expected [module] or key = value";
      return false;
    }
    if (!applyModuleKey(out.back(), sTrim(line.substr(0, eq)), sTrim(line.substr(eq + 1)), error)) {
      error = "line " + std::to_string(lineNo) + ": " + error;
      return false;
    }
  }
  return true;
}

bool parseCommandLine(int argc, char** argv, SimOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
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
      options.modules.emplace_back();
      if (!parseModuleSpec(value, options.modules.back(), error)) return false;
    } else if (arg == "--config") {
      if (!next(value)) return false;
      std::ifstream in(value);
      if (!in) {
        error = "cannot read " + value;
        return false;
      }
      std::stringstream text;
      text << in.rdbuf();
      if (!parseConfigText(text.str(), options.modules, error)) {
        error = value + ": " + error;
        return false;
      }
    } else if (arg == "--record") {
      if (!next(options.recordPath)) return false;
    } else if (arg == "--discovery") {
      if (!next(options.discovery)) return false;
    } else if (arg == "--dev-dir") {
      if (!next(options.devDir)) return false;
    } else if (arg == "--lifetime") {
      uint64_t v = 0;
      if (!next(value)) return false;
      if (!sNumber(value, 10, 86400, v) || v == 0) {
        error = "--lifetime needs 1 to 86400 seconds";
        return false;
      }
      options.lifetimeS = static_cast<uint32_t>(v);
    } else {
      error = "unknown option: " + arg;
      return false;
    }
  }
  if (options.modules.empty()) {
    options.modules.emplace_back();
    options.modules.back().tcpPort = 0;
  }
  std::set<uint32_t> serials;
  for (const ModuleConfig& m : options.modules) {
    if (!serials.insert(m.serial).second) {
      error = "two modules with one serial number";
      return false;
    }
    if (m.behind == 0 && m.tcpPort < 0 && !m.serialPty && !m.kernelPty) {
      error = "a module needs at least one endpoint (tcp, serial-pty, serial-link or kernel)";
      return false;
    }
  }
  return checkModuleNetworks(options.modules, error);
}

}  // namespace sim
