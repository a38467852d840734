#include "sim/SimStore.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/aErr.h"

namespace sim {
namespace {

// Larger files cannot fit any slot (16-bit capacity) or factory area.
constexpr size_t kMaxFileBytes = 65536;

bool sNumber(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  out = std::strtoull(text.c_str(), nullptr, 10);
  return out <= max;
}

// Splits "A:B:REST" into count parts; the last part keeps any further colons
// (a path may have them).
bool sSplit(const std::string& value, size_t count, std::vector<std::string>& parts) {
  parts.clear();
  size_t from = 0;
  for (size_t i = 0; i + 1 < count; ++i) {
    size_t colon = value.find(':', from);
    if (colon == std::string::npos) return false;
    parts.push_back(value.substr(from, colon - from));
    from = colon + 1;
  }
  parts.push_back(value.substr(from));
  return true;
}

bool sHex(const std::string& text, std::vector<uint8_t>& out) {
  out.clear();
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    char two[3] = {text[i], text[i + 1], 0};
    char* end = nullptr;
    if (!std::isxdigit(static_cast<unsigned char>(two[0])) ||
        !std::isxdigit(static_cast<unsigned char>(two[1])))
      return false;
    out.push_back(static_cast<uint8_t>(std::strtoul(two, &end, 16)));
  }
  return true;
}

// Reads a whole file of at most kMaxFileBytes; a missing file reads as empty.
bool sReadFile(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
  out.clear();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (errno == ENOENT) return true;
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  uint8_t buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && out.size() <= kMaxFileBytes) {
    out.insert(out.end(), buf, buf + n);
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    error = "cannot read " + path;
    return false;
  }
  if (out.size() > kMaxFileBytes) {
    error = path + " is larger than " + std::to_string(kMaxFileBytes) + " bytes";
    return false;
  }
  return true;
}

uint8_t sSum(const uint8_t* bytes, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

}  // namespace

bool isStorageKey(const std::string& key) {
  return key == "store" || key == "slot-file" || key == "factory" || key == "factory-file" ||
         key == "slot-bad-sum-every" || key == "slot-refuse-open";
}

bool applyStorageKey(StorageConfig& config, const std::string& key, const std::string& value,
                     std::string& error) {
  auto bad = [&](const char* what) {
    error = "bad value for " + key + " (" + what + "): " + value;
    return false;
  };
  std::vector<std::string> parts;
  uint64_t a = 0, b = 0, c = 0;
  if (key == "store") {
    if (!sSplit(value, 3, parts) || !sNumber(parts[0], 255, a) || !sNumber(parts[1], 255, b) || b == 0 ||
        !sNumber(parts[2], 65535, c))
      return bad("STORE:SLOTS:CAPACITY, 0-255:1-255:0-65535");
    if (config.stores.count(static_cast<uint8_t>(a))) return bad("store given twice");
    config.stores[static_cast<uint8_t>(a)] =
        StorageConfig::Store{static_cast<uint8_t>(b), static_cast<uint16_t>(c)};
  } else if (key == "slot-file") {
    if (!sSplit(value, 3, parts) || !sNumber(parts[0], 255, a) || !sNumber(parts[1], 254, b) ||
        parts[2].empty())
      return bad("STORE:SLOT:PATH");
    const auto where = std::make_pair(static_cast<uint8_t>(a), static_cast<uint8_t>(b));
    if (config.slotFiles.count(where)) return bad("slot given twice");
    StorageConfig::SlotFile file;
    file.path = parts[2];
    if (!sReadFile(file.path, file.contents, error)) return false;
    config.slotFiles[where] = std::move(file);
  } else if (key == "factory" || key == "factory-file") {
    if (!sSplit(value, 2, parts) || !sNumber(parts[0], StorageConfig::kFactoryCommands - 1, a))
      return bad(key == "factory" ? "CMD:HEX, CMD 0 to 15" : "CMD:PATH, CMD 0 to 15");
    StorageConfig::FactoryFile& f = config.factory[a];
    if (key == "factory") {
      if (!sHex(parts[1], f.contents)) return bad("an even number of hex digits");
    } else {
      if (parts[1].empty()) return bad("a path");
      f.path = parts[1];
      if (!sReadFile(f.path, f.contents, error)) return false;
    }
    if (f.contents.size() > SimStorage::kMaxFactoryData) return bad("at most 4096 bytes");
  } else if (key == "slot-bad-sum-every") {
    if (!sNumber(value, 0xFFFFFFFFu, a)) return bad("0 or more");
    config.badSumEvery = static_cast<uint32_t>(a);
  } else if (key == "slot-refuse-open") {
    if (!sSplit(value, 2, parts) || !sNumber(parts[0], 255, a) || !sNumber(parts[1], 254, b))
      return bad("STORE:SLOT");
    config.refuseOpen.insert(std::make_pair(static_cast<uint8_t>(a), static_cast<uint8_t>(b)));
  } else {
    error = "unknown module key: " + key;
    return false;
  }
  return true;
}

