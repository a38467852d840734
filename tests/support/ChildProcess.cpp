#include "support/ChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Pause between checks of a bounded wait where the kernel offers no pidfd.
constexpr int kReapCheckMs = 2;

void sClose(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::vector<std::string> sEnvironment(const SpawnOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; e++) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
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

// Both ends close on exec, so the child's copies vanish with it.
bool sPipe(int fds[2]) {
  return pipe2(fds, O_CLOEXEC) == 0;
}

[[noreturn]] void sExitWithErrno(int reportFd) {
  const int e = errno;
  const ssize_t ignored = write(reportFd, &e, sizeof e);
  (void)ignored;
  _exit(127);
}

}  // namespace

int RemainingMs(ChildProcess::Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ChildProcess::Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

ChildProcess::~ChildProcess() {
  stop();
}

bool ChildProcess::launch(const std::function<void()>& inChild, const SpawnOptions& options) {
  if (pid_ > 0) return false;
  int out[2] = {-1, -1}, err[2] = {-1, -1}, in[2] = {-1, -1};
  const bool pipeErr = options.stderrTo == SpawnOptions::Stderr::Pipe;
  if (!sPipe(out) || (pipeErr && !sPipe(err)) || (options.pipeStdin && !sPipe(in))) {
    for (int* fd : {&out[0], &out[1], &err[0], &err[1], &in[0], &in[1]}) sClose(*fd);
    return false;
  }
  // A child that stops reading its input must not end the test.
  if (options.pipeStdin) signal(SIGPIPE, SIG_IGN);
  // Unflushed test output would otherwise be written twice.
  fflush(stdout);
  fflush(stderr);
  pid_ = fork();
  if (pid_ == 0) {
    if (options.dieWithParent) prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_DFL);
    if (options.pipeStdin) dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    if (pipeErr) dup2(err[1], STDERR_FILENO);
    if (options.stderrTo == SpawnOptions::Stderr::Merge) dup2(out[1], STDERR_FILENO);
    inChild();
    _exit(127);
  }
  sClose(out[1]);
  sClose(err[1]);
  sClose(in[0]);
  out_ = out[0];
  err_ = err[0];
  in_ = in[1];
  if (pid_ < 0) {
    release();
    return false;
  }
#ifdef SYS_pidfd_open
  pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
#endif
  return true;
}

bool ChildProcess::spawn(const std::string& path, const std::vector<std::string>& args,
                         const SpawnOptions& options) {
  std::vector<std::string> argStrings{path};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv = sPointers(argStrings);
  std::vector<std::string> envStrings = sEnvironment(options);
  std::vector<char*> envp = sPointers(envStrings);
  // Closed by a successful exec; carries errno when exec (or chdir) fails.
  int report[2];
  if (!sPipe(report)) return false;
  const bool made = launch(
      [&] {
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) sExitWithErrno(report[1]);
        execve(path.c_str(), argv.data(), envp.data());
        sExitWithErrno(report[1]);
      },
      options);
  close(report[1]);
  int execError = 0;
  ssize_t n = 0;
  if (made) {
    do {
      n = read(report[0], &execError, sizeof execError);
    } while (n < 0 && errno == EINTR);
  }
  close(report[0]);
  return made && n == 0;
}

bool ChildProcess::spawn(const std::function<int()>& body, const SpawnOptions& options) {
  return launch(
      [&] {
        const int code = body();
        fflush(stdout);
        fflush(stderr);
        _exit(code & 0xff);
      },
      options);
}

bool ChildProcess::readLine(std::string* line, Clock::time_point deadline) {
  for (;;) {
    const size_t nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      *line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return true;
    }
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    const int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[512];
    const ssize_t n = read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sClose(out_);
      return false;
    }
    buffered_.append(chunk, static_cast<size_t>(n));
  }
}

bool ChildProcess::communicate(const std::string& input, std::string* out, std::string* err,
                               Clock::time_point deadline) {
  size_t written = 0;
  if (input.empty()) sClose(in_);
  if (in_ >= 0) fcntl(in_, F_SETFL, fcntl(in_, F_GETFL) | O_NONBLOCK);
  out->append(buffered_);
  buffered_.clear();
  while (out_ >= 0 || err_ >= 0) {
    const int remaining = RemainingMs(deadline);
    if (remaining == 0) break;
    pollfd fds[3];
    nfds_t count = 0;
    for (int fd : {out_, err_}) {
      if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
    }
    if (in_ >= 0) fds[count++] = {in_, POLLOUT, 0};
    const int ready = poll(fds, count, remaining);
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t i = 0; i < count && ready > 0; i++) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_) {
        const ssize_t w = write(in_, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
        if (written >= input.size()) sClose(in_);
        continue;
      }
      char chunk[4096];
      const ssize_t r = read(fds[i].fd, chunk, sizeof chunk);
      if (r > 0) {
        (fds[i].fd == out_ ? out : err)->append(chunk, static_cast<size_t>(r));
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        sClose(fds[i].fd == out_ ? out_ : err_);
      }
    }
  }
  sClose(in_);
  const bool ended = out_ < 0 && err_ < 0;
  sClose(out_);
  sClose(err_);
  return ended;
}

void ChildProcess::closeOutput() {
  sClose(out_);
  buffered_.clear();
}

bool ChildProcess::wait(Clock::time_point deadline, int* status) {
  if (pid_ <= 0) return false;
  for (;;) {
    const pid_t r = waitpid(pid_, status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) {
      const bool reaped = r == pid_;
      release();
      return reaped;
    }
    const int remaining = RemainingMs(deadline);
    if (remaining == 0) return false;
    if (pidFd_ >= 0) {
      pollfd p{pidFd_, POLLIN, 0};
      poll(&p, 1, remaining);
    } else {
      poll(nullptr, 0, remaining < kReapCheckMs ? remaining : kReapCheckMs);
    }
  }
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = -1;
  if (wait(Clock::now() + grace, &status)) return status;
  return kill();
}

int ChildProcess::kill() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGKILL);
  int status = -1;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  release();
  return status;
}

void ChildProcess::release() {
  pid_ = -1;
  for (int* fd : {&pidFd_, &in_, &out_, &err_}) sClose(*fd);
  buffered_.clear();
}
