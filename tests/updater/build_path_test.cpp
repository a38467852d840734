#include "updater/BuildPath.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BuildPathTest, AlwaysInsertsTheSeparator) {
  EXPECT_EQ(BuildPath("/a/", "b", nullptr), "/a//b") << "unlike aDirectory_BuildPath";
  EXPECT_EQ(BuildPath("a", "b", nullptr), "a/b");
  EXPECT_EQ(BuildPath("a", "/b", nullptr), "a//b");
  EXPECT_EQ(BuildPath("a", "", "b", nullptr), "a//b");
  EXPECT_EQ(BuildPath("", "b", nullptr), "/b");
  EXPECT_EQ(BuildPath("single", nullptr), "single");
  EXPECT_EQ(BuildPath(nullptr), "");
}

TEST(BuildPathTest, TakesAnyNumberAndLengthOfParts) {
  EXPECT_EQ(BuildPath("1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", nullptr),
            "1/2/3/4/5/6/7/8/9/10/11/12");
  const std::string huge(10000, 'x');
  const std::string joined = BuildPath(huge.c_str(), huge.c_str(), nullptr);
  EXPECT_EQ(joined.size(), 20001u);
  EXPECT_EQ(joined, huge + "/" + huge);
}

TEST(BuildPathTest, PartsMayRepeatAString) {
  std::string store = "/home/u/.tessaron/updater";
  store = BuildPath(store.c_str(), "0A1B2C3D", store.c_str() + 8, nullptr);
  EXPECT_EQ(store, "/home/u/.tessaron/updater/0A1B2C3D/.tessaron/updater");
}

}  // namespace
