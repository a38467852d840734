// corvalith-sdp-rom as a child of a test: started and waited for until its
// "READY PTY-PATH" line, stopped by its pid, and its JSON state dump (RAM
// written, commands received, jump address) read back.
#ifndef CORVALITH_TESTS_SUPPORT_SDPROMPROCESS_H
#define CORVALITH_TESTS_SUPPORT_SDPROMPROCESS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/PtyRomProcess.h"

struct SdpRomState {
  std::string security;
  std::vector<std::string> commands;  // command names in arrival order
  uint64_t dataBytes = 0;
  bool jumped = false;
  uint32_t jumpAddress = 0;
  // Runs of written RAM by start address.
  std::map<uint32_t, std::vector<uint8_t>> ram;
};

// Reads a state dump; false when the text is not one.
bool ParseSdpRomState(const std::string& text, SdpRomState* state);

class SdpRomProcess : public PtyRomProcess {
 public:
  static std::string binary();

  // Runs the ROM with args plus --state stateFile. True once READY arrived.
  bool start(const std::vector<std::string>& args, const std::string& stateFile) {
    return PtyRomProcess::start(binary(), args, stateFile);
  }

  // The state file as the ROM last wrote it; false when it cannot be read.
  bool readState(SdpRomState* state) const;
};

#endif
