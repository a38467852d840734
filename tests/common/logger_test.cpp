#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "common/aLogger.h"

namespace {

using std::chrono::milliseconds;

constexpr auto kDeadline = milliseconds(10000);

// What the callback saw; the test thread waits on it instead of sleeping.
struct Calls {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  uint32_t reference = 0;
  std::set<std::thread::id> threads;
  aLogger* selfDisable = nullptr;  // when set, the callback disables its own logger
  aErr selfDisableResult = aErrUnknown;

  bool waitFor(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kDeadline, [&] { return count >= n; });
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return count;
  }
};

Calls* gCalls = nullptr;

// Writes one numbered line per call; a real callback pauses when idle, this
// one only yields so the tests stay fast.
void sCallback(aFileRef file, uint32_t reference) {
  int n;
  aLogger* self;
  {
    std::lock_guard<std::mutex> lock(gCalls->mutex);
    n = ++gCalls->count;
    gCalls->reference = reference;
    gCalls->threads.insert(std::this_thread::get_id());
    self = gCalls->selfDisable;
  }
  if (n <= 3 && aFile_Printf(file, "line %d\n", n) != aErrNone) ADD_FAILURE() << "log write " << n;
  if (self != nullptr) {
    const aErr err = aLogger_Disable(self);
    std::lock_guard<std::mutex> lock(gCalls->mutex);
    gCalls->selfDisableResult = err;
  }
  gCalls->changed.notify_all();
  std::this_thread::yield();
}

std::string sReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct LoggerTest : ::testing::Test {
  void SetUp() override {
    gCalls = &calls;
    path = std::string(CV_BINARY_DIR) + "/logger_test_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    std::remove(path.c_str());
  }
  // A failed assertion leaves the logger running; stop it before `calls` goes.
  void TearDown() override {
    if (logger != nullptr) {
      EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    }
    std::remove(path.c_str());
    gCalls = nullptr;
  }
  Calls calls;
  aLogger* logger = nullptr;
  std::string path;
};

TEST_F(LoggerTest, WritesThroughCallbackAndAppends) {
  {
    std::ofstream existing(path);
    existing << "earlier\n";
  }
  logger = aLogger_Create(0x1234, sCallback, path.c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(calls.calls(), 0) << "nothing runs before Enable";
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(calls.waitFor(3));
  ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  const int stopped = calls.calls();
  EXPECT_EQ(calls.reference, 0x1234u);
  // Unbuffered: the lines are in the file before the logger is destroyed.
  EXPECT_EQ(sReadFile(path), "earlier\nline 1\nline 2\nline 3\n");
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
  EXPECT_EQ(calls.calls(), stopped) << "callback ran after Disable returned";
}

TEST_F(LoggerTest, EnableTwiceRunsOneThreadAndCanRestart) {
  logger = aLogger_Create(1, sCallback, path.c_str());
  ASSERT_NE(logger, nullptr);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(calls.waitFor(5));
  ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  EXPECT_EQ(calls.threads.size(), 1u);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone) << "disabling a disabled logger";

  const int before = calls.calls();
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(calls.waitFor(before + 2));
  // Destroy stops an enabled logger itself.
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

TEST_F(LoggerTest, DisableFromOwnCallbackDoesNothing) {
  logger = aLogger_Create(2, sCallback, path.c_str());
  ASSERT_NE(logger, nullptr);
  {
    std::lock_guard<std::mutex> lock(calls.mutex);
    calls.selfDisable = logger;
  }
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  // Still running well after the callback tried to stop it.
  ASSERT_TRUE(calls.waitFor(10));
  {
    std::lock_guard<std::mutex> lock(calls.mutex);
    EXPECT_EQ(calls.selfDisableResult, aErrNone);
    calls.selfDisable = nullptr;
  }
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
}

TEST_F(LoggerTest, RefusesBadArguments) {
  EXPECT_EQ(aLogger_Create(0, sCallback, (std::string(CV_BINARY_DIR) + "/no/such/dir/x.log").c_str()),
            nullptr);
  EXPECT_EQ(aLogger_Create(0, nullptr, path.c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(0, sCallback, nullptr), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLogger* none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
  EXPECT_EQ(aLogger_Destroy(nullptr), aErrParam);
}

}  // namespace
