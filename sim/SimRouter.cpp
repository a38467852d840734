#include "sim/SimRouter.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>

#include "common/aErr.h"

namespace sim {

namespace {

std::string sHex(uint32_t serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

}  // namespace

bool checkModuleNetworks(const std::vector<ModuleConfig>& modules, std::string& error) {
  std::map<uint32_t, const ModuleConfig*> bySerial;
  for (const ModuleConfig& m : modules) bySerial[m.serial] = &m;
  std::map<uint32_t, std::set<uint8_t>> used;
  for (const ModuleConfig& m : modules) {
    if (m.behind == 0) continue;
    auto router = bySerial.find(m.behind);
    if (router == bySerial.end()) {
      error = "behind=" + sHex(m.behind) + ": no such module";
      return false;
    }
    const ModuleConfig& r = *router->second;
    if (r.behind != 0 || (r.tcpPort < 0 && !r.serialPty && !r.kernelPty)) {
      error = "behind=" + sHex(m.behind) + ": a router needs an endpoint of its own";
      return false;
    }
    if (m.tcpPort >= 0 || m.serialPty || m.kernelPty) {
      error = "module " + sHex(m.serial) + " sits behind a router and cannot have endpoints";
      return false;
    }
    std::set<uint8_t>& addresses = used[m.behind];
    if (addresses.empty()) addresses.insert(r.address);
    if (!addresses.insert(m.address).second) {
      error = "two modules at address " + std::to_string(m.address) + " behind " + sHex(m.behind);
      return false;
    }
  }
  return true;
}

void SimRouter::attach(SimModule* module) {
  bus_[module->address()].module = module;
}

SimRouter::Device* SimRouter::present(uint8_t address, uint64_t nowMs) {
  auto it = bus_.find(static_cast<uint8_t>(address & 0xFE));
  if (it == bus_.end() || nowMs < it->second.awayUntilMs) return nullptr;
  return &it->second;
}

void SimRouter::reply(uint8_t index, uint8_t address, uint8_t count, uint8_t status,
                      const std::vector<uint8_t>& data, Response& r) const {
  Packet p{address_, {kI2CClass, index, address, count, status}};
  p.data.insert(p.data.end(), data.begin(), data.end());
  r.replies.push_back(std::move(p));
}

void SimRouter::handleI2C(const Packet& in, uint64_t nowMs, Response& r) {
  const std::vector<uint8_t>& d = in.data;
  if (d.size() < 3) return;
  const uint8_t index = d[1];
  const uint8_t target = d[2];
  const uint8_t refused = kStatusError | aErrNotFound;
  if (target == kPullupSelect) {
    const uint8_t flag = d.size() > 3 ? d[3] : 0;
    if (d.size() != 4 || flag > 1) return reply(index, target, flag, kStatusError | aErrParam, {}, r);
    if (index != 0) return reply(index, target, flag, kStatusError | aErrIndexRange, {}, r);
    pullup_ = flag != 0;
    return reply(index, target, flag, 0, {}, r);
  }
  // Request: 8, index, address, count, speed, data.
  const bool read = (target & 1) != 0;
  const uint8_t count = d.size() > 3 ? d[3] : 0;
  const size_t expected = read ? 5u : 5u + count;
  if (d.size() != expected || count > kMaxTransfer || d[4] > 3) {
    return reply(index, target, 0, kStatusError | aErrSize, {}, r);
  }
  if (index != 0) return reply(index, target, 0, kStatusError | aErrIndexRange, {}, r);
  // A router cannot address itself on its own bus.
  Device* device = (target & 0xFE) == address_ ? nullptr : present(target, nowMs);
  if (device == nullptr) return reply(index, target, 0, refused, {}, r);
  if (!read) {
    device->lastWrite.assign(d.begin() + 5, d.end());
    return reply(index, target, 0, 0, {}, r);
  }
  std::vector<uint8_t> data(device->lastWrite);
  data.resize(count, 0);
  reply(index, target, count, 0, data, r);
}

bool SimRouter::handle(const Packet& in, bool routeOn, uint64_t nowMs, Response& r) {
  if (in.address == address_) {
    if (in.data.empty() || in.data[0] != kI2CClass) return false;
    handleI2C(in, nowMs, r);
    return true;
  }
  auto it = bus_.find(in.address);
  if (it == bus_.end()) return false;
  // Without a route the router keeps the network's traffic to itself.
  if (!routeOn || nowMs < it->second.awayUntilMs) return true;
  ++forwarded_;
  Response behind = it->second.module->handle(in, nowMs);
  for (Packet& p : behind.replies) r.replies.push_back(std::move(p));
  // The router's link stays up, so a loader that would answer after a
  // reconnection answers at once, without going away.
  for (Packet& p : behind.afterReconnect) r.replies.push_back(std::move(p));
  if (behind.reboot) {
    it->second.module->reboot(nowMs);
    if (behind.afterReconnect.empty()) {
      it->second.awayUntilMs = nowMs + it->second.module->config().rebootMs;
    }
  }
  return true;
}

void SimRouter::takeSamples(bool routeOn, uint64_t nowMs, std::vector<Packet>& out) {
  for (auto& entry : bus_) {
    Device& device = entry.second;
    std::vector<Packet> due = device.module->takeSamples(nowMs);
    // Samples that find no route are lost, as on a bus nobody listens to.
    if (!routeOn || nowMs < device.awayUntilMs) continue;
    for (Packet& p : due) out.push_back(std::move(p));
  }
}

uint64_t SimRouter::nextSampleMs() const {
  uint64_t next = std::numeric_limits<uint64_t>::max();
  for (const auto& entry : bus_) next = std::min(next, entry.second.module->nextSampleMs());
  return next;
}

void SimRouter::stopStreams() {
  for (auto& entry : bus_) entry.second.module->stopStreams();
}

}  // namespace sim
