#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "common/aDefs.h"

namespace {

TEST(ModelName, FamilyHasDistinctShortNames) {
  std::set<std::string> names;
  for (uint32_t model : {4u, 5u}) names.insert(aDefs_GetModelName(model));
  for (uint32_t model = 13; model <= 27; ++model) names.insert(aDefs_GetModelName(model));
  EXPECT_EQ(names.size(), 17u);
  EXPECT_EQ(names.count("Unknown"), 0u);
  for (const std::string& name : names) {
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), kMaxModelNameLength) << name;
  }
}

TEST(ModelName, OtherNumbersAreUnknown) {
  for (uint32_t model : {0u, 1u, 2u, 3u, 6u, 12u, 28u, 255u, 0x104u, 0x10000013u, 0xFFFFFFFFu}) {
    EXPECT_STREQ(aDefs_GetModelName(model), "Unknown") << "model " << model;
  }
}

}  // namespace
