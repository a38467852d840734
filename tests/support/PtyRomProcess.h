// A stand-in ROM that serves a pseudo-terminal, as a child of a test or
// benchmark: started and waited for until its "READY PTY-PATH" line, stopped
// by its pid. The ROM-specific helpers add where the binary is and how its
// state dump reads.
#ifndef CORVALITH_TESTS_SUPPORT_PTYROMPROCESS_H
#define CORVALITH_TESTS_SUPPORT_PTYROMPROCESS_H

#include <string>
#include <vector>

#include "support/ChildProcess.h"

class PtyRomProcess {
 public:
  static constexpr int kStartTimeoutMs = 10000;

  // Runs binary with args plus --state stateFile. True once READY arrived.
  bool start(const std::string& binary, const std::vector<std::string>& args, const std::string& stateFile);
  // SIGTERM (the ROM then writes its state), reaped by pid; the status.
  int stop() { return child_.stop(); }
  const std::string& pty() const { return pty_; }
  pid_t pid() const { return child_.pid(); }
  const std::string& stateFile() const { return stateFile_; }

 private:
  ChildProcess child_;
  std::string pty_;
  std::string stateFile_;
};

#endif