bool checkStorage(const StorageConfig& config, std::string& error) {
  auto declared = [&](const std::pair<uint8_t, uint8_t>& where, const char* key) {
    auto it = config.stores.find(where.first);
    if (it != config.stores.end() && where.second < it->second.slots) return true;
    error = std::string(key) + " " + std::to_string(where.first) + ":" + std::to_string(where.second) +
            " names no slot of a declared store (store=STORE:SLOTS:CAPACITY)";
    return false;
  };
  for (const auto& entry : config.slotFiles) {
    if (!declared(entry.first, "slot-file")) return false;
    const size_t capacity = config.stores.at(entry.first.first).capacity;
    if (entry.second.contents.size() > capacity) {
      error = entry.second.path + " has " + std::to_string(entry.second.contents.size()) +
              " bytes, more than the slot's capacity of " + std::to_string(capacity);
      return false;
    }
  }
  for (const auto& where : config.refuseOpen) {
    if (!declared(where, "slot-refuse-open")) return false;
  }
  return true;
}

bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
  const std::string part = path + ".part";
  {
    std::ofstream f(part, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f.flush()) {
      error = "cannot write " + part;
      return false;
    }
  }
  if (std::rename(part.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + part + " to " + path + ": " + std::strerror(errno);
    std::remove(part.c_str());
    return false;
  }
  return true;
}

SimStorage::SimStorage(const StorageConfig& config) : config_(config) {
  for (const auto& store : config_.stores) {
    for (unsigned s = 0; s < store.second.slots; ++s)
      slots_[std::make_pair(store.first, static_cast<uint8_t>(s))];
  }
  for (const auto& file : config_.slotFiles) {
    auto it = slots_.find(file.first);
    if (it != slots_.end()) it->second.bytes = file.second.contents;
  }
  for (size_t c = 0; c < StorageConfig::kFactoryCommands; ++c) factory_[c] = config_.factory[c].contents;
}

const std::vector<uint8_t>* SimStorage::slot(uint8_t store, uint8_t slot) const {
  auto it = slots_.find(std::make_pair(store, slot));
  return it == slots_.end() ? nullptr : &it->second.bytes;
}

void SimStorage::restart() {
  for (auto& entry : slots_) entry.second.open = false;
  handles_.clear();
  transfer_ = Transfer();
}

uint8_t SimStorage::locate(uint8_t store, uint8_t slot) const {
  auto it = config_.stores.find(store);
  if (it == config_.stores.end()) return aErrNotFound;
  if (slot >= it->second.slots) return aErrIndexRange;
  return aErrNone;
}

bool SimStorage::saveSlot(const std::pair<uint8_t, uint8_t>& key, std::string& error) {
  Slot& s = slots_.at(key);
  auto file = config_.slotFiles.find(key);
  if (!s.dirty || file == config_.slotFiles.end()) return true;
  if (!writeFileAtomically(file->second.path, s.bytes, error)) return false;
  s.dirty = false;
  return true;
}

bool SimStorage::save(std::string& error) {
  bool ok = true;
  for (auto& entry : slots_) {
    std::string why;
    if (!saveSlot(entry.first, why) && ok) {
      error = why;
      ok = false;
    }
  }
  return ok;
}

void SimStorage::openSlot(uint8_t option, uint8_t store, uint8_t slot,
                          std::vector<std::vector<uint8_t>>& out) {
  auto fail = [&](uint8_t code) {
    out.push_back({kSlotCommand, static_cast<uint8_t>(option | kError), store, slot, code});
  };
  const auto key = std::make_pair(store, slot);
  if (config_.refuseOpen.count(key)) return fail(aErrMedia);
  Slot& s = slots_.at(key);
  // One handle per slot: a second reader or writer would see it change.
  if (s.open) return fail(aErrBusy);
  if (handles_.size() >= kMaxHandles) return fail(aErrResource);
  uint8_t handle = 0;
  while (handles_.count(handle)) ++handle;
  Handle h;
  h.slot = key;
  h.write = option == kOpenWrite;
  handles_[handle] = h;
  s.open = true;
  if (h.write) {
    // Writing replaces the contents; the slot is as long as what was written.
    s.bytes.clear();
    s.dirty = true;
  }
  out.push_back({kSlotCommand, option, store, slot, handle});
}

