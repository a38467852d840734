// Runs a program to completion for end-to-end tests: its standard output,
// standard error and exit status are collected, and a program that overstays
// its time-out is killed by its pid.
#ifndef CORVALITH_TESTS_SUPPORT_RUNPROCESS_H
#define CORVALITH_TESTS_SUPPORT_RUNPROCESS_H

#include <string>
#include <vector>

#include "support/ChildProcess.h"

struct ProcessOptions : ChildEnvironment {
  // Written to the program's standard input, which is then closed.
  std::string stdinText;
  // Standard error joins standard output (in out), keeping their order.
  bool mergeStderr = false;
  // Time-out in ms; the program is killed (SIGKILL) when it runs longer.
  int timeoutMs = 10000;
};

struct ProcessResult {
  std::string out;
  std::string err;
  int exitCode = -1;      // -1 when the program did not exit normally
  int signal = 0;         // the signal that ended it, else 0
  bool timedOut = false;  // killed because of the time-out
  bool started = false;   // false when the program could not be run at all
};

// path is run as given (no PATH search); args exclude the program name, which
// is path itself.
ProcessResult RunProcess(const std::string& path, const std::vector<std::string>& args,
                         const ProcessOptions& options = ProcessOptions());

#endif
