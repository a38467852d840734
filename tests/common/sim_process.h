// Starts corvalith-sim for a test, waits for its READY line (no sleeping) and
// stops it by its pid. Header-only so both tests/common and tests/sim use it.
#ifndef CORVALITH_TESTS_COMMON_SIM_PROCESS_H
#define CORVALITH_TESTS_COMMON_SIM_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

class SimProcess {
 public:
  static std::string binary() { return std::string(CV_BINARY_DIR) + "/sim/corvalith-sim"; }

  SimProcess() = default;
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess() { stop(); }

  // Runs the simulator with args; env entries are set in the child only.
  // True once READY arrived within timeoutMs; lines() then holds every line
  // printed before it.
  bool start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
             int timeoutMs = 10000) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argStrings{binary()};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argStrings) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      // Never outlive a crashed test.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (const auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
      dup2(out[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
      close(out[0]);
      return false;
    }
    fd_ = out[0];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string buffer;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count());
      if (poll(&p, 1, left > 0 ? left : 0) <= 0) continue;
      char chunk[512];
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
      size_t nl;
      while ((nl = buffer.find('\n')) != std::string::npos) {
        std::string line = buffer.substr(0, nl);
        buffer.erase(0, nl + 1);
        if (line == "READY") return true;
        lines_.push_back(line);
      }
    }
    return false;
  }

  // SIGTERM, then SIGKILL when it has not ended within 3 s. The exit status
  // as waitpid reports it, or -1 when there was no process.
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    bool reaped = false;
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped = true;
        break;
      }
      struct timespec pause = {0, 2000000};  // 2 ms between checks of a bounded wait
      nanosleep(&pause, nullptr);
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return status;
  }

  // Waits up to ms for the simulator to end by itself; its exit status as
  // waitpid reports it, or -1 when it is still running.
  int waitExit(int ms) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int status = -1;
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        return status;
      }
      struct timespec pause = {0, 2000000};  // 2 ms between checks of a bounded wait
      nanosleep(&pause, nullptr);
    }
    return -1;
  }

  pid_t pid() const { return pid_; }
  const std::vector<std::string>& lines() const { return lines_; }

  // The TCP port announced for a serial number ("LISTEN tcp 127.0.0.1:P serial=S"), or 0.
  uint16_t tcpPort(const std::string& serial) const {
    std::string where = endpoint("tcp", serial);
    size_t colon = where.rfind(':');
    return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(where.c_str() + colon + 1));
  }

  // The address or path announced for an endpoint kind and serial number.
  std::string endpoint(const std::string& kind, const std::string& serial) const {
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

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::vector<std::string> lines_;
};

#endif
