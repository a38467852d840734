#include "sim/sdprom/SerialRom.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "sim/StandInPty.h"

namespace sdprom {
namespace {

using Clock = std::chrono::steady_clock;

// Longest a run may last, and the poll interval of the serving loop.
constexpr int kMaxLifetimeS = 3600;
constexpr int kPollMs = 100;
constexpr size_t kReadChunk = 4096;
// The host's "are you there" of the UART boot mode, echoed by the ROM.
constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};

// Serial framing: commands of 16 bytes, data raw, answers raw and back to
// back. Returns the bytes of input used.
size_t sFeedSerial(Rom& rom, const std::vector<uint8_t>& in, bool silent, std::deque<uint8_t>* out,
                   const SerialHooks& hooks) {
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
    } else if (left >= kCommandSize) {
      // Unknown bytes are dropped one at a time until a command lines up.
      if (Rom::knownType(in.data() + at)) {
        rom.onCommand(in.data() + at);
        at += kCommandSize;
        if (hooks.afterCommand) hooks.afterCommand(rom);
      } else {
        ++at;
      }
    } else {
      break;
    }
    for (const Answer& a : rom.answers()) out->insert(out->end(), a.bytes.begin(), a.bytes.end());
    rom.answers().clear();
  }
  return at;
}

bool sWriteState(const Rom& rom, const std::string& stateFile, const SerialHooks& hooks) {
  if (stateFile.empty()) return true;
  if (rom.writeState(stateFile, hooks.extraState ? hooks.extraState() : std::string())) return true;
  std::perror("corvalith-sdp-rom: --state");
  return false;
}

}  // namespace

int ServeSerial(const RomOptions& options, const std::string& link, const std::string& stateFile,
                const SerialHooks& hooks) {
  sim::StandInPty pty;
  if (!pty.open("corvalith-sdp-rom", link)) return 1;
  const int master = pty.master();
  const std::string& path = pty.path();

  Rom rom(options);
  if (hooks.ready) hooks.ready(path);

  std::vector<uint8_t> in;
  std::deque<uint8_t> out;
  const auto endOfLife = Clock::now() + std::chrono::seconds(kMaxLifetimeS);
  while (!hooks.stop() && Clock::now() < endOfLife) {
    struct pollfd p = {master, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
    int ready = poll(&p, 1, kPollMs);
    if (hooks.takeDump && hooks.takeDump()) (void)sWriteState(rom, stateFile, hooks);
    if (ready > 0 && (p.revents & POLLIN)) {
      uint8_t buffer[kReadChunk];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) {
        in.insert(in.end(), buffer, buffer + n);
        in.erase(in.begin(),
                 in.begin() + static_cast<std::ptrdiff_t>(sFeedSerial(rom, in, options.silent, &out, hooks)));
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
  int status = sWriteState(rom, stateFile, hooks) ? 0 : 1;
  if (!link.empty()) unlink(link.c_str());
  return status;
}

}  // namespace sdprom
