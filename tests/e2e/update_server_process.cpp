#include "update_server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kStopLimit = std::chrono::seconds(5);

const char* sServerPath() {
  return CV_BINARY_DIR "/server/corvalith-update-server";
}

// Reaps pid within the limit; false when it is still running.
bool sReap(pid_t pid, Clock::duration limit, int* status) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    const pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (Clock::now() >= deadline) return false;
    struct timespec pause = {0, 2000000};  // 2 ms between checks of a bounded wait
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

UpdateServerProcess::UpdateServerProcess(const std::string& root, const std::string& log,
                                         const std::vector<std::string>& extraArgs)
    : logPath(log) {
  std::vector<std::string> args = {sServerPath(), "--root", root, "--port", "0", "--log", logPath};
  for (const std::string& a : extraArgs) {
    args.push_back(a);
    if (a == "--tls") tls = true;
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return;
  }

  // The LISTEN line comes once the port is bound and the stop signals are
  // handled, so the server is ready for requests and for SIGTERM.
  const Clock::time_point deadline = Clock::now() + kStartLimit;
  while (output.find('\n') == std::string::npos && Clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    struct pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left > 0 ? left : 0)) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  const std::string prefix = "LISTEN 127.0.0.1:";
  if (output.compare(0, prefix.size(), prefix) == 0) port = std::atoi(output.c_str() + prefix.size());
}

UpdateServerProcess::~UpdateServerProcess() {
  Stop();
}

int UpdateServerProcess::Stop() {
  if (pid <= 0) return -1;
  int status = 0;
  kill(pid, SIGTERM);
  const bool ended = sReap(pid, kStopLimit, &status);
  if (!ended) {
    kill(pid, SIGKILL);
    sReap(pid, kStopLimit, &status);
  }
  pid = -1;
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

RefusingPort::RefusingPort() {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
}

RefusingPort::~RefusingPort() {
  if (fd >= 0) close(fd);
}

std::string RefusingPort::url() const {
  return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
}
