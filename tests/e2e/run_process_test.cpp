#include "support/RunProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

namespace {

TEST(RunProcessTest, CollectsBothStreamsAndExitCode) {
  ProcessResult r = RunProcess("/bin/sh", {"-c", "printf out; printf err >&2; exit 3"});
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.out, "out");
  EXPECT_EQ(r.err, "err");
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_FALSE(r.timedOut);
}

TEST(RunProcessTest, EnvironmentWorkingDirectoryAndInput) {
  ProcessOptions o;
  o.env["CV_RUN_PROCESS_PROBE"] = "set";
  o.unsetEnv.push_back("HOME");
  o.cwd = "/";
  o.stdinText = std::string(200000, 'i');  // more than a pipe buffer holds
  ProcessResult r = RunProcess(
      "/bin/sh", {"-c", "echo \"$CV_RUN_PROCESS_PROBE ${HOME-unset} $(pwd)\"; wc -c | tr -d ' '"}, o);
  EXPECT_EQ(r.out, "set unset /\n200000\n");
  EXPECT_EQ(r.exitCode, 0);
}

TEST(RunProcessTest, MergedStreamsKeepTheirOrder) {
  ProcessOptions o;
  o.mergeStderr = true;
  ProcessResult r = RunProcess("/bin/sh", {"-c", "echo 1; echo 2 >&2; echo 3"}, o);
  EXPECT_EQ(r.out, "1\n2\n3\n");
  EXPECT_EQ(r.err, "");
}

TEST(RunProcessTest, OverstayingProgramIsKilled) {
  ProcessOptions o;
  o.timeoutMs = 300;
  auto start = std::chrono::steady_clock::now();
  ProcessResult r = RunProcess("/bin/sh", {"-c", "echo started; exec sleep 30"}, o);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.exitCode, -1);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(RunProcessTest, MissingProgramIsNotStarted) {
  ProcessResult r = RunProcess("/nonexistent/program", {});
  EXPECT_FALSE(r.started);
  EXPECT_EQ(r.exitCode, 127);
}

}  // namespace
