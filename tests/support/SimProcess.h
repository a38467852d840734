// corvalith-sim as a child of a test or benchmark: started and waited for
// until its READY line, its announced endpoints read from the lines before,
// and stopped by its pid.
#ifndef CORVALITH_TESTS_SUPPORT_SIMPROCESS_H
#define CORVALITH_TESTS_SUPPORT_SIMPROCESS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

class SimProcess {
 public:
  static std::string binary();

  // Runs the simulator with args; env entries are set in the child only.
  // True once READY arrived within timeoutMs; lines() then holds every line
  // printed before it.
  bool start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
             int timeoutMs = 10000);

  // SIGTERM, then SIGKILL when it has not ended within 3 s. The exit status
  // as waitpid reports it, or -1 when there was no process.
  int stop() { return child_.stop(); }

  // Waits up to ms for the simulator to end by itself; its exit status as
  // waitpid reports it, or -1 when it is still running.
  int waitExit(int ms);

  pid_t pid() const { return child_.pid(); }
  const std::vector<std::string>& lines() const { return lines_; }

  // The TCP port announced for a serial number ("LISTEN tcp 127.0.0.1:P serial=S"), or 0.
  uint16_t tcpPort(const std::string& serial) const;
  // The address or path announced for an endpoint kind and serial number.
  std::string endpoint(const std::string& kind, const std::string& serial) const;

 private:
  ChildProcess child_;
  std::vector<std::string> lines_;
};

#endif
