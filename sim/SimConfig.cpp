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
(0x49), the debug echo (0x17), the system class (3) UEIs, store slots (4),
factory data (0x5E) and stream control (93), and sends heartbeats and stream
samples, over any of three endpoints:
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
  flash-file=PATH   The simulated flash as a raw image: the byte at offset A
                    is flash address A, bytes never written are 0xFF, the
                    file ends after the highest byte written. Rewritten after
                    every WRITE and when the program ends; the flash starts
                    erased (empty).
  reboot-bird=PATH  After a WRITE and the reboot into the new firmware,
                    report the version and build of this BIRD file's
                    descriptor (read at that moment). Without it the version
                    and build stay.
  block-size=N      Block size the loader grants on PREPARE, 0 to 65535
                    (default 2048).
  flash-size=N      Flash size in bytes; blocks at or beyond it are refused
                    (default 16777216).
  uei-data=no       No UEI-bytes data option: option 10 sets are refused and
                    the module query says so (default yes).
  pooled=no         Do not report pooled-packet support (protocol features
                    bit 31; default yes).
  ignore-data-every=N  Fault: drop every Nth DATA packet of the upgrade
                    (option 1) without storing or answering it.
  bad-sum-once=yes  Fault: the first SUM reply is one more than the sum.
  mute-prepare=WHEN Fault: no reply to PREPARE in the boot stage (loader),
                    in the loader (firmware) or in both (all); the block is
                    still announced.
  drop-on-load=yes  Fault: LOAD drops the link for reboot-ms, like a module
                    that re-enumerates; the LOAD reply follows the host's
                    first packet on each new link, until the host sends
                    more than sync and route packets.
  drop-on-reboot=no Fault: REBOOT starts the new firmware without dropping
                    the link.
  store=N:SLOTS:CAPACITY  Store N (0 to 255) with slots 0 to SLOTS-1 (1 to
                    255) of CAPACITY bytes each (0 to 65535). Repeatable, once
                    per store; without it the module has no stores.
  slot-file=STORE:SLOT:PATH  The slot's contents: raw bytes, read at start
                    (a missing file is an empty slot), rewritten through
                    PATH.part and a rename when a handle that wrote the slot
                    is closed, and at exit. Repeatable.
  factory=CMD:HEX   Factory data of factory command CMD (0 to 15), as hex
                    digits (at most 4096 bytes); default empty.
  factory-file=CMD:PATH  The same from a file of raw bytes (missing: empty);
                    a set of that command's data rewrites it (via .part).
  stream-ms=N       Interval between samples of an enabled stream, in ms
                    (1 to 3600000, default 100).
  stream-source=counter|value  What samples carry: counter (default) counts
                    the samples of each entity from 0 since streaming began;
                    value sends the entity's value (a system option's get
                    value, a declared entity's VALUE).
  stream-entity=CMD:OPTION:INDEX:SIZE[:SUBINDEXES[:VALUE]]  Another entity
                    that can stream, beside the system options: SIZE 1, 2 or
                    4 value bytes, SUBINDEXES 0 (none) to 32. Repeatable.
  slot-bad-sum-every=N  Fault: every Nth slot write reply carries the
                    chunk's sum plus one (the bytes are stored).
  slot-refuse-open=STORE:SLOT  Fault: opening that slot fails with
                    aErrMedia (31). Repeatable.
  bad-sample-every=N  Fault: every Nth stream sample names the type of
                    another value size (1 -> 2 -> 3 -> 1, subindexed alike),
                    so its length no longer fits its type.
  fingerprint=W0:W1:W2:W3  The chip's unique id as four hex words, answered
                    on system option 39: subindex j gives word 3-j (default:
                    no option 39).
  The keys usb-vendor, usb-product, usb-serial, usb-max-packet, stall-in,
  stall-out, claim-busy, vanish-after and return-after-load only matter to
  corvalith-usb-sim (see its --help).

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

Firmware upgrade (command class 0x5F): a running module enters its boot
stage on INIT (reply: load base 0x20000000) and takes loader blocks into RAM:
PREPARE (flags, address; status 0 and the block size), DATA (1 to 26 bytes;
reply: the count taken), SUM (status 0 and the 32-bit sum of the bytes of
the current chunk). LOAD starts the loader, which takes firmware blocks the
same way, a chunk of at most block-size bytes at a time, as DATA packets or
as one UEI-bytes set of option 10 on index 0 (reply 0xCA after the last
part), and writes the chunk at the block's next address on WRITE (length;
status 0 when it equals the chunk). REBOOT drops the link for reboot-ms and
the module comes back running the new firmware. Outside these stages the
steps are refused (status 1). Behind a router the link never drops; a LOAD
there is answered at once.

