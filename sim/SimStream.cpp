#include "sim/SimStream.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <sstream>

#include "common/aErr.h"

namespace sim {
namespace {

constexpr uint32_t kMaxIntervalMs = 3600000;
constexpr uint8_t kMaxSubindexes = 32;

bool sNumber(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  out = std::strtoull(text.c_str(), nullptr, 10);
  return out <= max;
}

// Commands whose packets are not UEI payloads: a sample with one of them
// would not be taken as a sample at all.
bool sRawCommand(unsigned c) {
  switch (c) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175:
      return true;
    default:
      return false;
  }
}

uint8_t sKeyByte(uint32_t key, int shift) {
  return static_cast<uint8_t>(key >> shift);
}

void sPush(std::vector<uint8_t>& out, uint64_t v, size_t bytes) {
  for (size_t i = bytes; i-- > 0;) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

bool isStreamKey(const std::string& key) {
  return key == "stream-ms" || key == "stream-source" || key == "stream-entity" || key == "bad-sample-every";
}

bool applyStreamKey(StreamConfig& config, const std::string& key, const std::string& value,
                    std::string& error) {
  auto bad = [&](const char* what) {
    error = "bad value for " + key + " (" + what + "): " + value;
    return false;
  };
  uint64_t v = 0;
  if (key == "stream-ms") {
    if (!sNumber(value, kMaxIntervalMs, v) || v == 0) return bad("1 to 3600000");
    config.intervalMs = static_cast<uint32_t>(v);
  } else if (key == "stream-source") {
    if (value == "counter") {
      config.source = StreamConfig::Source::Counter;
    } else if (value == "value") {
      config.source = StreamConfig::Source::Value;
    } else {
      return bad("counter or value");
    }
  } else if (key == "stream-entity") {
    std::vector<std::string> parts;
    std::stringstream ss(value);
    std::string part;
    while (std::getline(ss, part, ':')) parts.push_back(part);
    uint64_t n[6] = {0, 0, 0, 0, 0, 0};
    const uint64_t max[6] = {255, 63, 31, 4, kMaxSubindexes, 0xFFFFFFFFu};
    bool ok = parts.size() >= 4 && parts.size() <= 6;
    for (size_t i = 0; ok && i < parts.size(); ++i) ok = sNumber(parts[i], max[i], n[i]);
    if (!ok || (n[3] != 1 && n[3] != 2 && n[3] != 4))
      return bad("CMD:OPTION:INDEX:SIZE[:SUBINDEXES[:VALUE]], SIZE 1, 2 or 4");
    if (sRawCommand(static_cast<unsigned>(n[0])) || n[0] == 3 || n[0] == SimStreams::kCommand || n[0] == 0x5F)
      return bad("not a raw command, nor 3, 93 or 95, which the module answers itself");
    StreamEntity e;
    e.command = static_cast<uint8_t>(n[0]);
    e.option = static_cast<uint8_t>(n[1]);
    e.index = static_cast<uint8_t>(n[2]);
    e.size = static_cast<uint8_t>(n[3]);
    e.subindexes = static_cast<uint8_t>(n[4]);
    e.value = static_cast<uint32_t>(n[5]);
    config.entities.push_back(e);
  } else if (key == "bad-sample-every") {
    if (!sNumber(value, 0xFFFFFFFFu, v)) return bad("0 or more");
    config.badSampleEvery = static_cast<uint32_t>(v);
  } else {
    error = "unknown module key: " + key;
    return false;
  }
  return true;
}

SimStreams::SimStreams(const StreamConfig& config, uint8_t moduleAddress)
    : config_(config), address_(moduleAddress) {
  for (const StreamEntity& e : config_.entities) addEntity(e);
}

bool SimStreams::covers(uint32_t key, const StreamEntity& e) const {
  auto match = [&](int shift, uint8_t mine) {
    const uint8_t b = sKeyByte(key, shift);
    return b == kAny || b == mine;
  };
  return match(16, e.command) && match(8, e.option) && match(0, e.index);
}

void SimStreams::reply(uint8_t option, uint8_t index, uint8_t code,
                       std::vector<std::vector<uint8_t>>& out) const {
  out.push_back({kCommand, option, static_cast<uint8_t>(0x80 | index), code});
}

void SimStreams::handle(const std::vector<uint8_t>& d, uint64_t nowMs,
                        std::vector<std::vector<uint8_t>>& out) {
  if (d.size() < 3) return;
  const uint8_t option = d[1] & 0x3F;
  const bool get = (d[1] & 0x40) != 0;
  const bool set = (d[1] & 0x80) != 0;
  const uint8_t rOpt = set ? static_cast<uint8_t>(option | 0xC0) : option;
  const uint8_t index = d[2] & 0x1F;
  if (get == set) return reply(rOpt, index, aErrParam, out);
  if (index != 0) return reply(rOpt, index, aErrIndexRange, out);
  if (get) {
    if (option != kEnable) return reply(rOpt, index, aErrUnimplemented, out);
    if (d.size() != 3) return reply(rOpt, index, aErrSize, out);
    out.push_back({kCommand, option, 0, static_cast<uint8_t>(streaming() ? 1 : 0)});
    return;
  }
  if (option != kEnable && option != kDisable) return reply(rOpt, index, aErrUnimplemented, out);
  if (d.size() != 7) return reply(rOpt, index, aErrSize, out);
  const uint32_t key = uint32_t{d[3]} << 24 | uint32_t{d[4]} << 16 | uint32_t{d[5]} << 8 | d[6];
  if (sKeyByte(key, 24) != address_) return reply(rOpt, index, aErrParam, out);
  if (option == kEnable) {
    bool any = false;
    for (const Entity& e : entities_) any = any || covers(key, e.e);
    if (!any) return reply(rOpt, index, aErrNotFound, out);
    if (enabled_.empty()) nextDueMs_ = nowMs + config_.intervalMs;
    enabled_.insert(key);
  } else {
    // A disable ends the stream it names and any narrower one it covers.
    for (auto it = enabled_.begin(); it != enabled_.end();) {
      bool inside = true;
      for (int shift : {16, 8, 0}) {
        const uint8_t b = sKeyByte(key, shift);
        inside = inside && (b == kAny || b == sKeyByte(*it, shift));
      }
      it = inside ? enabled_.erase(it) : std::next(it);
    }
    if (enabled_.empty()) stop();
  }
  out.push_back({kCommand, rOpt, 0});
}

void SimStreams::stop() {
  enabled_.clear();
  for (Entity& e : entities_) e.counter = 0;
}

uint64_t SimStreams::nextDueMs() const {
  return streaming() ? nextDueMs_ : std::numeric_limits<uint64_t>::max();
}

void SimStreams::takeSamples(uint64_t nowMs, uint64_t bootMs, const ValueOf& valueOf,
                             std::vector<std::vector<uint8_t>>& out) {
  if (!streaming() || nowMs < nextDueMs_) return;
  // Samples are taken on a fixed grid and stamped with their grid time, as a
  // module's timer would; intervals missed while late (a busy machine) are
  // skipped rather than sent in a burst.
  const uint64_t interval = config_.intervalMs;
  const uint64_t takenMs = nextDueMs_ + interval * ((nowMs - nextDueMs_) / interval);
  nextDueMs_ = takenMs + interval;
  const uint64_t stampUs = (takenMs - std::min(takenMs, bootMs)) * 1000;
  size_t made = 0;
  for (Entity& entity : entities_) {
    bool on = false;
    for (uint32_t key : enabled_) on = on || covers(key, entity.e);
    if (!on) continue;
    const StreamEntity& e = entity.e;
    const unsigned count = e.subindexes ? e.subindexes : 1;
    for (unsigned sub = 0; sub < count && made < kMaxSamplesPerTick; ++sub, ++made) {
      uint8_t type = e.size == 1 ? 1 : e.size == 2 ? 2 : 3;
      ++sent_;
      if (config_.badSampleEvery && sent_ % config_.badSampleEvery == 0) type = type % 3 + 1;
      if (e.subindexes) type = static_cast<uint8_t>(type + 4);
      std::vector<uint8_t> s{e.command, e.option, static_cast<uint8_t>(e.index | kSampleBit), type};
      if (e.subindexes) s.push_back(static_cast<uint8_t>(sub));
      sPush(s, stampUs, 8);
      const uint32_t value = config_.source == StreamConfig::Source::Counter
                                 ? entity.counter
                                 : valueOf(e, static_cast<uint8_t>(sub));
      sPush(s, value, e.size);
      s.push_back(0);
      ++entity.counter;
      out.push_back(std::move(s));
    }
  }
}

}  // namespace sim
