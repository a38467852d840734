// corvalith-lpc-rom as a child of a test or benchmark: started and waited for
// until its "READY PTY-PATH" line, stopped by its pid, and its state dump
// (flash and commands received) read back.
#ifndef CORVALITH_TESTS_SUPPORT_LPCROMPROCESS_H
#define CORVALITH_TESTS_SUPPORT_LPCROMPROCESS_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

struct LpcRomState {
  std::vector<uint8_t> flash;
  std::vector<std::string> commands;
};

class LpcRomProcess {
 public:
  static constexpr int kStartTimeoutMs = 10000;
  static std::string binary();

  // Runs the ROM with args plus --state stateFile. True once READY arrived.
  bool start(const std::vector<std::string>& args, const std::string& stateFile);
  // SIGTERM (the ROM then writes its state), reaped by pid; the status.
  int stop() { return child_.stop(); }
  const std::string& pty() const { return pty_; }
  pid_t pid() const { return child_.pid(); }

  // The state file as the ROM last wrote it; false when it cannot be read.
  bool readState(LpcRomState* state) const;

 private:
  ChildProcess child_;
  std::string pty_;
  std::string stateFile_;
};

#endif
