#include "support/PtyRomProcess.h"

#include <chrono>

bool PtyRomProcess::start(const std::string& binary, const std::vector<std::string>& args,
                          const std::string& stateFile) {
  std::vector<std::string> all = args;
  all.push_back("--state");
  all.push_back(stateFile);
  stateFile_ = stateFile;
  SpawnOptions options;
  options.stderrTo = SpawnOptions::Stderr::Inherit;
  if (!child_.spawn(binary, all, options)) return false;
  const auto deadline = ChildProcess::Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  std::string line;
  if (!child_.readLine(&line, deadline) || line.rfind("READY ", 0) != 0) return false;
  pty_ = line.substr(6);
  return true;
}
