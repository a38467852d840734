// Forked children for the OS-layer tests; scratch directories are TempDir.
#ifndef CORVALITH_TESTS_UNIX_OS_TEST_SUPPORT_H
#define CORVALITH_TESTS_UNIX_OS_TEST_SUPPORT_H

#include <functional>
#include <string>

#include "support/TempFiles.h"

struct ChildResult {
  bool finished = false;  // false: it could not be started or was killed at the deadline
  int exitCode = -1;
  std::string out;  // its standard output
  std::string err;  // its standard error
};

// Runs body in a forked child, collecting its standard output and error; with
// uid >= 0 the child first drops to that user and group. The body's result
// (0-255) is the exit code; 125 means the drop failed. The child is killed by
// its pid when it outlives timeoutMs.
ChildResult RunInChild(int uid, const std::function<int()>& body, int timeoutMs = 10000);

// The unprivileged user for permission tests.
constexpr int kNobodyUid = 65534;
// Whether this process may switch to another user (tests that need a user
// without rights skip otherwise).
bool CanSwitchUser();

#endif
