#include "updater/UpdateServerRequest.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "common/aText.h"
#include "updater/HTTPRequest.h"
#include "updater/report/Log.h"

namespace {

constexpr size_t kVersionParts = 3;
constexpr const char* kQueryPath = "/cgi/u";

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

// The whole text as a number that fits 32 bits: base 16 with an optional
// "0x", or base 0 (C prefixes).
bool sParse32(const std::string& text, int base, uint32_t& value) {
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return aText_ParseUnsigned32(text.substr(2), 16, &value);
  }
  return aText_ParseUnsigned32(text, static_cast<unsigned>(base), &value);
}

bool sNewer(const SortKey& a, const SortKey& b) {
  return std::lexicographical_compare(b.part, b.part + kVersionParts, a.part, a.part + kVersionParts);
}

// The first half of every query: GET, status check, line split and the "ok"
// check. False (with the reason logged) unless the reply is usable.
bool sRequest(const char* name, const char* url, const HTTPParameters& parameters,
              std::vector<std::string>& lines) {
  try {
    const HTTPResponse response = HTTPRequest::GET(UpdateServerRequest::BaseUrl(url), parameters);
    if (response.get_status() != 200) {
      if (std::string(name) == "ping") {
        Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                 response.get_response().c_str());
      } else {
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                 response.get_response().c_str());
      }
      return false;
    }
    lines = UpdateServerRequest::SplitReply(response.get_response());
    if (!UpdateServerRequest::ReplyIsOk(lines)) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    return false;
  }
}

}  // namespace

const char* const UpdateServerRequest::default_url = "http://127.0.0.1:8490/cgi/u";
const char* const UpdateServerRequest::delimiters = "\n";

std::string UpdateServerRequest::BaseUrl(const char* url) {
  if (url == nullptr || url[0] == '\0') return default_url;
  const std::string given = url;
  // The usage text asks for host:port; such a text (no scheme, no path) means
  // the query path on that server, like the default.
  if (given.find("://") == std::string::npos && given.find('/') == std::string::npos) {
    return "http://" + given + kQueryPath;
  }
  return given;
}

std::vector<std::string> UpdateServerRequest::SplitReply(const std::string& body) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find_first_of(delimiters, start);
    if (end == std::string::npos) end = body.size();
    size_t stop = end;
    // Servers that end lines with "\r\n" are read like the rest.
    if (stop > start && body[stop - 1] == '\r') --stop;
    if (stop > start) lines.push_back(body.substr(start, stop - start));
    start = end + 1;
  }
  return lines;
}

bool UpdateServerRequest::ReplyIsOk(const std::vector<std::string>& lines) {
  return !lines.empty() && lines[0].compare(0, 2, "ok") == 0;
}

void UpdateServerRequest::ParseQueryBuild(const std::vector<std::string>& lines, std::string* build,
                                          std::string* firmware) {
  if (lines.size() > 1 && build) *build = lines[1];
  if (lines.size() > 2 && firmware) *firmware = lines[2].substr(0, lines[2].find('\r'));
}

void UpdateServerRequest::ParseBuild(const std::vector<std::string>& lines, std::string& bird) {
  bird.clear();
  if (lines.size() > 1) bird = lines[1];
}

void UpdateServerRequest::ParseBuildList(const std::vector<std::string>& lines,
                                         std::map<std::string, std::string>& builds) {
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.size() < 3) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
    const size_t separator = line.find(';');
    const std::string build = line.substr(0, separator);
    const std::string version = separator == std::string::npos ? std::string() : line.substr(separator + 1);
    if (builds.emplace(build, version).second) {
      Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
    }
  }
}

void UpdateServerRequest::ParseRecoveryInfo(const std::vector<std::string>& lines, uint32_t* serialNumber,
                                            uint32_t* build) {
  const char* at[3] = {"", "", ""};
  for (size_t i = 0; i < 3 && i < lines.size(); ++i) at[i] = lines[i].c_str();
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", at[0], at[1], at[2]);
  // A value that does not fit 32 bits is left out rather than cut to fit:
  // a saturated serial number would name another device.
  uint32_t value = 0;
  if (lines.size() > 1 && serialNumber && sParse32(lines[1], 16, value)) *serialNumber = value;
  if (lines.size() > 2 && build && sParse32(lines[2], 0, value)) *build = value;
}

bool UpdateServerRequest::ParseDeviceJWT(const std::vector<std::string>& lines, std::string& token) {
  if (lines.size() < 2 || lines[1].size() <= 2) return false;
  const std::string& line = lines[1];
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());
  const size_t firstDot = line.find('.');
  if (firstDot == std::string::npos) return false;
  const size_t secondDot = line.find('.', firstDot + 1);
  if (secondDot == std::string::npos) return false;
  const std::string header = line.substr(0, firstDot);
  const std::string payload = line.substr(firstDot + 1, secondDot - firstDot - 1);
  const std::string rest = line.substr(secondDot + 1);
  const std::string signature = rest.substr(0, rest.find('\r'));
  if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
  token = header + "." + payload + "." + signature;
  return true;
}

bool UpdateServerRequest::ping(const char* url) {
  std::vector<std::string> lines;
  return sRequest("ping", url, {{"op", "hi"}, {"rv", "2"}}, lines);
}

bool UpdateServerRequest::QueryBuild(uint32_t serialNumber, std::string& build, std::string& firmware,
                                     const char* url) {
  std::vector<std::string> lines;
  if (!sRequest("QueryBuild", url, {{"op", "qu"}, {"sn", aText_Hex32(serialNumber)}}, lines)) return false;
  ParseQueryBuild(lines, &build, &firmware);
  return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serialNumber, const std::string& firmware,
                                   const std::string& build, std::string& bird, const char* url,
                                   bool noCalibration) {
  const HTTPParameters parameters = {{"bld", build},
                                     {"fw", firmware},
                                     {"no_cal", noCalibration ? "true" : "false"},
                                     {"op", "bird"},
                                     {"sn", aText_Hex32(serialNumber)}};
  std::vector<std::string> lines;
  if (!sRequest("GetBuild", url, parameters, lines)) return false;
  ParseBuild(lines, bird);
  return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serialNumber, std::map<std::string, std::string>& builds,
                                       const char* url) {
  builds.clear();
  std::vector<std::string> lines;
  if (!sRequest("GetBuildList", url, {{"op", "builds"}, {"sn", aText_Hex32(serialNumber)}}, lines)) {
    return false;
  }
  ParseBuildList(lines, builds);
  return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serialNumber,
                                          uint32_t* build, const char* url) {
  if (!fingerprint) return false;
  char fp[64];
  // Space-separated; the URL builder percent-encodes the spaces.
  std::snprintf(fp, sizeof fp, "%08X %08X %08X %08X", fingerprint[0], fingerprint[1], fingerprint[2],
                fingerprint[3]);
  std::vector<std::string> lines;
  if (!sRequest("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, lines)) return false;
  ParseRecoveryInfo(lines, serialNumber, build);
  return true;
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serialNumber, std::string& token, const char* url) {
  std::vector<std::string> lines;
  if (!sRequest("GetDeviceJWT", url,
                {{"json", "false"}, {"op", "ent_jwt"}, {"sn", aText_Hex32(serialNumber)}}, lines)) {
    return false;
  }
  return ParseDeviceJWT(lines, token);
}

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