Store slots (raw command 4; replies echo the option, plus 0x80 and the
aErr code on an error): 4,1|2,STORE,SLOT (capacity, size) -> 4,opt,STORE,
SLOT,HI,LO; 4,3|4,STORE,SLOT (open to read, to write) -> 4,opt,STORE,SLOT,
HANDLE (0 to 3, at most 4 open, one per slot; opening to write empties the
slot); 4,7,HANDLE,<=25 bytes -> 4,7,HANDLE,8-bit sum; 4,6,HANDLE -> 4,6,
HANDLE,<=25 bytes; 4,8,HANDLE -> 4,8,HANDLE,0. Errors: unknown store
aErrNotFound (3), slot beyond the store aErrIndexRange (26), slot already
open aErrBusy (5), no free handle aErrResource (30), unknown handle aErrParam
(2), read on a write handle or the reverse aErrMode (7), read at the end
aErrEOF (10), write past the capacity aErrOverrun (15, nothing stored), an
unwritable slot file on close aErrWrite (8). A restart forgets the handles.

Factory data (raw command 0x5E; option: the 4-bit command, 0x40 first packet,
0x10 write, 0x20 close): a get answers with the next 26 bytes (28-byte
packets continue, a shorter one ends); a set takes at most 26 bytes a packet
and answers 0x5E,CMD; the close 0x5E,0x20,COUNT_HI,COUNT_LO ends the transfer
and answers 0x5E,0: a set takes effect only there, and only when COUNT is
the number of bytes moved (else 0x5E,0x80,aErrSize). Errors: 0x5E,CMD|0x80,
code; a continuation without its first packet aErrMode (7).

Streams (class 93, index 0): a set of option 1 (enable) or 2 (disable) with
the 32-bit key (module, command, option, index; 0xFF in any but the module
byte matches any) is answered 0x5D,0xC1|0xC2,0; an enable that covers no
entity gives aErrNotFound (3), a key for another module aErrParam (2). A get
of option 1 answers 0x5D,1,0 and 1 while streaming, else 0. While a stream is
enabled every covered entity (the readable system options, 1-byte or 32-bit,
and the stream-entity ones) sends one sample per stream-ms: command, option,
index|0x40, type (1, 2, 3 for 1, 2, 4 value bytes; 5, 6, 7 with a subindex
byte after it, one sample per subindex), the time since boot in microseconds
as two big-endian 32-bit words, high first, the value big-endian, and 0. At
most 128 samples an interval, stamped with the time they were due; intervals
missed while late are skipped, not caught up.
Streams end when the host's last link closes and on a restart. A module
behind a router streams through the router's link while the route is on.

