// corvalith-sdp-rom: a simulated i.MX boot ROM speaking the Serial Download
// Protocol on a pseudo-terminal or as an emulated USB HID device, so the
// recovery loader and other SDP hosts can be run without a processor. Its
// decoding is its own: nothing comes from the client it checks.
#include <signal.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "sim/SimConfig.h"
#include "sim/StandInSignals.h"
#include "sim/sdprom/HidBed.h"
#include "sim/sdprom/SdpRom.h"
#include "sim/sdprom/SerialRom.h"

namespace {

using sdprom::RomOptions;

constexpr uint32_t kDefaultUidLow = 0x0A1B2C3D;
constexpr uint32_t kDefaultUidHigh = 0x4E5F6071;
constexpr uint32_t kUidLowRegister = 0x401F4410;
constexpr uint32_t kUidHighRegister = 0x401F4420;
// The serial number a recovery loader has before it knows its device.
constexpr uint32_t kDefaultLoaderSerial = 0xDEADDEAD;
constexpr int kBadCommandLine = 2;
constexpr int kBedBadCommandLine = 125;

enum class Mode { Serial, Hid, Usb };

struct Options {
  Mode mode = Mode::Serial;
  bool fingerprintSet = false;
  sdprom::BedOptions bed;
};

void sUsage(FILE* out) {
  std::fprintf(
      out,
      "usage: corvalith-sdp-rom [options] [faults]                  (pseudo-terminal)\n"
      "       corvalith-sdp-rom [options] [faults] --hid -- COMMAND ARGS...\n"
      "       corvalith-sdp-rom [options] [faults] --usb -- COMMAND ARGS...\n"
      "A simulated i.MX boot ROM (Serial Download Protocol).\n"
      "Without --hid or --usb it serves a pseudo-terminal: prints \"READY PTY-PATH\" once\n"
      "it serves; SIGTERM or SIGINT ends it.\n"
      "  --hid -- COMMAND ...  run COMMAND inside an emulated USB bus (umockdev test bed) on\n"
      "                        which the ROM is USB HID device 1FC9:0130 behind /dev/hidraw0:\n"
      "                        report 1 takes a 16-byte command, report 2 up to 1024 data\n"
      "                        bytes; answers come as report 3 (the 4-byte security word) and\n"
      "                        reports 4 (64 bytes: a status word or register data)\n"
      "  --usb -- COMMAND ...  serve the pseudo-terminal and run COMMAND inside an emulated USB\n"
      "                        bus; COMMAND finds the terminal in $CORVALITH_SDP_PTY (and at\n"
      "                        --link PATH when given)\n"
      "  In both forms the exit status is COMMAND's (128 + N when signal N ended it; 125 when\n"
      "  the bed cannot be built or the command line is bad, 127 when COMMAND cannot run),\n"
      "  and a JUMP_ADDRESS that is taken starts the recovery loader: it enumerates on the\n"
      "  bus as a module (vendor 24FF) running the module protocol and upgrade entity of\n"
      "  corvalith-usb-sim, already in its loader stage (firmware blocks go to --loader-flash\n"
      "  without INIT and LOAD; after a REBOOT that follows a write it runs the new firmware),\n"
      "  and answers system option 39, subindex j, with fingerprint word 3-j. In the HID form\n"
      "  the ROM leaves the bus then; on the terminal it stays.\n"
      "options:\n"
      "  --link PATH           symbolic link to the pseudo-terminal\n"
      "  --register ADDR=VALUE value of a 32-bit register (the unique id fuses are 0x401F4410\n"
      "                        and 0x401F4420, by default 0x0A1B2C3D and 0x4E5F6071)\n"
      "  --ram START:SIZE      a RAM region that WRITE_FILE and READ_REGISTER reach (repeatable;\n"
      "                        default 0x00900000:0x20000, 0x20000000:0x80000 and 0x20200000:0x80000)\n"
      "  --jump-status WORD    status word sent after the security word of a JUMP_ADDRESS answer\n"
      "  --state FILE          JSON dump (RAM written, commands, registers, jump address, and\n"
      "                        the loader's serial and whether it started) on exit and on SIGUSR1\n"
      "  --loader-serial HEX   serial number of the recovery loader (default DEADDEAD)\n"
      "  --fingerprint W0,W1,W2,W3  the chip's unique id as the loader reports it (hex words;\n"
      "                        default: the two fuse words, then 0, 0)\n"
      "  --loader-flash FILE   the loader's flash as a raw image, rewritten after every WRITE\n"
      "                        and at the end (the flash-file key of corvalith-sim)\n"
      "  --loader-module SPEC  more module keys for the loader, as corvalith-usb-sim --module\n"
      "                        takes them (reboot-bird=..., name=..., faults)\n"
      "  --lifetime SECS       end COMMAND (SIGTERM, SIGKILL 3 s later) after SECS seconds\n"
      "                        (default 3600)\n"
      "faults:\n"
      "  --silent              answer nothing at all\n"
      "  --early-answer N      answer 0x33333333 during WRITE_FILE once N data bytes came\n"
      "  --final-status WORD   answer WORD instead of 0x88888888 when WRITE_FILE completes\n"
      "  --closed              closed security mode: security word 0x12343412, jumps refused\n");
}

bool sNumber(const std::string& text, unsigned long long* value, int base = 0) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoull(text.c_str(), &end, base);
  return errno == 0 && *end == '\0';
}

