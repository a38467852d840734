// Stream samples of one simulated module: the stream control class (93,
// 0x5D) enables and disables streams by their 32-bit key (module, command,
// option, index; 0xFF in any but the module byte means any), and while a
// stream is enabled the module sends one sample of each entity it covers per
// interval, on its own: command, bare option, index | 0x40, the type, the
// subindex for subindexed entities, an 8-byte timestamp, the value (both
// most significant byte first) and the sequence byte 0. Written from the
// packet layout alone, independently of the device library.
#ifndef CORVALITH_SIM_SIMSTREAM_H
#define CORVALITH_SIM_SIMSTREAM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace sim {

// One entity that can stream: its UEI, the size of its value (1, 2 or 4
// bytes) and, for an entity with subindexes, how many it has.
struct StreamEntity {
  uint8_t command = 0;
  uint8_t option = 0;
  uint8_t index = 0;
  uint8_t size = 4;
  uint8_t subindexes = 0;  // 0: none (sample types 1 to 3), else 5 to 7
  uint32_t value = 0;      // what stream-source=value sends for a declared entity
};

// What the module keys stream-ms, stream-source, stream-entity and
// bad-sample-every set.
struct StreamConfig {
  enum class Source : uint8_t { Counter, Value };
  uint32_t intervalMs = 100;
  Source source = Source::Counter;
  std::vector<StreamEntity> entities;  // besides the system options
  uint32_t badSampleEvery = 0;         // fault: every Nth sample has a type that does not fit its length
};

bool isStreamKey(const std::string& key);
// Handles a stream key; false with a reason for a bad value or another key.
bool applyStreamKey(StreamConfig& config, const std::string& key, const std::string& value,
                    std::string& error);

class SimStreams {
 public:
  static constexpr uint8_t kCommand = 0x5D;
  static constexpr uint8_t kEnable = 1,
                           kDisable = 2;       // set options; a get of option 1 asks whether streaming
  static constexpr uint8_t kSampleBit = 0x40;  // in the index byte
  static constexpr uint8_t kAny = 0xFF;        // key byte matching any command, option or index
  // Most samples one interval sends, so a wildcard over a large module
  // cannot flood the link.
  static constexpr size_t kMaxSamplesPerTick = 128;

  // The entity's current value for stream-source=value.
  using ValueOf = std::function<uint32_t(const StreamEntity&, uint8_t subindex)>;

  SimStreams(const StreamConfig& config, uint8_t moduleAddress);

  // Makes an entity streamable (the module's own options; the declared
  // entities are added by the constructor).
  void addEntity(const StreamEntity& entity) { entities_.push_back(Entity{entity, 0}); }

  // A stream control UEI; the replies' data bytes go to out.
  void handle(const std::vector<uint8_t>& d, uint64_t nowMs, std::vector<std::vector<uint8_t>>& out);

  bool streaming() const { return !enabled_.empty(); }
  // Disables every stream (a restart, or the host's link has gone).
  void stop();
  // When the next samples are due; UINT64_MAX while nothing streams.
  uint64_t nextDueMs() const;
  // The samples due at nowMs (data bytes); bootMs dates the timestamps.
  void takeSamples(uint64_t nowMs, uint64_t bootMs, const ValueOf& valueOf,
                   std::vector<std::vector<uint8_t>>& out);
  uint64_t samplesSent() const { return sent_; }

 private:
  struct Entity {
    StreamEntity e;
    uint32_t counter;  // samples sent for it since streaming started
  };

  bool covers(uint32_t key, const StreamEntity& e) const;
  void reply(uint8_t option, uint8_t index, uint8_t code, std::vector<std::vector<uint8_t>>& out) const;

  StreamConfig config_;
  uint8_t address_;
  std::vector<Entity> entities_;
  std::set<uint32_t> enabled_;  // keys as the host sent them
  uint64_t nextDueMs_ = 0;
  uint64_t sent_ = 0;
};

}  // namespace sim

#endif