void SimStorage::handleSlot(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& out) {
  if (d.size() < 3) return;  // no store and slot or handle to answer to
  const uint8_t option = d[1];
  if (option >= kCapacity && option <= kOpenWrite) {
    if (d.size() != 4) return;
    const uint8_t store = d[2], slot = d[3];
    if (uint8_t err = locate(store, slot)) {
      out.push_back({kSlotCommand, static_cast<uint8_t>(option | kError), store, slot, err});
      return;
    }
    if (option == kOpenRead || option == kOpenWrite) return openSlot(option, store, slot, out);
    const size_t value =
        option == kCapacity ? config_.stores.at(store).capacity : slots_.at({store, slot}).bytes.size();
    out.push_back(
        {kSlotCommand, option, store, slot, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
    return;
  }
  const uint8_t handle = d[2];
  auto fail = [&](uint8_t code) {
    out.push_back({kSlotCommand, static_cast<uint8_t>(option | kError), handle, code});
  };
  if (option != kRead && option != kWrite && option != kClose) return fail(aErrUnimplemented);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return fail(aErrParam);
  Handle& h = it->second;
  Slot& s = slots_.at(h.slot);
  if (option == kClose) {
    if (d.size() != 3) return fail(aErrSize);
    s.open = false;
    const auto key = h.slot;
    handles_.erase(it);
    std::string error;
    if (!saveSlot(key, error)) return fail(aErrWrite);
    out.push_back({kSlotCommand, kClose, handle, aErrNone});
    return;
  }
  if (option == kRead) {
    if (h.write) return fail(aErrMode);
    if (d.size() != 3) return fail(aErrSize);
    if (h.position >= s.bytes.size()) return fail(aErrEOF);
    const size_t n = std::min(kReadChunk, s.bytes.size() - h.position);
    std::vector<uint8_t> reply{kSlotCommand, kRead, handle};
    reply.insert(reply.end(), s.bytes.begin() + static_cast<long>(h.position),
                 s.bytes.begin() + static_cast<long>(h.position + n));
    h.position += n;
    out.push_back(std::move(reply));
    return;
  }
  if (!h.write) return fail(aErrMode);
  const size_t n = d.size() - 3;
  if (s.bytes.size() + n > config_.stores.at(h.slot.first).capacity) return fail(aErrOverrun);
  s.bytes.insert(s.bytes.end(), d.begin() + 3, d.end());
  uint8_t sum = sSum(d.data() + 3, n);
  ++writeReplies_;
  if (config_.badSumEvery && writeReplies_ % config_.badSumEvery == 0) sum = static_cast<uint8_t>(sum + 1);
  out.push_back({kSlotCommand, kWrite, handle, sum});
}

void SimStorage::handleFactory(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& out) {
  if (d.size() < 2) return;
  const uint8_t option = d[1];
  const uint8_t command = option & 0x0F;
  auto fail = [&](uint8_t code) {
    out.push_back({kFactoryCommand,
                   static_cast<uint8_t>((option & kFactoryClose ? 0 : command) | kFactoryError), code});
  };
  if (option & kFactoryError) return fail(aErrParam);
  if (option & kFactoryClose) {
    // The closing packet carries no factory command: it ends whatever
    // transfer runs, with the count of bytes the host moved.
    if (option != kFactoryClose) return fail(aErrParam);
    if (d.size() != 4) return fail(aErrSize);
    const size_t count = size_t{d[2]} << 8 | d[3];
    const Transfer t = transfer_;
    transfer_ = Transfer();
    if (!t.active) {
      // A set of no bytes sends only the closing packet.
      if (count != 0) return fail(aErrMode);
      out.push_back({kFactoryCommand, 0});
      return;
    }
    if (count != (t.write ? t.incoming.size() : t.position)) return fail(aErrSize);
    if (t.write) {
      factory_[t.command] = t.incoming;
      const std::string& path = config_.factory[t.command].path;
      std::string error;
      if (!path.empty() && !writeFileAtomically(path, t.incoming, error)) return fail(aErrWrite);
    }
    out.push_back({kFactoryCommand, 0});
    return;
  }
  const bool first = (option & kFactoryFirst) != 0;
  const bool write = (option & kFactoryWrite) != 0;
  if (first) {
    transfer_ = Transfer();
    transfer_.active = true;
    transfer_.write = write;
    transfer_.command = command;
  } else if (!transfer_.active || transfer_.write != write || transfer_.command != command) {
    transfer_ = Transfer();
    return fail(aErrMode);
  }
  if (write) {
    if (d.size() - 2 > kFactoryChunk) {
      transfer_ = Transfer();
      return fail(aErrSize);
    }
    if (transfer_.incoming.size() + d.size() - 2 > kMaxFactoryData) {
      transfer_ = Transfer();
      return fail(aErrOverrun);
    }
    transfer_.incoming.insert(transfer_.incoming.end(), d.begin() + 2, d.end());
    out.push_back({kFactoryCommand, command});
    return;
  }
  if (d.size() != 2) return fail(aErrSize);
  // Full 26-byte parts tell the host to ask again; a shorter part (even an
  // empty one) ends the data.
  const std::vector<uint8_t>& data = factory_[command];
  const size_t n = std::min(kFactoryChunk, data.size() - std::min(data.size(), transfer_.position));
  std::vector<uint8_t> reply{kFactoryCommand, command};
  reply.insert(reply.end(), data.begin() + static_cast<long>(transfer_.position),
               data.begin() + static_cast<long>(transfer_.position + n));
  transfer_.position += n;
  out.push_back(std::move(reply));
}

}  // namespace sim