bool sWord(const std::string& text, uint32_t* word, int base = 0) {
  unsigned long long v = 0;
  if (!sNumber(text, &v, base) || v > 0xFFFFFFFFull) return false;
  *word = static_cast<uint32_t>(v);
  return true;
}

bool sFingerprint(const std::string& text, sim::ModuleConfig* loader) {
  std::stringstream words(text);
  std::string word;
  size_t n = 0;
  while (std::getline(words, word, ',')) {
    if (n == 4 || !sWord(word, &loader->fingerprint[n++], 16)) return false;
  }
  loader->hasFingerprint = n == 4;
  return loader->hasFingerprint;
}

bool sParseOptions(int argc, char** argv, Options* o) {
  RomOptions& rom = o->bed.rom;
  sim::ModuleConfig& loader = o->bed.loader;
  bool ownRam = false;
  rom.registers[kUidLowRegister] = kDefaultUidLow;
  rom.registers[kUidHighRegister] = kDefaultUidHigh;
  loader.serial = kDefaultLoaderSerial;
  loader.name = "Recovery loader";
  // It restarts into its firmware by leaving the bus, as corvalith-usb-sim's
  // modules do.
  loader.upgrade.dropOnLoad = true;
  loader.upgrade.startInLoader = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      sUsage(stdout);
      std::exit(0);
    }
    if (a == "--") {
      for (++i; i < argc; ++i) o->bed.command.push_back(argv[i]);
      break;
    }
    if (a == "--silent") {
      rom.silent = true;
      continue;
    }
    if (a == "--closed") {
      rom.closed = true;
      continue;
    }
    if (a == "--hid" || a == "--usb") {
      if (o->mode != Mode::Serial) return false;
      o->mode = a == "--hid" ? Mode::Hid : Mode::Usb;
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    std::string error;
    if (a == "--link") {
      o->bed.link = v;
    } else if (a == "--state") {
      o->bed.stateFile = v;
    } else if (a == "--register") {
      size_t eq = v.find('=');
      uint32_t address = 0, value = 0;
      if (eq == std::string::npos || !sWord(v.substr(0, eq), &address) || !sWord(v.substr(eq + 1), &value))
        return false;
      rom.registers[address & ~3u] = value;
    } else if (a == "--ram") {
      size_t colon = v.find(':');
      uint32_t start = 0;
      unsigned long long size = 0;
      if (colon == std::string::npos || !sWord(v.substr(0, colon), &start) ||
          !sNumber(v.substr(colon + 1), &size) || size == 0 || start + size > 0x100000000ull)
        return false;
      rom.ram.push_back({start, size});
      ownRam = true;
    } else if (a == "--jump-status") {
      if (!sWord(v, &rom.jumpStatus)) return false;
      rom.hasJumpStatus = true;
    } else if (a == "--early-answer") {
      unsigned long long n = 0;
      if (!sNumber(v, &n)) return false;
      rom.earlyAfterBytes = static_cast<long long>(n);
    } else if (a == "--final-status") {
      if (!sWord(v, &rom.finalStatus)) return false;
      rom.hasFinalStatus = true;
    } else if (a == "--loader-serial") {
      if (!sim::applyModuleKey(loader, "serial", v, error)) return false;
    } else if (a == "--fingerprint") {
      if (!sFingerprint(v, &loader)) return false;
      o->fingerprintSet = true;
    } else if (a == "--loader-flash") {
      loader.upgrade.flashFile = v;
    } else if (a == "--loader-module") {
      if (!sim::parseModuleSpec(v, loader, error)) {
        std::fprintf(stderr, "corvalith-sdp-rom: --loader-module: %s\n", error.c_str());
        return false;
      }
    } else if (a == "--lifetime") {
      unsigned long long s = 0;
      if (!sNumber(v, &s, 10) || s == 0 || s > 86400) return false;
      o->bed.lifetimeS = static_cast<uint32_t>(s);
    } else {
      return false;
    }
  }
  if (!ownRam) rom.ram = {{0x00900000, 0x20000}, {0x20000000, 0x80000}, {0x20200000, 0x80000}};
  if (!o->fingerprintSet && !loader.hasFingerprint) {
    loader.fingerprint = {rom.registers[kUidLowRegister], rom.registers[kUidHighRegister], 0, 0};
    loader.hasFingerprint = true;
  }
  return (o->mode == Mode::Serial) == o->bed.command.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!sParseOptions(argc, argv, &options)) {
    sUsage(stderr);
    // The bed forms keep the status range of the command they run.
    bool bed = false;
    for (int i = 1; i < argc; ++i)
      bed = bed || std::string(argv[i]) == "--hid" || std::string(argv[i]) == "--usb";
    return bed ? kBedBadCommandLine : kBadCommandLine;
  }
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (options.mode != Mode::Serial) {
    sdprom::EnterBed(argv);
    return options.mode == Mode::Hid ? sdprom::ServeHid(options.bed) : sdprom::ServeSerialOnBus(options.bed);
  }
  sim::InstallSignals();
  sdprom::SerialHooks hooks;
  hooks.stop = [] { return sim::gStop != 0; };
  hooks.takeDump = [] {
    if (!sim::gDump) return false;
    sim::gDump = 0;
    return true;
  };
  hooks.ready = [](const std::string& pty) {
    std::printf("READY %s\n", pty.c_str());
    std::fflush(stdout);
  };
  return sdprom::ServeSerial(options.bed.rom, options.bed.link, options.bed.stateFile, hooks);
}
