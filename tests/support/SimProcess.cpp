#include "support/SimProcess.h"

#include <cstdlib>

std::string SimProcess::binary() {
  return std::string(CV_BINARY_DIR) + "/sim/corvalith-sim";
}

bool SimProcess::start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                       int timeoutMs) {
  SpawnOptions options;
  options.env = env;
  // Its complaints about a bad command line belong in the test's output.
  options.stderrTo = SpawnOptions::Stderr::Inherit;
  if (!child_.spawn(binary(), args, options)) return false;
  const auto deadline = ChildProcess::Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  while (child_.readLine(&line, deadline)) {
    if (line == "READY") return true;
    lines_.push_back(line);
  }
  return false;
}

int SimProcess::waitExit(int ms) {
  int status = -1;
  return child_.wait(ChildProcess::Clock::now() + std::chrono::milliseconds(ms), &status) ? status : -1;
}

uint16_t SimProcess::tcpPort(const std::string& serial) const {
  const std::string where = endpoint("tcp", serial);
  const size_t colon = where.rfind(':');
  return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(where.c_str() + colon + 1));
}

std::string SimProcess::endpoint(const std::string& kind, const std::string& serial) const {
  const std::string head = "LISTEN " + kind + " ";
  const std::string tail = " serial=" + serial;
  for (const std::string& l : lines_) {
    if (l.rfind(head, 0) == 0 && l.size() > head.size() + tail.size() &&
        l.compare(l.size() - tail.size(), tail.size(), tail) == 0) {
      return l.substr(head.size(), l.size() - head.size() - tail.size());
    }
  }
  return "";
}
