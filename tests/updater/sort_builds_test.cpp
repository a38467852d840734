#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempFiles.h"
#include "updater/UpdateServerRequest.h"

namespace {

using Builds = std::map<std::string, std::string>;

std::vector<std::string> Versions(const Builds& builds) {
  std::vector<std::string> out;
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds)) out.push_back(entry.second);
  return out;
}

std::vector<std::string> Keys(const Builds& builds) {
  std::vector<std::string> out;
  for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds)) out.push_back(entry.first);
  return out;
}

}  // namespace

TEST(SortBuildsByVersion, NewestVersionFirstByNumericParts) {
  EXPECT_EQ((std::vector<std::string>{"2.10.0", "2.9.3", "2.1.0"}),
            Versions({{"1", "2.1.0"}, {"2", "2.10.0"}, {"3", "2.9.3"}}));
  // Build numbers do not decide; versions do.
  EXPECT_EQ((std::vector<std::string>{"900", "1200", "1100"}),
            Keys({{"1100", "1.0.9"}, {"1200", "1.1.0"}, {"900", "3.0.0"}}));
  // Patch decides last; equal versions keep build-text order.
  EXPECT_EQ((std::vector<std::string>{"b", "a", "c"}),
            Keys({{"a", "1.2.3"}, {"b", "1.2.4"}, {"c", "1.2.3"}}));
  // Each part is compared as an 8-bit value: 2.256.0 reads as 2.0.0.
  EXPECT_EQ((std::vector<std::string>{"2.1.0", "2.256.0", "2.0.0"}),
            Versions({{"a", "2.256.0"}, {"b", "2.1.0"}, {"c", "2.0.0"}}));
  EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion({}).empty());
}

TEST(SortBuildsByVersion, UnusableVersionsFollowAndAreLogged) {
  LogCapture log(DEBUG_ServerComm);
  EXPECT_EQ((std::vector<std::string>{"2.0.0", "2.1"}), Versions({{"1", "2.1"}, {"2", "2.0.0"}}));
  EXPECT_NE(std::string::npos, log.text().find("_sortVersion: Exception converting version: "));

  EXPECT_EQ((std::vector<std::string>{"3.0.0", "1.0.0", "", "beta", "1.x.0"}),
            Versions({{"a", ""}, {"b", "1.0.0"}, {"c", "beta"}, {"d", "3.0.0"}, {"e", "1.x.0"}}));

  // Nothing comparable: nothing converted, nothing logged, key order kept.
  LogCapture quiet(DEBUG_ServerComm);
  EXPECT_EQ((std::vector<std::string>{"x", "y", "z"}), Keys({{"y", "2.1"}, {"x", ""}, {"z", "abc"}}));
  EXPECT_EQ("", quiet.text());
}

TEST(SortBuildsByVersion, MixedListsOfAnySizeSortSafely) {
  // Many unusable versions among valid ones: the ordering must stay a strict
  // weak ordering or std::sort may walk outside the vector.
  Builds builds;
  for (int i = 0; i < 300; ++i) {
    const std::string key = std::to_string(1000 + i);
    if (i % 3 == 0) {
      builds[key] = "bad" + std::to_string(i);
    } else {
      builds[key] = std::to_string(i % 7) + "." + std::to_string((i * 13) % 11) + "." + std::to_string(i % 5);
    }
  }
  const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  ASSERT_EQ(builds.size(), sorted.size());
  Builds back(sorted.begin(), sorted.end());
  EXPECT_EQ(builds, back);
  size_t firstBad = 0;
  while (firstBad < sorted.size() && sorted[firstBad].second.compare(0, 3, "bad") != 0) ++firstBad;
  EXPECT_EQ(200u, firstBad);
  for (size_t i = firstBad; i < sorted.size(); ++i) EXPECT_EQ(0, sorted[i].second.compare(0, 3, "bad"));
  for (size_t i = 1; i < firstBad; ++i) {
    const auto a = UpdateServerRequest::SplitCorvalithVersion(sorted[i - 1].second);
    const auto b = UpdateServerRequest::SplitCorvalithVersion(sorted[i].second);
    const std::vector<int> va{std::stoi(a[0]), std::stoi(a[1]), std::stoi(a[2])};
    const std::vector<int> vb{std::stoi(b[0]), std::stoi(b[1]), std::stoi(b[2])};
    EXPECT_FALSE(va < vb) << sorted[i - 1].second << " before " << sorted[i].second;
  }
}

TEST(SplitCorvalithVersion, ExactlyThreeParts) {
  EXPECT_EQ((std::vector<std::string>{"2", "10", "4"}), UpdateServerRequest::SplitCorvalithVersion("2.10.4"));
  EXPECT_EQ((std::vector<std::string>{"1", "", "3"}), UpdateServerRequest::SplitCorvalithVersion("1..3"));
  EXPECT_TRUE(UpdateServerRequest::SplitCorvalithVersion("2.1").empty());
  EXPECT_TRUE(UpdateServerRequest::SplitCorvalithVersion("1.2.3.4").empty());
  EXPECT_TRUE(UpdateServerRequest::SplitCorvalithVersion("").empty());
}
