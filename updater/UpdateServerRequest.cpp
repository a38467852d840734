#include "updater/UpdateServerRequest.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "updater/report/Log.h"

namespace {

constexpr size_t kVersionParts = 3;

// A version reduced to what the comparison uses: each part as an 8-bit value,
// the width a firmware version packs it in.
struct SortKey {
  bool valid = false;
  uint8_t part[kVersionParts] = {0, 0, 0};
};

// Converts the parts the way the comparison always has (std::stoi: leading
// white space and trailing text allowed). Throws on a wrong part count or a
// part that is not a number.
SortKey sParseVersion(const std::string& version) {
  const std::vector<std::string> parts = UpdateServerRequest::SplitCorvalithVersion(version);
  if (parts.size() != kVersionParts) {
    throw std::invalid_argument("version '" + version + "' is not major.minor.patch");
  }
  SortKey key;
  for (size_t i = 0; i < kVersionParts; ++i) key.part[i] = static_cast<uint8_t>(std::stoi(parts[i]));
  key.valid = true;
  return key;
}

bool sNewer(const SortKey& a, const SortKey& b) {
  return std::lexicographical_compare(b.part, b.part + kVersionParts, a.part, a.part + kVersionParts);
}

}  // namespace

std::vector<std::string> UpdateServerRequest::SplitCorvalithVersion(const std::string& version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != kVersionParts) parts.clear();
  return parts;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
  using Entry = std::pair<std::string, std::string>;
  // Each version is converted once. An entry whose version does not convert
  // is not comparable with the others; a comparator that calls it "equal" to
  // everything is not a strict weak ordering, which std::sort may answer by
  // reading outside the vector. Such entries go after the valid ones instead.
  std::vector<std::pair<SortKey, Entry>> keyed;
  keyed.reserve(builds.size());
  struct Failure {
    bool threeParts;
    std::string text;
  };
  std::vector<Failure> failures;
  size_t threePartCount = 0;
  for (const auto& build : builds) {
    const bool threeParts = !SplitCorvalithVersion(build.second).empty();
    if (threeParts) ++threePartCount;
    SortKey key;
    try {
      key = sParseVersion(build.second);
    } catch (const std::exception& e) {
      failures.push_back({threeParts, e.what()});
    }
    keyed.emplace_back(key, build);
  }
  // A failed conversion is reported where a comparison meets it: a
  // three-part version that is not numeric against any other version, any
  // other text against a three-part version. Two texts that both lack three
  // parts compare silently.
  for (const Failure& failure : failures) {
    const bool compared = failure.threeParts ? builds.size() > 1 : threePartCount > 0;
    if (compared) {
      Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
               failure.text.c_str());
    }
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    if (a.first.valid != b.first.valid) return a.first.valid;
    return a.first.valid && sNewer(a.first, b.first);
  });
  std::vector<Entry> sorted;
  sorted.reserve(keyed.size());
  for (auto& entry : keyed) sorted.push_back(std::move(entry.second));
  return sorted;
}
