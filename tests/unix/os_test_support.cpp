#include "unix/os_test_support.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/ChildProcess.h"

bool CanSwitchUser() {
  return geteuid() == 0;
}

ChildResult RunInChild(int uid, const std::function<int()>& body, int timeoutMs) {
  ChildResult result;
  ChildProcess child;
  const bool made = child.spawn([&] {
    if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0 ||
                     setuid(static_cast<uid_t>(uid)) != 0)) {
      return 125;
    }
    return body();
  });
  if (!made) return result;
  const auto deadline = ChildProcess::Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  if (child.communicate("", &result.out, &result.err, deadline) && child.wait(deadline, &status)) {
    result.finished = WIFEXITED(status);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return result;
}
