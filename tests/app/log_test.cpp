#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/LogCapture.h"
#include "updater/report/Log.h"

namespace {

TEST(LogTest, PackageMaskFilters) {
  LogCapture capture;
  Log::log(0, "always %d\n", 1);
  Log::log(DEBUG_ServerComm, "server\n");
  Log::ActivatePackage(DEBUG_ServerComm | DEBUG_APP);
  Log::log(DEBUG_ServerComm, "server %s\n", "on");
  Log::log(DEBUG_ServerComm | DEBUG_BirdFile, "any shared bit\n");
  Log::log(DEBUG_BirdFile, "bird\n");
  Log::DeactivatePackage(DEBUG_ServerComm);
  Log::log(DEBUG_ServerComm, "server off\n");
  Log::log(DEBUG_APP, "app");
  EXPECT_EQ(Log::package_bitmask, static_cast<uint32_t>(DEBUG_APP));
  EXPECT_EQ(capture.text(), "always 1\nserver on\nany shared bit\napp") << "no newline is added";
}

TEST(LogTest, NoStreamWritesNothing) {
  LogCapture capture;
  Log::SetOutput(nullptr);
  Log::log(0, "dropped\n");
  Log::SetOutput(capture.file());
  Log::log(0, "kept\n");
  EXPECT_EQ(capture.text(), "kept\n");
}

TEST(LogTest, MessageIsCutAt2048Bytes) {
  LogCapture capture;
  std::string text(5000, 'x');
  Log::log(0, "%s", text.c_str());
  EXPECT_EQ(capture.text(), std::string(2047, 'x'));
}

TEST(LogTest, TimestampOnlyForFormatsLongerThanTenCharacters) {
  LogCapture capture;
  Log::timestamped = true;
  Log::log(0, "0123456789");                // exactly 10: no stamp
  Log::log(0, "%s\n", "a longer message");  // format of 3 characters
  Log::log(0, "eleven char");
  const std::string text = capture.text();
  std::regex expected(
      "0123456789a longer message\n"
      "[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2} \\| eleven char");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

}  // namespace
