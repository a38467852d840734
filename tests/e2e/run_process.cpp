#include "run_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int sRemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void sCloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::vector<std::string> sEnvironment(const ProcessOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; e++) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = options.env.count(name) != 0;
    for (const std::string& unset : options.unsetEnv) replaced = replaced || unset == name;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& kv : options.env) env.push_back(kv.first + "=" + kv.second);
  return env;
}

std::vector<char*> sPointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(&s[0]);
  out.push_back(nullptr);
  return out;
}

// Reaps pid, waiting at most until the deadline; false when it is still running.
bool sReap(pid_t pid, Clock::time_point deadline, int* status) {
  for (;;) {
    pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return true;  // nothing left to wait for
    if (Clock::now() >= deadline) return false;
    struct timespec pause = {0, 1000000};  // 1 ms between checks of a bounded wait
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

ProcessResult RunProcess(const std::string& path, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  ProcessResult result;
  // A child that exits before reading its input must not kill the test.
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> argStrings{path};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv = sPointers(argStrings);
  std::vector<std::string> envStrings = sEnvironment(options);
  std::vector<char*> envp = sPointers(envStrings);

  int outPipe[2], errPipe[2], inPipe[2], execPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  if (pipe2(inPipe, O_CLOEXEC) != 0) {
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    return result;
  }
  // Closed by a successful exec; carries errno when exec fails.
  if (pipe2(execPipe, O_CLOEXEC) != 0) {
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]}) close(fd);
    return result;
  }

  pid_t pid = fork();
  if (pid == 0) {
    dup2(inPipe[0], STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(options.mergeStderr ? outPipe[1] : errPipe[1], STDERR_FILENO);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
      int e = errno;
      ssize_t ignored = write(execPipe[1], &e, sizeof(e));
      (void)ignored;
      _exit(127);
    }
    execve(path.c_str(), argv.data(), envp.data());
    int e = errno;
    ssize_t ignored = write(execPipe[1], &e, sizeof(e));
    (void)ignored;
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  close(inPipe[0]);
  close(execPipe[1]);
  if (pid < 0) {
    for (int fd : {outPipe[0], errPipe[0], inPipe[1], execPipe[0]}) close(fd);
    return result;
  }

  int execError = 0;
  ssize_t n;
  do {
    n = read(execPipe[0], &execError, sizeof(execError));
  } while (n < 0 && errno == EINTR);
  close(execPipe[0]);
  result.started = n == 0;

  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
  int outFd = outPipe[0];
  int errFd = errPipe[0];
  int inFd = inPipe[1];
  size_t inWritten = 0;
  if (options.stdinText.empty()) sCloseFd(inFd);
  if (inFd >= 0) fcntl(inFd, F_SETFL, fcntl(inFd, F_GETFL) | O_NONBLOCK);

  while (outFd >= 0 || errFd >= 0) {
    int remaining = sRemainingMs(deadline);
    if (remaining == 0) {
      result.timedOut = true;
      break;
    }
    struct pollfd fds[3];
    int count = 0;
    for (int fd : {outFd, errFd}) {
      if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
    }
    if (inFd >= 0) fds[count++] = {inFd, POLLOUT, 0};
    int ready = poll(fds, static_cast<nfds_t>(count), remaining);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < count && ready > 0; i++) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inFd) {
        ssize_t w = write(inFd, options.stdinText.data() + inWritten, options.stdinText.size() - inWritten);
        if (w > 0) inWritten += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) inWritten = options.stdinText.size();
        if (inWritten >= options.stdinText.size()) sCloseFd(inFd);
        continue;
      }
      char buffer[4096];
      ssize_t r = read(fds[i].fd, buffer, sizeof(buffer));
      if (r > 0) {
        (fds[i].fd == outFd ? result.out : result.err).append(buffer, static_cast<size_t>(r));
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (fds[i].fd == outFd) {
          sCloseFd(outFd);
        } else {
          sCloseFd(errFd);
        }
      }
    }
  }
  sCloseFd(outFd);
  sCloseFd(errFd);
  sCloseFd(inFd);

  int status = 0;
  if (result.timedOut || !sReap(pid, deadline, &status)) {
    result.timedOut = true;
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}
