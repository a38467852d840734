// corvalith-sdp-rom: a simulated i.MX boot ROM speaking the Serial Download
// Protocol on a pseudo-terminal, so the recovery loader and other SDP hosts
// can be run without a processor. Its decoding is its own: nothing comes from the client it checks.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "sim/sdprom/HidBed.h"
#include "sim/sdprom/SdpRom.h"
#include "sim/sdprom/Signals.h"

namespace {

using Clock = std::chrono::steady_clock;
using sdprom::Rom;
using sdprom::RomOptions;

// Longest a run may last, and the poll interval of the serving loop.
constexpr int kMaxLifetimeS = 3600;
constexpr int kPollMs = 100;
constexpr size_t kReadChunk = 4096;
// The host's "are you there" of the UART boot mode, echoed by the ROM.
constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};
constexpr uint32_t kDefaultUidLow = 0x0A1B2C3D;
constexpr uint32_t kDefaultUidHigh = 0x4E5F6071;
constexpr uint32_t kUidLowRegister = 0x401F4410;
constexpr uint32_t kUidHighRegister = 0x401F4420;

struct Options {
  std::string link;
  std::string stateFile;
  bool hid = false;
  std::vector<std::string> command;
  RomOptions rom;
};

void sUsage(FILE* out) {
  std::fprintf(
      out,
      "usage: corvalith-sdp-rom [--link PATH] [--register ADDR=VALUE]... [--ram START:SIZE]...\n"
      "                         [--jump-status WORD] [--state FILE] [faults...] [--hid -- COMMAND ARGS...]\n"
      "A simulated i.MX boot ROM (Serial Download Protocol) on a pseudo-terminal. Prints\n"
      "\"READY PTY-PATH\" once it serves; SIGTERM or SIGINT ends it.\n"
      "  --link PATH           symbolic link to the pseudo-terminal\n"
      "  --register ADDR=VALUE value of a 32-bit register (the unique id fuses are 0x401F4410\n"
      "                        and 0x401F4420, by default 0x0A1B2C3D and 0x4E5F6071)\n"
      "  --ram START:SIZE      a RAM region that WRITE_FILE and READ_REGISTER reach (repeatable;\n"
      "                        default 0x00900000:0x20000, 0x20000000:0x80000 and 0x20200000:0x80000)\n"
      "  --jump-status WORD    status word sent after the security word of a JUMP_ADDRESS answer\n"
      "  --state FILE          JSON dump (RAM written, commands, registers, jump address) on exit\n"
      "                        and on SIGUSR1\n"
      "  --hid -- COMMAND ...  USB HID device 1FC9:0130 on an emulated /dev/hidraw node (not built\n"
      "                        yet: exits 1)\n"
      "faults:\n"
      "  --silent              answer nothing at all\n"
      "  --early-answer N      answer 0x33333333 during WRITE_FILE once N data bytes came\n"
      "  --final-status WORD   answer WORD instead of 0x88888888 when WRITE_FILE completes\n"
      "  --closed              closed security mode: security word 0x12343412, jumps refused\n");
}

bool sNumber(const std::string& text, unsigned long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

bool sWord(const std::string& text, uint32_t* word) {
  unsigned long long v = 0;
  if (!sNumber(text, &v) || v > 0xFFFFFFFFull) return false;
  *word = static_cast<uint32_t>(v);
  return true;
}

bool sParseOptions(int argc, char** argv, Options* o) {
  bool ownRam = false;
  o->rom.registers[kUidLowRegister] = kDefaultUidLow;
  o->rom.registers[kUidHighRegister] = kDefaultUidHigh;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      sUsage(stdout);
      std::exit(0);
    }
    if (a == "--") {
      for (++i; i < argc; ++i) o->command.push_back(argv[i]);
      break;
    }
    if (a == "--silent") {
      o->rom.silent = true;
      continue;
    }
    if (a == "--closed") {
      o->rom.closed = true;
      continue;
    }
    if (a == "--hid") {
      o->hid = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (a == "--link") {
      o->link = v;
    } else if (a == "--state") {
      o->stateFile = v;
    } else if (a == "--register") {
      size_t eq = v.find('=');
      uint32_t address = 0, value = 0;
      if (eq == std::string::npos || !sWord(v.substr(0, eq), &address) || !sWord(v.substr(eq + 1), &value))
        return false;
      o->rom.registers[address & ~3u] = value;
    } else if (a == "--ram") {
      size_t colon = v.find(':');
      uint32_t start = 0;
      unsigned long long size = 0;
      if (colon == std::string::npos || !sWord(v.substr(0, colon), &start) ||
          !sNumber(v.substr(colon + 1), &size) || size == 0 || start + size > 0x100000000ull)
        return false;
      o->rom.ram.push_back({start, size});
      ownRam = true;
    } else if (a == "--jump-status") {
      if (!sWord(v, &o->rom.jumpStatus)) return false;
      o->rom.hasJumpStatus = true;
    } else if (a == "--early-answer") {
      unsigned long long n = 0;
      if (!sNumber(v, &n)) return false;
      o->rom.earlyAfterBytes = static_cast<long long>(n);
    } else if (a == "--final-status") {
      if (!sWord(v, &o->rom.finalStatus)) return false;
      o->rom.hasFinalStatus = true;
    } else {
      return false;
    }
  }
  if (!ownRam) o->rom.ram = {{0x00900000, 0x20000}, {0x20000000, 0x80000}, {0x20200000, 0x80000}};
  return o->hid == !o->command.empty();
}

