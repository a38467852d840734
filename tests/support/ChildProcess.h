// The one way tests and benchmarks start a child process: fork, then exec a
// program (or run a function), with its standard streams on pipes. Every wait
// is bounded by a deadline, and a child is stopped and reaped by its pid at the
// latest when the object goes.
#ifndef CORVALITH_TESTS_SUPPORT_CHILDPROCESS_H
#define CORVALITH_TESTS_SUPPORT_CHILDPROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Where and with which variables a program runs.
struct ChildEnvironment {
  // Variables set (or replaced) on top of the test's own environment.
  std::map<std::string, std::string> env;
  // Variables removed from the environment.
  std::vector<std::string> unsetEnv;
  // Working directory of the program; empty keeps the test's.
  std::string cwd;
};

struct SpawnOptions : ChildEnvironment {
  // Standard input from a pipe fed by communicate(); otherwise inherited.
  bool pipeStdin = false;
  enum class Stderr { Inherit, Pipe, Merge };
  // Merge: standard error joins standard output, keeping their order.
  Stderr stderrTo = Stderr::Pipe;
  // SIGKILL the child when the test process dies first.
  bool dieWithParent = true;
};

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs path (no PATH search) with args, which exclude the program name.
  // False when no process could be made or exec failed; a process whose exec
  // failed has exited with 127 and can still be reaped by wait().
  bool spawn(const std::string& path, const std::vector<std::string>& args, const SpawnOptions& options = {});
  // Runs body in a forked copy of this process; its result (0-255) is the
  // exit code. env, unsetEnv and cwd do not apply.
  bool spawn(const std::function<int()>& body, const SpawnOptions& options = {});

  pid_t pid() const { return pid_; }

  // The next standard-output line (without its newline). False at end of
  // output or at the deadline, with anything read after the last newline
  // left in pendingOutput().
  bool readLine(std::string* line, Clock::time_point deadline);
  const std::string& pendingOutput() const { return buffered_; }

  // Feeds input to standard input (then closes it) and collects standard
  // output and error until both end. False when the deadline came first.
  bool communicate(const std::string& input, std::string* out, std::string* err, Clock::time_point deadline);

  // Stops reading standard output; the child gets EPIPE if it writes more.
  void closeOutput();

  // Waits until the child ends, at most until the deadline. True once it is
  // reaped, with its status as waitpid reports it in *status.
  bool wait(Clock::time_point deadline, int* status);

  // SIGTERM, then SIGKILL when it has not ended within grace. The status as
  // waitpid reports it, or -1 when there was no process.
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(3));
  // SIGKILL and reap; the status, or -1 when there was no process.
  int kill();

 private:
  bool launch(const std::function<void()>& inChild, const SpawnOptions& options);
  void release();

  pid_t pid_ = -1;
  int pidFd_ = -1;  // readable once the child ended; -1 where the kernel has no pidfd
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string buffered_;
};

// Milliseconds left until deadline, at least 0.
int RemainingMs(ChildProcess::Clock::time_point deadline);

#endif
