#include "support/RunProcess.h"

#include <sys/wait.h>

ProcessResult RunProcess(const std::string& path, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  ProcessResult result;
  SpawnOptions spawn;
  static_cast<ChildEnvironment&>(spawn) = options;  // variables and directory as given
  spawn.pipeStdin = true;
  spawn.stderrTo = options.mergeStderr ? SpawnOptions::Stderr::Merge : SpawnOptions::Stderr::Pipe;
  ChildProcess child;
  result.started = child.spawn(path, args, spawn);
  if (child.pid() <= 0) return result;

  const auto deadline = ChildProcess::Clock::now() + std::chrono::milliseconds(options.timeoutMs);
  int status = 0;
  if (!child.communicate(options.stdinText, &result.out, &result.err, deadline) ||
      !child.wait(deadline, &status)) {
    result.timedOut = true;
    status = child.kill();
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}
