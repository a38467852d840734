// Parses arbitrary bytes as an update-server reply body with every reply
// parser. Whatever a server sends, the parsers must stay inside the body and
// only produce results of the documented shape.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "updater/UpdateServerRequest.h"

namespace {

void sCheck(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = UpdateServerRequest::SplitReply(body);
  for (const std::string& line : lines) {
    // Only the CR of a CRLF pair is dropped; any other CR stays in the line.
    sCheck(!line.empty() && line.find('\n') == std::string::npos);
  }
  sCheck(UpdateServerRequest::ReplyIsOk(lines) == (!lines.empty() && lines[0].compare(0, 2, "ok") == 0));

  std::string build = "unset";
  std::string firmware = "unset";
  UpdateServerRequest::ParseQueryBuild(lines, &build, &firmware);
  sCheck(firmware.find('\r') == std::string::npos);

  std::string bird = "unset";
  UpdateServerRequest::ParseBuild(lines, bird);
  sCheck(lines.size() > 1 ? bird == lines[1] : bird.empty());

  std::map<std::string, std::string> builds;
  UpdateServerRequest::ParseBuildList(lines, builds);
  for (const auto& entry : builds) sCheck(entry.first.find(';') == std::string::npos);
  sCheck(builds.size() < lines.size() || builds.empty());

  uint32_t serial = 0;
  uint32_t number = 0;
  UpdateServerRequest::ParseRecoveryInfo(lines, &serial, &number);
  UpdateServerRequest::ParseRecoveryInfo(lines, nullptr, nullptr);

  std::string token;
  if (UpdateServerRequest::ParseDeviceJWT(lines, token)) {
    const size_t first = token.find('.');
    const size_t second = token.find('.', first + 1);
    sCheck(first >= 2 && second != std::string::npos && second - first > 2 && token.size() - second > 2);
  } else {
    sCheck(token.empty());
  }

  // Sorting a parsed build list must keep every entry.
  sCheck(UpdateServerRequest::SortBuildsByVersion(builds).size() == builds.size());
  return 0;
}
