#include "server/UpdateServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "server/Jwt.h"

namespace fs = std::filesystem;

namespace updateserver {

namespace {

constexpr const char* kDefaultFirmwareId = "standard";
constexpr const char* kBirdSuffix = ".bird";

// Exactly eight upper-case hexadecimal digits: the only serial texts that
// name a device folder (and nothing like "../x" reaches the file system).
bool sIsSerial(const std::string& text) {
  if (text.size() != 8) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// Canonical unsigned decimal that fits 32 bits (no sign, no leading zeros).
bool sParseBuild(const std::string& text, unsigned& value) {
  if (text.empty() || text.size() > 10) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull) return false;
  value = static_cast<unsigned>(v);
  return true;
}

bool sParseHexWord(const std::string& text, unsigned& value) {
  if (text.empty() || text.size() > 8) return false;
  if (!std::all_of(text.begin(), text.end(),
                   [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return false;
  value = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

std::string sTrim(const std::string& text) {
  const char* space = " \t\r\n";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Largest file the server reads into a reply; builds are far smaller.
constexpr size_t kMaxServedFileBytes = size_t{64} << 20;

// The whole file when it is a regular file of at most kMaxServedFileBytes.
// Opened without blocking, so a FIFO under the root cannot hold a worker.
bool sReadFile(const fs::path& path, std::string& bytes) {
  bytes.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= kMaxServedFileBytes;
  char chunk[65536];
  while (ok) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0 || bytes.size() + static_cast<size_t>(n) > kMaxServedFileBytes) {
      ok = false;
      break;
    }
    bytes.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  if (!ok) bytes.clear();
  return ok;
}

// Trimmed lines that are neither blank nor comments; empty when unreadable.
std::vector<std::string> sReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::string text;
  if (!sReadFile(path, text)) return lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    line = sTrim(line);
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

std::string sBase64(const std::string& bytes) {
  return Base64Encode(bytes);
}

uint32_t sBigEndian(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The version text of a BIRD file's descriptor, read with the server's own
// minimal reader (not the client's): "bird", two format bytes, then one zlib
// stream of a block count, blocks (type byte, 32-bit length, data) and a
// checksum; the descriptor (type 4, at least 64 bytes) holds the version in
// its second 16-byte field. Empty when any of that is missing.
std::string sBirdVersion(const std::string& file) {
  constexpr size_t kHeaderSize = 6;
  constexpr size_t kMaxContents = size_t{64} << 20;
  constexpr unsigned kDescriptorType = 4;
  constexpr size_t kDescriptorSize = 64;
  constexpr size_t kFieldSize = 16;
  constexpr size_t kVersionChars = 15;
  if (file.size() <= kHeaderSize || file.compare(0, 4, "bird") != 0) return "";
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return "";
  std::string contents;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + kHeaderSize));
  z.avail_in = static_cast<uInt>(file.size() - kHeaderSize);
  int rc = Z_OK;
  unsigned char chunk[65536];
  while (rc == Z_OK && contents.size() < kMaxContents) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    contents.append(reinterpret_cast<char*>(chunk), sizeof chunk - z.avail_out);
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return "";
  const auto* data = reinterpret_cast<const unsigned char*>(contents.data());
  size_t pos = 4;
  while (pos + 5 <= contents.size()) {
    const unsigned type = data[pos] & 0x1F;
    const uint32_t length = sBigEndian(data + pos + 1);
    if (length > contents.size() - pos - 5) return "";
    if (type == kDescriptorType && length >= kDescriptorSize) {
      const char* field = contents.data() + pos + 5 + kFieldSize;
      size_t n = 0;
      while (n < kVersionChars && field[n] != ' ' && field[n] != '\0') ++n;
      return std::string(field, n);
    }
    pos += 5 + length;
  }
  return "";
}

std::string sParam(const std::map<std::string, std::string>& params, const char* key) {
  const auto it = params.find(key);
  return it == params.end() ? std::string() : it->second;
}

Reply sError(const std::string& why) {
  return Reply{200, "error " + why + "\n"};
}

bool sExists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

}  // namespace

bool ParseFault(const std::string& name, Fault& fault) {
  static const std::map<std::string, Fault> kNames = {
      {"okay", Fault::Okay},
      {"error", Fault::Error},
      {"empty", Fault::Empty},
      {"status500", Fault::Status500},
      {"badbase64", Fault::BadBase64},
      {"notbird", Fault::NotBird},
      {"shorttoken", Fault::ShortToken},
      {"crlf", Fault::CrLf},
  };
  const auto it = kNames.find(name);
  if (it == kNames.end()) return false;
  fault = it->second;
  return true;
}

UpdateServer::UpdateServer(Config cfg) : config(std::move(cfg)) {}

std::string UpdateServer::DeviceDir(const std::string& serial) const {
  return (fs::path(config.root) / serial).string();
}

Fault UpdateServer::FaultFor(const std::string& op) const {
  auto it = config.faults.find(op);
  if (it == config.faults.end()) it = config.faults.find("*");
  return it == config.faults.end() ? Fault::None : it->second;
}

Reply UpdateServer::Answer(const std::map<std::string, std::string>& params) const {
  const std::string op = sParam(params, "op");
  Reply reply;
  try {
    reply = AnswerOp(op, params);
  } catch (const std::exception& e) {
    reply = sError(std::string("internal ") + e.what());
  }

  switch (FaultFor(op)) {
    case Fault::Okay:
      if (reply.body.compare(0, 2, "ok") == 0) reply.body.insert(2, "ay");
      break;
    case Fault::Error:
      reply.body = "error\n";
      break;
    case Fault::Empty:
      reply.body.clear();
      break;
    case Fault::Status500:
      reply.status = 500;
      break;
    case Fault::CrLf: {
      std::string crlf;
      for (char c : reply.body) {
        if (c == '\n') crlf += '\r';
        crlf += c;
      }
      reply.body = crlf;
      break;
    }
    default:
      break;
  }
  return reply;
}

Reply UpdateServer::AnswerOp(const std::string& op, const std::map<std::string, std::string>& params) const {
  if (op == "hi") return Reply{200, "ok\n"};
  if (op == "fix") return GetRecoveryInfo(params);

  const bool known = op == "qu" || op == "bird" || op == "builds" || op == "ent_jwt";
  if (!known) return sError("unknown op");
  const std::string serial = sParam(params, "sn");
  std::error_code ec;
  if (!sIsSerial(serial) || !fs::is_directory(DeviceDir(serial), ec)) return sError("unknown device");

  if (op == "qu") return QueryBuild(serial);
  if (op == "bird") return GetBuild(serial, params, FaultFor(op));
  if (op == "builds") return GetBuildList(serial);
  return GetDeviceJWT(serial, FaultFor(op));
}

bool UpdateServer::ListBuilds(const std::string& serial, std::vector<BuildEntry>& builds) const {
  builds.clear();
  std::error_code ec;
  fs::directory_iterator it(DeviceDir(serial), ec);
  if (ec) return false;
  for (const fs::directory_entry& entry : it) {
    const std::string name = entry.path().filename().string();
    const size_t suffix = name.size() > 5 ? name.size() - 5 : 0;
    unsigned build = 0;
    if (!suffix || name.compare(suffix, 5, kBirdSuffix) != 0) continue;
    if (!sParseBuild(name.substr(0, suffix), build) || !entry.is_regular_file(ec)) continue;
    BuildEntry item;
    item.build = build;
    // Listed without a version, as the client does for unreadable files.
    std::string bytes;
    if (sReadFile(entry.path(), bytes)) item.version = sBirdVersion(bytes);
    builds.push_back(item);
  }
  std::sort(builds.begin(), builds.end(),
            [](const BuildEntry& a, const BuildEntry& b) { return a.build < b.build; });
  return true;
}

bool UpdateServer::CurrentBuild(const std::string& serial, unsigned& build) const {
  const std::vector<std::string> named = sReadLines(fs::path(DeviceDir(serial)) / "current");
  if (!named.empty()) return sParseBuild(named.front(), build);
  std::vector<BuildEntry> builds;
  if (!ListBuilds(serial, builds) || builds.empty()) return false;
  build = builds.back().build;
  return true;
}

std::string UpdateServer::FirmwareId(const std::string& serial) const {
  const std::vector<std::string> lines = sReadLines(fs::path(DeviceDir(serial)) / "firmware");
  return lines.empty() ? kDefaultFirmwareId : lines.front();
}

Reply UpdateServer::QueryBuild(const std::string& serial) const {
  unsigned build = 0;
  if (!CurrentBuild(serial, build)) return sError("no current build");
  return Reply{200, "ok\n" + std::to_string(build) + "\n" + FirmwareId(serial) + "\n"};
}

Reply UpdateServer::GetBuild(const std::string& serial, const std::map<std::string, std::string>& params,
                             Fault fault) const {
  unsigned build = 0;
  if (!sParseBuild(sParam(params, "bld"), build)) return sError("bad build");
  if (sParam(params, "fw") != FirmwareId(serial)) return sError("unknown firmware");

  const std::string name = std::to_string(build) + kBirdSuffix;
  fs::path path = fs::path(DeviceDir(serial)) / name;
  if (!sExists(path)) path = fs::path(DeviceDir(serial)) / "unlisted" / name;
  std::string bytes;
  if (!sExists(path) || !sReadFile(path, bytes)) return sError("no such build");

  if (fault == Fault::NotBird) bytes = "this is not a firmware file";
  std::string text = sBase64(bytes);
  if (fault == Fault::BadBase64 && !text.empty()) text[text.size() / 2] = '*';
  return Reply{200, "ok\n" + text + "\n"};
}

Reply UpdateServer::GetBuildList(const std::string& serial) const {
  std::vector<BuildEntry> builds;
  ListBuilds(serial, builds);
  std::string body = "ok\n";
  for (const BuildEntry& b : builds) body += std::to_string(b.build) + ";" + b.version + "\n";
  return Reply{200, body};
}

Reply UpdateServer::GetRecoveryInfo(const std::map<std::string, std::string>& params) const {
  // The client writes the separators as "%20"; they arrive decoded, but a
  // raw "%20" is accepted too.
  std::string fp = sParam(params, "fp");
  for (size_t at = fp.find("%20"); at != std::string::npos; at = fp.find("%20", at)) fp.replace(at, 3, " ");
  std::istringstream words(fp);
  unsigned key[4] = {0, 0, 0, 0};
  std::string word;
  for (unsigned& k : key) {
    if (!(words >> word) || !sParseHexWord(word, k)) return sError("bad fingerprint");
  }
  if (words >> word) return sError("bad fingerprint");

  for (const std::string& line : sReadLines(fs::path(config.root) / "fingerprints")) {
    std::istringstream fields(line);
    std::string w[4], serial, buildText;
    if (!(fields >> w[0] >> w[1] >> w[2] >> w[3] >> serial >> buildText)) continue;
    bool match = true;
    for (int i = 0; i < 4 && match; ++i) {
      unsigned value = 0;
      match = sParseHexWord(w[i], value) && value == key[i];
    }
    unsigned sn = 0;
    unsigned build = 0;
    if (!match || !sParseHexWord(serial, sn) || !sParseBuild(buildText, build)) continue;
    char text[32];
    std::snprintf(text, sizeof text, "%08X", sn);
    return Reply{200, "ok\n" + std::string(text) + "\n" + std::to_string(build) + "\n"};
  }
  return sError("unknown fingerprint");
}

Reply UpdateServer::GetDeviceJWT(const std::string& serial, Fault fault) const {
  if (config.signingKey.empty()) return sError("no signing key");
  const std::vector<std::string> features = sReadLines(fs::path(DeviceDir(serial)) / "features");
  std::string token = MakeDeviceJwt(serial, features, config.signingKey);
  if (fault == Fault::ShortToken) token.replace(0, token.find('.'), "e");
  return Reply{200, "ok\n" + token + "\n"};
}

}  // namespace updateserver
