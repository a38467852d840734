// corvalith-lpc-rom as a child of a test or benchmark: started and waited for
// until its "READY PTY-PATH" line, stopped by its pid, and its state dump
// (flash and commands received) read back.
#ifndef CORVALITH_TESTS_SUPPORT_LPCROMPROCESS_H
#define CORVALITH_TESTS_SUPPORT_LPCROMPROCESS_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/PtyRomProcess.h"

struct LpcRomState {
  std::vector<uint8_t> flash;
  std::vector<std::string> commands;
};

class LpcRomProcess : public PtyRomProcess {
 public:
  static std::string binary();

  // Runs the ROM with args plus --state stateFile. True once READY arrived.
  bool start(const std::vector<std::string>& args, const std::string& stateFile) {
    return PtyRomProcess::start(binary(), args, stateFile);
  }

  // The state file as the ROM last wrote it; false when it cannot be read.
  bool readState(LpcRomState* state) const;
};

#endif
