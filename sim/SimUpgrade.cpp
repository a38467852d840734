#include "sim/SimUpgrade.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/aErr.h"
#include "sim/SimProtocol.h"

namespace sim {
namespace {

// Caps on what the descriptor reader takes from a file, in bytes.
constexpr size_t kMaxBirdFile = 64u << 20;
constexpr size_t kMaxContainer = 256u << 20;
constexpr size_t kDescriptorSize = 64;
constexpr uint8_t kDescriptorType = 4;

uint32_t sInt(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void sPushInt(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t sSum(const uint8_t* bytes, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += bytes[i];
  return sum;
}

bool sInflate(const std::vector<uint8_t>& in, size_t from, std::vector<uint8_t>& out, std::string& error) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    error = "zlib cannot start";
    return false;
  }
  z.next_in = const_cast<Bytef*>(in.data() + from);
  z.avail_in = static_cast<uInt>(in.size() - from);
  uint8_t buf[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    if (out.size() > kMaxContainer) rc = Z_MEM_ERROR;
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) {
    error = "contents do not decompress (zlib " + std::to_string(rc) + ")";
    return false;
  }
  return true;
}

}  // namespace

bool parseVersionText(const std::string& text, uint32_t& packed) {
  unsigned part[3];
  char tail = 0;
  if (std::sscanf(text.c_str(), "%3u.%3u.%3u%c", &part[0], &part[1], &part[2], &tail) != 3) return false;
  if (part[0] > 255 || part[1] > 255 || part[2] > 255) return false;
  packed = packVersion(static_cast<uint8_t>(part[0]), static_cast<uint8_t>(part[1]),
                       static_cast<uint8_t>(part[2]));
  return true;
}

bool parseBirdDescriptor(const std::vector<uint8_t>& file, BirdDescriptor& out, std::string& error) {
  if (file.size() <= 6 || file[0] != 'b' || file[1] != 'i' || file[2] != 'r' || file[3] != 'd') {
    error = "not a BIRD file";
    return false;
  }
  std::vector<uint8_t> c;
  if (!sInflate(file, 6, c, error)) return false;
  // Block count, then type/flags byte, 32-bit length, data; checksum last.
  size_t at = 4;
  while (c.size() >= at + 5 + 4) {
    const uint8_t type = c[at] & 0x1F;
    const uint32_t length = sInt(&c[at + 1]);
    if (length > c.size() - at - 5) break;
    const uint8_t* d = &c[at + 5];
    if (type == kDescriptorType && length >= kDescriptorSize) {
      size_t i = 0;
      while (i < 15 && d[i] == ' ') ++i;
      uint64_t build = 0;
      for (; i < 15 && d[i] >= '0' && d[i] <= '9'; ++i)
        build = build * 10 + static_cast<uint64_t>(d[i] - '0');
      out.build = static_cast<uint32_t>(build);
      std::string version(reinterpret_cast<const char*>(d + 16), 15);
      out.version = version.substr(0, version.find(' '));
      return true;
    }
    at += 5 + length;
  }
  error = "no descriptor";
  return false;
}

bool readBirdDescriptor(const std::string& path, BirdDescriptor& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::vector<uint8_t> file;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    file.insert(file.end(), buf, buf + in.gcount());
    if (file.size() > kMaxBirdFile) {
      error = path + " is larger than a firmware file can be";
      return false;
    }
  }
  if (!parseBirdDescriptor(file, out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

std::vector<uint8_t> SimUpgrade::status(uint8_t value, const std::vector<uint8_t>& result) {
  std::vector<uint8_t> out(3 + result.size());
  out[0] = kCommand;
  out[1] = kStatus;
  out[2] = value;
  std::copy(result.begin(), result.end(), out.begin() + 3);
  return out;
}

size_t SimUpgrade::chunkRoom() const {
  if (stage_ == Stage::Boot) return kRamSize - ramUsed_;
  if (stage_ == Stage::Loader && prepared_) return config_.blockSize - chunk_.size();
  return 0;
}

void SimUpgrade::accept(const uint8_t* bytes, size_t n) {
  chunk_.insert(chunk_.end(), bytes, bytes + n);
  chunkSum_ += sSum(bytes, n);
  if (stage_ == Stage::Boot && !ram_.empty()) {
    ram_.back().second.insert(ram_.back().second.end(), bytes, bytes + n);
    ramUsed_ += n;
  }
}

void SimUpgrade::handle(const std::vector<uint8_t>& d, Outcome& out) {
  if (d.size() < 2 || d[0] != kCommand) return;
  if (d[1] & 0xC0) return onUei(d, out);
  switch (d[1]) {
    case kInit: {
      stage_ = Stage::Boot;
      ram_.clear();
      ramUsed_ = 0;
      chunk_.clear();
      chunkSum_ = 0;
      prepared_ = false;
      writes_ = 0;
      std::vector<uint8_t> r{kCommand, kInit};
      sPushInt(r, kLoadBase);
      out.replies.push_back(r);
      break;
    }
    case kPrepare:
      onPrepare(d, out);
      break;
    case kData:
      onData(d, out);
      break;
    case kSum: {
      if (stage_ == Stage::Firmware) {
        out.replies.push_back(status(kRefused, {0, 0, 0, 0}));
        break;
      }
      uint32_t sum = chunkSum_;
      if (config_.badSumOnce && !sumSpoiled_) {
        sumSpoiled_ = true;
        sum += 1;
      }
      std::vector<uint8_t> result;
      sPushInt(result, sum);
      out.replies.push_back(status(0, result));
      break;
    }
    case kWrite:
      onWrite(d, out);
      break;
    case kLoad:
      if (stage_ == Stage::Firmware) break;
      stage_ = Stage::Loader;
      chunk_.clear();
      chunkSum_ = 0;
      prepared_ = false;
      out.replies.push_back({kCommand, kLoad});
      if (config_.dropOnLoad) {
        loadDrop_ = true;
        out.dropLink = true;
        out.answerLater = true;
      }
      break;
    case kReboot:
      // No reply: the host waits for the link to go away instead.
      if (config_.dropOnReboot) {
        out.dropLink = true;
      } else {
        out.restartNow = true;
      }
      break;
    default:
      break;
  }
}

void SimUpgrade::onPrepare(const std::vector<uint8_t>& d, Outcome& out) {
  // Request: command, option, flags, address (4 bytes).
  const bool mute = config_.mutePrepare == UpgradeConfig::Mute::All ||
                    (stage_ == Stage::Boot && config_.mutePrepare == UpgradeConfig::Mute::Loader) ||
                    (stage_ == Stage::Loader && config_.mutePrepare == UpgradeConfig::Mute::Firmware);
  std::vector<uint8_t> reply;
  const uint8_t grant[2] = {static_cast<uint8_t>(config_.blockSize >> 8),
                            static_cast<uint8_t>(config_.blockSize)};
  if (d.size() != 7 || stage_ == Stage::Firmware) {
    reply = status(kRefused, {0, 0});
  } else {
    const uint32_t address = sInt(&d[3]);
    chunk_.clear();
    chunkSum_ = 0;
    if (stage_ == Stage::Boot) {
      ram_.emplace_back(address, std::vector<uint8_t>());
      reply = status(0, {grant[0], grant[1]});
    } else if (address >= config_.flashSize) {
      prepared_ = false;
      reply = status(kRefused, {0, 0});
    } else {
      target_ = address;
      prepared_ = true;
      reply = status(0, {grant[0], grant[1]});
    }
  }
  if (!mute) out.replies.push_back(reply);
}

void SimUpgrade::onData(const std::vector<uint8_t>& d, Outcome& out) {
  const size_t n = d.size() - 2;
  if (n > 0 && stage_ != Stage::Firmware) {
    ++dataPackets_;
    if (config_.ignoreDataEvery && dataPackets_ % config_.ignoreDataEvery == 0) return;
  }
  uint8_t accepted = 0;
  if (n > 0 && n <= kMaxDataPayload && n <= chunkRoom()) {
    accept(d.data() + 2, n);
    accepted = static_cast<uint8_t>(n);
  }
  out.replies.push_back({kCommand, kData, accepted});
}

void SimUpgrade::onWrite(const std::vector<uint8_t>& d, Outcome& out) {
  // Request: command, option, length (2 bytes).
  const size_t n = d.size() == 4 ? size_t{d[2]} << 8 | d[3] : 0;
  const bool ok = stage_ == Stage::Loader && prepared_ && n > 0 && n == chunk_.size() &&
                  uint64_t{target_} + n <= config_.flashSize;
  if (ok) {
    if (flash_.size() < target_ + n) flash_.resize(target_ + n, 0xFF);
    std::copy(chunk_.begin(), chunk_.end(), flash_.begin() + target_);
    target_ += static_cast<uint32_t>(n);
    ++writes_;
    std::string error;
    if (!saveFlash(error)) std::fprintf(stderr, "corvalith-sim: %s\n", error.c_str());
  }
  chunk_.clear();
  chunkSum_ = 0;
  out.replies.push_back(status(ok ? 0 : kRefused));
}

void SimUpgrade::onUei(const std::vector<uint8_t>& d, Outcome& out) {
  // Command, option (0x80 set, 0x40 get), index byte, part, trailer.
  const uint8_t option = d[1] & 0x3F;
  const bool set = (d[1] & 0xC0) == 0x80;
  const uint8_t replyOption = set ? static_cast<uint8_t>(option | 0xC0) : option;
  const uint8_t index = d.size() > 2 ? d[2] & 0x1F : 0;
  auto fail = [&](uint8_t err) {
    out.replies.push_back({kCommand, replyOption, static_cast<uint8_t>(0x80 | index), err});
  };
  if (d.size() < 4) return fail(aErrSize);
  const uint8_t trailer = d.back();
  const bool more = (trailer & 0x80) != 0;
  const uint8_t seq = trailer & 0x7F;
  // Answered once per series, after its last part, like any UEI-bytes set.
  if (!set || option != kDataUei || !config_.ueiData) {
    if (!more) fail(aErrUnimplemented);
    return;
  }
  if (index != 0) {
    if (!more) fail(aErrIndexRange);
    return;
  }
  // The sequence number wraps at 128: a 0 continues a running series when it
  // is the number expected and starts a new one otherwise.
  const bool continues = seriesActive_ && seq == seriesSeq_;
  if (!continues && seq == 0) {
    series_.clear();
    seriesActive_ = true;
    seriesBroken_ = false;
  } else if (!continues) {
    // A lost part: report it once and ignore the rest of the series.
    if (!seriesBroken_) fail(aErrPacket);
    seriesActive_ = false;
    seriesBroken_ = true;
    return;
  }
  // Parts beyond the room are dropped; the series then fails on its end.
  if (series_.size() <= chunkRoom()) series_.insert(series_.end(), d.begin() + 3, d.end() - 1);
  if (more) {
    seriesSeq_ = static_cast<uint8_t>((seq + 1) & 0x7F);
    return;
  }
  seriesActive_ = false;
  if (stage_ == Stage::Firmware) return fail(aErrInvalidOption);
  if (series_.size() > chunkRoom()) return fail(aErrSize);
  accept(series_.data(), series_.size());
  out.replies.push_back({kCommand, replyOption, index});
}

bool SimUpgrade::restart(BirdDescriptor& next) {
  seriesActive_ = false;
  if (loadDrop_) {
    loadDrop_ = false;
    return false;
  }
  const bool fresh = stage_ == Stage::Loader && writes_ > 0;
  // A recovery loader keeps running from RAM until it has written firmware.
  if (fresh) ramLoader_ = false;
  stage_ = ramLoader_ ? Stage::Loader : Stage::Firmware;
  chunk_.clear();
  chunkSum_ = 0;
  prepared_ = false;
  writes_ = 0;
  if (!fresh || config_.rebootBird.empty()) return false;
  std::string error;
  if (!readBirdDescriptor(config_.rebootBird, next, error)) {
    std::fprintf(stderr, "corvalith-sim: reboot-bird: %s; the version stays\n", error.c_str());
    return false;
  }
  return true;
}

bool SimUpgrade::saveFlash(std::string& error) const {
  if (config_.flashFile.empty()) return true;
  // Written aside and renamed, so a reader never sees half an image.
  const std::string part = config_.flashFile + ".part";
  {
    std::ofstream f(part, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(flash_.data()), static_cast<std::streamsize>(flash_.size()));
    if (!f.flush()) {
      error = "cannot write " + part;
      return false;
    }
  }
  if (std::rename(part.c_str(), config_.flashFile.c_str()) != 0) {
    error = "cannot rename " + part + " to " + config_.flashFile;
    return false;
  }
  return true;
}

}  // namespace sim
