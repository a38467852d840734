// corvalith-ctl -t SHARED: two ctl processes stream side by side from one
// simulated module that corvalith-share serves on 127.0.0.1. The share's
// device server answers the loopback multicast probe, so this runs only
// inside a private network namespace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Environment.h"
#include "support/RunProcess.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

namespace {

const std::string kCtl = CV_BINARY_DIR "/corvalith-ctl";
const std::string kShare = CV_BINARY_DIR "/corvalith-share";
constexpr int kSamples = 5;
// The private namespace's one network interface (scripts/netns-run).
const std::string kNetworkAddress = "10.77.0.1";

// Lines until the process ends or the deadline passes.
std::vector<std::string> sLines(ChildProcess& p, ChildProcess::Clock::time_point deadline) {
  std::vector<std::string> lines;
  std::string line;
  while (lines.size() < 100 && p.readLine(&line, deadline)) lines.push_back(line);
  return lines;
}

// "timestamp subindex value", as ctl prints a sample.
bool sIsSample(const std::string& line) {
  unsigned long long timestamp = 0;
  unsigned subindex = 0;
  unsigned long value = 0;
  char rest = 0;
  return std::sscanf(line.c_str(), "%llu %u %lu%c", &timestamp, &subindex, &value, &rest) == 3;
}

// Starts corvalith-share on the module and returns the port it announces
// (0 when it announced none).
unsigned short sShare(ChildProcess& share, bool localOnly = true) {
  std::vector<std::string> args{"-d", "40F5849A", "-t", "TCP"};
  if (localOnly) args.push_back("--local-only");
  if (!share.spawn(kShare, args)) return 0;
  std::string line;
  unsigned short port = 0;
  const auto announced = ChildProcess::Clock::now() + std::chrono::seconds(20);
  while (port == 0 && share.readLine(&line, announced)) {
    if (std::sscanf(line.c_str(), "Sharing 40F5849A on port %hu", &port) != 1) port = 0;
  }
  return port;
}

std::vector<std::string> sStreamArgs(unsigned short port, const char* option, int count) {
  return {"-d",        "40F5849A", "-t",   "SHARED", "-p",      std::to_string(port),
          "stream",    "3",        option, "0",      "--count", std::to_string(count),
          "--seconds", "30"};
}

// Stream disables that reached the simulated module.
long sDisablesReceived(const std::string& record) {
  std::ifstream in(record);
  std::string line;
  long n = 0;
  while (std::getline(in, line))
    n += line.rfind("RX 40F5849A ", 0) == 0 && line.find(" 07 5D 82 ") != line.npos;
  return n;
}

// Polls the record until it shows n disables, at most until the deadline.
bool sAwaitDisables(const std::string& record, long n, ChildProcess::Clock::time_point deadline) {
  while (sDisablesReceived(record) != n) {
    if (ChildProcess::Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST(CtlSharedNetnsTest, TwoCtlProcessesStreamFromOneSharedModuleAndShareStopsCleanly) {
  if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
  SimProcess sim;
  ASSERT_TRUE(sim.start(
      {"--discovery", "all", "--lifetime", "120", "--module", "serial=40F5849A,tcp=0,stream-ms=20"}));
  ChildProcess share;
  const unsigned short port = sShare(share);
  ASSERT_NE(port, 0) << "corvalith-share announced no port";
  std::string line;

  // Different streams of the one module, so one ctl stopping its stream
  // leaves the other's running.
  const char* options[2] = {"22", "8"};
  ChildProcess ctl[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(ctl[i].spawn(kCtl, sStreamArgs(port, options[i], kSamples)));
  }
  const auto deadline = ChildProcess::Clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(std::string("option ") + options[i]);
    const std::vector<std::string> lines = sLines(ctl[i], deadline);
    int status = -1;
    ASSERT_TRUE(ctl[i].wait(deadline, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    ASSERT_EQ(lines.size(), static_cast<size_t>(kSamples));
    for (const std::string& l : lines) EXPECT_TRUE(sIsSample(l)) << l;
  }

  // A client still connected sees the server go: its requests time out.
  ChildProcess late;
  ASSERT_TRUE(late.spawn(kCtl, {"-d", "40F5849A", "-t", "SHARED", "-p", std::to_string(port), "stream", "3",
                                "22", "0", "--count", "1000", "--seconds", "4"}));
  ASSERT_TRUE(late.readLine(&line, ChildProcess::Clock::now() + std::chrono::seconds(10))) << "no sample";
  const auto stopAt = ChildProcess::Clock::now();
  ASSERT_EQ(kill(share.pid(), SIGINT), 0);
  int status = -1;
  ASSERT_TRUE(share.wait(stopAt + std::chrono::seconds(5), &status)) << "corvalith-share hangs on SIGINT";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  ASSERT_TRUE(late.wait(ChildProcess::Clock::now() + std::chrono::seconds(15), &status))
      << "the client hangs";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "samples stop, so the count is not reached";
  (void)sim.stop();
}

// A share without --local-only serves on the first network interface: ctl
// finds it there when loopback has none, or goes straight to -a and -p.
TEST(CtlSharedNetnsTest, AShareOnTheNetworkIsReachedByDefaultAndByAddressAndPort) {
  if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--discovery", "all", "--lifetime", "120", "--module", "serial=40F5849A,tcp=0"}));
  ChildProcess share;
  const unsigned short port = sShare(share, false);
  ASSERT_NE(port, 0) << "corvalith-share announced no port";
  const std::vector<std::string> cases[] = {
      {"-d", "40F5849A", "-t", "SHARED", "factory-get", "3"},
      {"-d", "40F5849A", "-t", "SHARED", "-a", kNetworkAddress, "-p", std::to_string(port), "factory-get",
       "3"},
  };
  for (const auto& args : cases) {
    ProcessOptions o;
    o.timeoutMs = 30000;
    const ProcessResult r = RunProcess(kCtl, args, o);
    EXPECT_EQ(r.exitCode, 0) << args[4] << ": " << r.err;
  }
  ProcessOptions o;
  o.timeoutMs = 30000;
  const ProcessResult absent = RunProcess(kCtl, {"-d", "40F5849B", "-t", "SHARED", "factory-get", "3"}, o);
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_NE(absent.err.find("Error: connecting to 40F5849B: aErrNotFound"), std::string::npos) << absent.err;
  EXPECT_EQ(share.stop(), 0);
  (void)sim.stop();
}

// One ctl ending its stream must not end the same stream for another: the
// module hears the disable only from the last one.
TEST(CtlSharedNetnsTest, AStreamTwoCtlProcessesShareEndsOnlyWithTheLast) {
  if (!InPrivateNetwork()) GTEST_SKIP() << kNeedsPrivateNetwork;
  TempDir dir;
  const std::string record = dir.path() + "/record";
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--discovery", "all", "--lifetime", "120", "--record", record, "--module",
                         "serial=40F5849A,tcp=0,stream-ms=20"}));
  ChildProcess share;
  const unsigned short port = sShare(share);
  ASSERT_NE(port, 0) << "corvalith-share announced no port";

  // Streams until its time is up, well after the other has left.
  ChildProcess stays;
  std::vector<std::string> args = sStreamArgs(port, "22", 100000);
  args.back() = "8";
  ASSERT_TRUE(stays.spawn(kCtl, args));
  std::string line;
  ASSERT_TRUE(stays.readLine(&line, ChildProcess::Clock::now() + std::chrono::seconds(10))) << "no sample";
  ChildProcess leaves;
  ASSERT_TRUE(leaves.spawn(kCtl, sStreamArgs(port, "22", kSamples)));
  const auto deadline = ChildProcess::Clock::now() + std::chrono::seconds(20);
  EXPECT_EQ(sLines(leaves, deadline).size(), static_cast<size_t>(kSamples));
  int status = -1;
  ASSERT_TRUE(leaves.wait(deadline, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(sDisablesReceived(record), 0) << "the leaving ctl's disable reached the module";
  ASSERT_TRUE(stays.readLine(&line, ChildProcess::Clock::now() + std::chrono::seconds(5)));
  EXPECT_TRUE(sIsSample(line)) << line;

  ASSERT_TRUE(stays.wait(ChildProcess::Clock::now() + std::chrono::seconds(20), &status));
  EXPECT_TRUE(sAwaitDisables(record, 1, ChildProcess::Clock::now() + std::chrono::seconds(5)))
      << "the last ctl's disable did not reach the module";
  kill(share.pid(), SIGINT);
  EXPECT_TRUE(share.wait(ChildProcess::Clock::now() + std::chrono::seconds(5), &status));
  (void)sim.stop();
}

}  // namespace
