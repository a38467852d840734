#include "support/UpdateServerProcess.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

namespace {

constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kStopLimit = std::chrono::seconds(5);

}  // namespace

UpdateServerProcess::UpdateServerProcess(const std::string& root, const std::string& log,
                                         const std::vector<std::string>& extraArgs)
    : logPath(log) {
  std::vector<std::string> args = {"--root", root, "--port", "0", "--log", logPath};
  for (const std::string& a : extraArgs) {
    args.push_back(a);
    if (a == "--tls") tls = true;
  }
  SpawnOptions options;
  options.stderrTo = SpawnOptions::Stderr::Merge;
  child.spawn(CV_BINARY_DIR "/server/corvalith-update-server", args, options);
  // The LISTEN line comes once the port is bound and the stop signals are
  // handled, so the server is ready for requests and for SIGTERM.
  std::string line;
  if (child.readLine(&line, ChildProcess::Clock::now() + kStartLimit)) {
    output = line + "\n" + child.pendingOutput();
  } else {
    output = child.pendingOutput();
  }
  child.closeOutput();
  const std::string prefix = "LISTEN 127.0.0.1:";
  if (output.compare(0, prefix.size(), prefix) == 0) port = std::atoi(output.c_str() + prefix.size());
}

UpdateServerProcess::~UpdateServerProcess() {
  Stop();
}

int UpdateServerProcess::Stop() {
  const int status = child.stop(kStopLimit);
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string UpdateServerProcess::url() const {
  return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}

std::vector<std::string> UpdateServerProcess::requests() const {
  std::vector<std::string> lines;
  std::ifstream in(logPath);
  std::string line;
  for (size_t i = 0; std::getline(in, line); ++i) {
    if (i >= skipLines) lines.push_back(line);
  }
  return lines;
}

void UpdateServerProcess::clearRequests() {
  std::ifstream in(logPath);
  std::string line;
  size_t count = 0;
  while (std::getline(in, line)) ++count;
  skipLines = count;
}
