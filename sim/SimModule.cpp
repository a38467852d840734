#include "sim/SimModule.h"

#include "common/aErr.h"

namespace sim {
namespace {

// Reply option byte: a get is answered with the bare option, a set with both
// direction bits.
uint8_t sReplyOption(uint8_t optionByte) {
  uint8_t option = optionByte & 0x3F;
  return (optionByte & 0x80) ? static_cast<uint8_t>(option | 0xC0) : option;
}

void sPushInt(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

}  // namespace

SimModule::SimModule(const ModuleConfig& config) : config_(config), upgrade_(config.upgrade) {
  setDefaults();
}

void SimModule::setDefaults() {
  const uint8_t G = kGet, S = kSet, GS = kGet | kSet;
  const uint32_t features = config_.upgrade.pooled ? kFeaturePooled | 1u : 1u;
  options_ = {
      {1, {Kind::Byte, G, config_.address}},   // module address
      {2, {Kind::Byte, GS, config_.router}},   // router address
      {3, {Kind::Byte, GS, 10}},               // heartbeat interval setting
      {4, {Kind::Byte, GS, 0}},                // LED
      {6, {Kind::Byte, GS, 0}},                // boot slot
      {7, {Kind::Int, G, config_.version}},    // packed firmware version
      {8, {Kind::Byte, G, config_.model}},     //
      {9, {Kind::Int, G, config_.serial}},     //
      {10, {Kind::Call, S, 0}},                // save
      {11, {Kind::Call, S, 0}},                // reset
      {12, {Kind::Int, G, 5000000}},           // input voltage, microvolts
      {13, {Kind::Byte, G, 0}},                // hardware offset
      {14, {Kind::Byte, G, config_.address}},  // base address
      {15, {Kind::Byte, GS, 0}},               // software offset
      {16, {Kind::Byte, G, config_.router}},   // router address setting
      {20, {Kind::Byte, S, 0}},                // route to me
      {21, {Kind::Int, G, 250000}},            // input current, microamps
      {22, {Kind::Int, G, 0}},                 // uptime, ms since (re)boot
      {23, {Kind::Int, G, 45000000}},          // max temperature, micro-degrees C
      {24, {Kind::Call, S, 0}},                // log events
      {25, {Kind::Int, G, 12000000}},          // unregulated voltage, microvolts
      {26, {Kind::Int, G, 100000}},            // unregulated current, microamps
      {27, {Kind::Int, G, 35000000}},          // temperature, micro-degrees C
      {28, {Kind::Int, G, 20000000}},          // min temperature
      {29, {Kind::Byte, G, 1}},                // input power source
      {30, {Kind::Byte, GS, 0}},               // input power behaviour
      {31, {Kind::Bytes, GS, 0}},              // power behaviour config, 32-bit words
      {32, {Kind::Bytes, GS, 0}},              // name
      {33, {Kind::Int, G, 10000000}},          // power limit
      {34, {Kind::Int, GS, 10000000}},         // power limit max
      {35, {Kind::Int, G, 0}},                 // power limit state
      {37, {Kind::Call, S, 0}},                // factory defaults
      {38, {Kind::Byte, GS, 0}},               // link interface
      {40, {Kind::Int, G, 1}},                 // hardware version
      {41, {Kind::Int, G, 0}},                 // errors
      {42, {Kind::Byte, GS, 255}},             // LED max brightness
      {43, {Kind::Int, G, config_.build}},     //
      {45, {Kind::Int, G, features}},          // protocol features
  };
  name_.assign(config_.name.begin(), config_.name.end());
  if (name_.size() > kMaxName) name_.resize(kMaxName);
  powerConfig_.assign(8, 0);
  incomingActive_ = false;
}

void SimModule::reboot(uint64_t nowMs) {
  BirdDescriptor next;
  if (upgrade_.restart(next)) {
    uint32_t version = 0;
    if (parseVersionText(next.version, version)) config_.version = version;
    config_.build = next.build;
    options_[7].value = config_.version;
    options_[43].value = config_.build;
  }
  bootMs_ = nowMs;
  bootSet_ = true;
  routeOn_ = false;
  incomingActive_ = false;
  hbPending_ = false;
  hbNext_ = 0;
}

Packet SimModule::nextHeartbeat() {
  if (hbPending_) ++hbMissed_;
  Packet p{config_.address, {0, hbNext_}};
  hbPending_ = true;
  hbPendingValue_ = hbNext_;
  hbNext_ ^= 1;
  ++hbSent_;
  return p;
}

Response SimModule::handle(const Packet& in, uint64_t nowMs) {
  Response r;
  if (!bootSet_) {
    bootMs_ = nowMs;
    bootSet_ = true;
  }
  if (in.address == kSyncAddress) {
    if (in.data.empty()) r.replies.push_back(Packet{config_.address, {}});
    return r;
  }
  if (in.address == kRouteAddress) {
    if (in.data.size() == 1) routeOn_ = in.data[0] != 0;
    return r;
  }
  // Other modules' traffic; a router would pass it on here.
  if (in.address != config_.address || in.data.empty()) return r;

  const std::vector<uint8_t>& d = in.data;
  if (d.size() == 2 && d[0] == 0) {
    if (hbPending_ && d[1] == hbPendingValue_ + 2) {
      hbPending_ = false;
      ++hbAnswered_;
    }
    return r;
  }
  switch (d[0]) {
    case kModuleQuery:
      handleQuery(in, r);
      break;
    case kDebugEcho:
      r.replies.push_back(Packet{config_.address, d});
      break;
    case kSystemClass:
      handleSystem(in, nowMs, r);
      break;
    case SimUpgrade::kCommand:
      handleUpgrade(in, nowMs, r);
      break;
    default:
      break;
  }
  return r;
}

void SimModule::handleQuery(const Packet& in, Response& r) {
  const std::vector<uint8_t>& d = in.data;
  if (d.size() < 2) return;
  std::vector<uint8_t> out{kModuleQuery, d[1]};
  switch (d[1]) {
    case 0xFF:  // build number
      sPushInt(out, config_.build);
      break;
    case 0x01: {  // does the module have this UEI?
      if (d.size() != 6) return;
      uint8_t flags = d[5];
      if (d[2] == SimUpgrade::kCommand) {
        // Of the upgrade class only the UEI-bytes data set is a UEI.
        const bool has = (d[3] & 0x3F) == SimUpgrade::kDataUei && (d[4] & 0x1F) == 0 && (flags & 0x80) &&
                         upgrade_.hasUeiData();
        out.insert(out.end(), {d[2], d[3], d[4], has ? aErrNone : aErrUnimplemented});
        break;
      }
      auto it = options_.find(d[3] & 0x3F);
      bool known = d[2] == kSystemClass && (d[4] & 0x1F) == 0 && it != options_.end();
      if (known && (flags & 0x40)) known = (it->second.access & kGet) != 0;
      if (known && (flags & 0x80)) known = (it->second.access & kSet) != 0;
      out.insert(out.end(), {d[2], d[3], d[4], known ? aErrNone : aErrUnimplemented});
      break;
    }
    case 0x04:  // entities in a class
      if (d.size() != 3) return;
      out.insert(out.end(), {d[2], static_cast<uint8_t>(d[2] == kSystemClass ? 1 : 0)});
      break;
    case 0x05:  // sub-entities of one entity
    case 0x06:  // entity group
      if (d.size() != 4) return;
      out.insert(out.end(), {d[2], d[3], 0});
      break;
    default:
      return;
  }
  r.replies.push_back(Packet{config_.address, out});
}

void SimModule::handleUpgrade(const Packet& in, uint64_t nowMs, Response& r) {
  SimUpgrade::Outcome o;
  upgrade_.handle(in.data, o);
  std::vector<Packet>& to = o.answerLater ? r.afterReconnect : r.replies;
  for (std::vector<uint8_t>& data : o.replies) to.push_back(Packet{config_.address, std::move(data)});
  if (o.dropLink) r.reboot = true;
  // Rebooting without dropping the link: the new firmware answers at once.
  if (o.restartNow) reboot(nowMs);
}

void SimModule::errorReply(uint8_t cmd, uint8_t option, uint8_t index, uint8_t err, Response& r) const {
  r.replies.push_back(
      Packet{config_.address, {cmd, option, static_cast<uint8_t>(0x80 | (index & 0x1F)), err}});
}

void SimModule::bytesReply(uint8_t option, uint8_t index, const std::vector<uint8_t>& bytes,
                           Response& r) const {
  size_t pos = 0;
  uint8_t seq = 0;
  do {
    size_t part = bytes.size() - pos < kUeiBytesPart ? bytes.size() - pos : kUeiBytesPart;
    bool more = pos + part < bytes.size();
    Packet p{config_.address, {kSystemClass, option, index}};
    p.data.insert(p.data.end(), bytes.begin() + static_cast<long>(pos),
                  bytes.begin() + static_cast<long>(pos + part));
    p.data.push_back(static_cast<uint8_t>((more ? 0x80 : 0) | (seq & 0x7F)));
    r.replies.push_back(std::move(p));
    pos += part;
    ++seq;
    if (!more) break;
  } while (true);
}

std::vector<uint8_t>* SimModule::bytesOption(uint8_t option) {
  if (option == 32) return &name_;
  if (option == 31) return &powerConfig_;
  return nullptr;
}

uint32_t SimModule::liveValue(uint8_t option, uint64_t nowMs) const {
  if (option == 22) return static_cast<uint32_t>(nowMs - bootMs_);
  return options_.at(option).value;
}

void SimModule::handleSystem(const Packet& in, uint64_t nowMs, Response& r) {
  const std::vector<uint8_t>& d = in.data;
  if (d.size() < 3) return;
  const uint8_t cmd = d[0];
  const uint8_t option = d[1] & 0x3F;
  const bool get = (d[1] & 0x40) != 0;
  const bool set = (d[1] & 0x80) != 0;
  const uint8_t rOpt = sReplyOption(d[1]);
  const uint8_t index = d[2] & 0x1F;

  if (get == set) return errorReply(cmd, rOpt, index, aErrParam, r);
  if (index != 0) return errorReply(cmd, rOpt, index, aErrIndexRange, r);
  if (option == kFingerprintOption && config_.hasFingerprint) {
    // Get with the subindex as its one value byte; the reply is a plain
    // 32-bit value. Subindex j is word 3 - j: the host fills the words from
    // the top.
    if (!get) return errorReply(cmd, rOpt, index, aErrInvalidOption, r);
    if (d.size() != 4) return errorReply(cmd, rOpt, index, aErrSize, r);
    if (d[3] > 3) return errorReply(cmd, rOpt, index, aErrIndexRange, r);
    std::vector<uint8_t> out{cmd, rOpt, index};
    sPushInt(out, config_.fingerprint[3 - d[3]]);
    r.replies.push_back(Packet{config_.address, out});
    return;
  }
  auto it = options_.find(option);
  if (it == options_.end()) return errorReply(cmd, rOpt, index, aErrUnimplemented, r);
  Option& opt = it->second;
  if (!(opt.access & (get ? kGet : kSet))) return errorReply(cmd, rOpt, index, aErrInvalidOption, r);
  const std::vector<uint8_t> ok{cmd, rOpt, index};

  if (get) {
    std::vector<uint8_t> out = ok;
    switch (opt.kind) {
      case Kind::Byte:
        out.push_back(static_cast<uint8_t>(opt.value));
        break;
      case Kind::Int:
        sPushInt(out, liveValue(option, nowMs));
        break;
      case Kind::Bytes:
        return bytesReply(rOpt, index, *bytesOption(option), r);
      case Kind::Call:
        break;
    }
    r.replies.push_back(Packet{config_.address, out});
    return;
  }

  switch (opt.kind) {
    case Kind::Call:
      if (option == 11) r.reboot = true;
      if (option == 37) setDefaults();
      break;
    case Kind::Byte:
      if (d.size() != 4) return errorReply(cmd, rOpt, index, aErrSize, r);
      opt.value = d[3];
      // routeToMe: a routing module passes its network's traffic to this host.
      if (option == 20) routeOn_ = d[3] != 0;
      break;
    case Kind::Int:
      if (d.size() != 7) return errorReply(cmd, rOpt, index, aErrSize, r);
      opt.value = uint32_t{d[3]} << 24 | uint32_t{d[4]} << 16 | uint32_t{d[5]} << 8 | d[6];
      break;
    case Kind::Bytes: {
      if (d.size() < 4) return errorReply(cmd, rOpt, index, aErrSize, r);
      const uint8_t trailer = d.back();
      const uint8_t seq = trailer & 0x7F;
      // The sequence number wraps at 128, so a 0 continues a running series
      // when it is the number expected, and starts a new one otherwise.
      const bool continues = incomingActive_ && incomingOption_ == option && seq == incomingSeq_;
      if (!continues && seq == 0) {
        incoming_.clear();
        incomingOption_ = option;
        incomingActive_ = true;
      } else if (!continues) {
        incomingActive_ = false;
        return errorReply(cmd, rOpt, index, aErrPacket, r);
      }
      incoming_.insert(incoming_.end(), d.begin() + 3, d.end() - 1);
      if (trailer & 0x80) {
        incomingSeq_ = static_cast<uint8_t>((seq + 1) & 0x7F);
        return;  // more parts follow; the reply comes after the last one
      }
      incomingActive_ = false;
      const size_t limit = option == 31 ? kMaxPowerConfig : kMaxName;
      if (incoming_.size() > limit || (option == 31 && incoming_.size() % 4 != 0)) {
        return errorReply(cmd, rOpt, index, aErrSize, r);
      }
      *bytesOption(option) = incoming_;
      break;
    }
  }
  r.replies.push_back(Packet{config_.address, ok});
}

}  // namespace sim