Discovery: with --discovery every module with a TCP endpoint answers each
16-byte request (byte 0 = 1) by UDP to the requester's address, port 9889,
sent from 127.0.0.1: byte 1 module address, 2-3 TCP port, 4-7 serial number
(little-endian), 12 model; byte 0 is 0x81 and 8-11 the packed version
(the version at start; the system option follows a firmware upgrade).

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
  } else if (isStorageKey(key)) {
    return applyStorageKey(m.storage, key, value, error);
  } else if (isStreamKey(key)) {
    return applyStreamKey(m.stream, key, value, error);
  } else if (isDiscoveryKey(key)) {
    return applyDiscoveryKey(m.discovery, key, value, error);
  } else if (key == "flash-file" || key == "reboot-bird") {
    if (value.empty()) return bad("a path");
    (key == "flash-file" ? m.upgrade.flashFile : m.upgrade.rebootBird) = value;
  } else if (key == "ignore-data-every") {
    if (!sNumber(value, 10, 0xFFFFFFFFu, v)) return bad("0 or more");
    m.upgrade.ignoreDataEvery = static_cast<uint32_t>(v);
  } else if (key == "block-size") {
    if (!sNumber(value, 10, 65535, v)) return bad("0 to 65535");
    m.upgrade.blockSize = static_cast<uint16_t>(v);
  } else if (key == "flash-size") {
    if (!sNumber(value, 0, 256u << 20, v) || v == 0) return bad("1 to 268435456");
    m.upgrade.flashSize = static_cast<uint32_t>(v);
  } else if (key == "mute-prepare") {
    using Mute = UpgradeConfig::Mute;
    if (value == "loader") {
      m.upgrade.mutePrepare = Mute::Loader;
    } else if (value == "firmware") {
      m.upgrade.mutePrepare = Mute::Firmware;
    } else if (value == "all") {
      m.upgrade.mutePrepare = Mute::All;
    } else if (value == "none") {
      m.upgrade.mutePrepare = Mute::None;
    } else {
      return bad("loader, firmware, all or none");
    }
  } else if (key == "bad-sum-once") {
    return flag(m.upgrade.badSumOnce);
  } else if (key == "drop-on-reboot") {
    return flag(m.upgrade.dropOnReboot);
  } else if (key == "drop-on-load") {
    return flag(m.upgrade.dropOnLoad);
  } else if (key == "uei-data") {
    return flag(m.upgrade.ueiData);
  } else if (key == "pooled") {
    return flag(m.upgrade.pooled);
  } else if (key == "usb-vendor" || key == "usb-product") {
    if (value.size() > 4 || !sNumber(value, 16, 0xFFFF, v)) return bad("hex, 0 to FFFF");
    (key == "usb-vendor" ? m.usb.vendorId : m.usb.productId) = static_cast<int>(v);
  } else if (key == "usb-serial") {
    if (value.size() > 126) return bad("at most 126 characters");
    m.usb.serialText = value;
    m.usb.serialTextSet = true;
  } else if (key == "usb-max-packet") {
    if (!sNumber(value, 10, 1024, v) || v < 8) return bad("8 to 1024");
    m.usb.maxPacket = static_cast<uint16_t>(v);
  } else if (key == "stall-in" || key == "stall-out" || key == "vanish-after") {
    if (!sNumber(value, 10, 0xFFFFFFFFu, v)) return bad("0 or more");
    (key == "stall-in"    ? m.usb.stallIn
     : key == "stall-out" ? m.usb.stallOut
                          : m.usb.vanishAfter) = static_cast<uint32_t>(v);
  } else if (key == "claim-busy") {
    return flag(m.usb.claimBusy);
  } else if (key == "return-after-load") {
    return flag(m.usb.returnAfterLoad);
  } else if (key == "fingerprint") {
    // Four hex words, W0:W1:W2:W3 (no commas inside a --module spec).
    std::stringstream words(value);
    std::string word;
    size_t n = 0;
    while (std::getline(words, word, ':')) {
      if (n == 4 || word.size() > 8 || !sNumber(word, 16, 0xFFFFFFFFu, v))
        return bad("four hex words W0:W1:W2:W3");
      m.fingerprint[n++] = static_cast<uint32_t>(v);
    }
    if (n != 4) return bad("four hex words W0:W1:W2:W3");
    m.hasFingerprint = true;
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

bool parseConfigText(const std::string& text, std::vector<ModuleConfig>& out, std::string& error,
                     const ModuleConfig& defaults) {
  std::stringstream ss(text);
  std::string line;
  int lineNo = 0;
  bool inModule = false;
  while (std::getline(ss, line)) {
    ++lineNo;
    line = sTrim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line == "[module]") {
      out.push_back(defaults);
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

OptionTaken parseCommonOption(int argc, char** argv, int& i, const CommonSimFields& fields,
                              const ModuleConfig& defaults, std::string& error) {
  const std::string arg = argv[i];
  std::string value;
  auto next = [&] {
    if (i + 1 >= argc) {
      error = arg + " needs a value";
      return false;
    }
    value = argv[++i];
    return true;
  };
  if (arg == "--verbose") {
    fields.verbose = true;
  } else if (arg == "--module") {
    if (!next()) return OptionTaken::Bad;
    fields.modules.push_back(defaults);
    if (!parseModuleSpec(value, fields.modules.back(), error)) return OptionTaken::Bad;
  } else if (arg == "--config") {
    if (!next()) return OptionTaken::Bad;
    std::ifstream in(value);
    if (!in) {
      error = "cannot read " + value;
      return OptionTaken::Bad;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (!parseConfigText(text.str(), fields.modules, error, defaults)) {
      error = value + ": " + error;
      return OptionTaken::Bad;
    }
  } else if (arg == "--record") {
    if (!next()) return OptionTaken::Bad;
    fields.recordPath = value;
  } else if (arg == "--lifetime") {
    uint64_t v = 0;
    if (!next()) return OptionTaken::Bad;
    if (!sNumber(value, 10, 86400, v) || v == 0) {
      error = "--lifetime needs 1 to 86400 seconds";
      return OptionTaken::Bad;
    }
    fields.lifetimeS = static_cast<uint32_t>(v);
  } else {
    return OptionTaken::No;
  }
  return OptionTaken::Yes;
}

bool parseCommandLine(int argc, char** argv, SimOptions& options, std::string& error) {
  const CommonSimFields common{options.modules, options.recordPath, options.verbose, options.lifetimeS};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return true;
    }
    const OptionTaken taken = parseCommonOption(argc, argv, i, common, ModuleConfig(), error);
    if (taken == OptionTaken::Bad) return false;
    if (taken == OptionTaken::Yes) continue;
    if (arg == "--discovery") {
      if (!next(options.discovery)) return false;
    } else if (arg == "--dev-dir") {
      if (!next(options.devDir)) return false;
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
    if (!checkStorage(m.storage, error)) return false;
  }
  return checkModuleNetworks(options.modules, error);
}

}  // namespace sim