// Serial framing: commands of 16 bytes, data raw, answers raw and back to
// back. Returns the bytes of input used.
size_t sFeedSerial(Rom& rom, const std::vector<uint8_t>& in, bool silent, std::deque<uint8_t>* out) {
  size_t at = 0;
  while (at < in.size()) {
    size_t left = in.size() - at;
    if (rom.dataExpected()) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(rom.dataExpected(), left));
      rom.onData(in.data() + at, n);
      at += n;
    } else if (left >= sizeof kAssociation &&
               std::memcmp(in.data() + at, kAssociation, sizeof kAssociation) == 0) {
      if (!silent) out->insert(out->end(), std::begin(kAssociation), std::end(kAssociation));
      at += sizeof kAssociation;
    } else if (left >= sdprom::kCommandSize) {
      // Unknown bytes are dropped one at a time until a command lines up.
      if (Rom::knownType(in.data() + at)) {
        rom.onCommand(in.data() + at);
        at += sdprom::kCommandSize;
      } else {
        ++at;
      }
    } else {
      break;
    }
    for (const sdprom::Answer& a : rom.answers()) out->insert(out->end(), a.bytes.begin(), a.bytes.end());
    rom.answers().clear();
  }
  return at;
}

int sServeSerial(const Options& options) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("corvalith-sdp-rom: pseudo-terminal");
    return 1;
  }
  std::string path = ptsname(master);
  // Holding the far side open keeps the pty alive between clients, and raw
  // mode keeps the line discipline from echoing or translating.
  int keeper = open(path.c_str(), O_RDWR | O_NOCTTY);
  struct termios raw;
  if (keeper < 0 || tcgetattr(keeper, &raw) != 0) {
    std::perror("corvalith-sdp-rom: pseudo-terminal");
    return 1;
  }
  cfmakeraw(&raw);
  cfsetispeed(&raw, B115200);
  cfsetospeed(&raw, B115200);
  tcsetattr(keeper, TCSANOW, &raw);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  if (!options.link.empty()) {
    unlink(options.link.c_str());
    if (symlink(path.c_str(), options.link.c_str()) != 0) {
      std::perror("corvalith-sdp-rom: --link");
      return 1;
    }
  }

  Rom rom(options.rom);
  std::printf("READY %s\n", path.c_str());
  std::fflush(stdout);

  std::vector<uint8_t> in;
  std::deque<uint8_t> out;
  const auto endOfLife = Clock::now() + std::chrono::seconds(kMaxLifetimeS);
  while (!sdprom::gStop && Clock::now() < endOfLife) {
    struct pollfd p = {master, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
    int ready = poll(&p, 1, kPollMs);
    if (sdprom::gDump) {
      sdprom::gDump = 0;
      if (!options.stateFile.empty() && !rom.writeState(options.stateFile))
        std::perror("corvalith-sdp-rom: --state");
    }
    if (ready > 0 && (p.revents & POLLIN)) {
      uint8_t buffer[kReadChunk];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) {
        in.insert(in.end(), buffer, buffer + n);
        in.erase(in.begin(),
                 in.begin() + static_cast<std::ptrdiff_t>(sFeedSerial(rom, in, options.rom.silent, &out)));
      }
    }
    while (!out.empty()) {
      uint8_t chunk[kReadChunk];
      size_t n = 0;
      for (auto it = out.begin(); it != out.end() && n < sizeof chunk; ++it) chunk[n++] = *it;
      ssize_t written = write(master, chunk, n);
      if (written <= 0) break;
      out.erase(out.begin(), out.begin() + written);
    }
  }
  int status = 0;
  if (!options.stateFile.empty() && !rom.writeState(options.stateFile)) {
    std::perror("corvalith-sdp-rom: --state");
    status = 1;
  }
  if (!options.link.empty()) unlink(options.link.c_str());
  close(keeper);
  close(master);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!sParseOptions(argc, argv, &options)) {
    sUsage(stderr);
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  sdprom::InstallSignals();
  if (options.hid) return sdprom::ServeHid(options.rom, options.stateFile, options.command);
  return sServeSerial(options);
}
