// The storage of one simulated module: numbered stores of numbered slots,
// reached through one-byte handles (raw command 4), and one byte array of
// factory data per 4-bit factory command (raw command 0x5E). Slot and factory
// contents may come from files and go back to them. The packets are decoded
// here from their bytes alone, independently of the device library.
#ifndef CORVALITH_SIM_SIMSTORE_H
#define CORVALITH_SIM_SIMSTORE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// What the module keys store, slot-file, factory, factory-file and the
// storage faults set.
struct StorageConfig {
  static constexpr size_t kFactoryCommands = 16;

  struct Store {
    uint8_t slots = 0;      // slots 0 to slots - 1
    uint16_t capacity = 0;  // bytes per slot; the capacity reply has 16 bits
  };
  struct SlotFile {
    std::string path;
    std::vector<uint8_t> contents;  // read when the key was given; empty for a missing file
  };
  struct FactoryFile {
    std::string path;  // empty: the data is not written back
    std::vector<uint8_t> contents;
  };

  std::map<uint8_t, Store> stores;                            // by store number
  std::map<std::pair<uint8_t, uint8_t>, SlotFile> slotFiles;  // by store and slot
  std::array<FactoryFile, kFactoryCommands> factory;

  // Faults.
  uint32_t badSumEvery = 0;                          // every Nth write reply's sum is off by one
  std::set<std::pair<uint8_t, uint8_t>> refuseOpen;  // slots that never open
};

// Handles a storage key. Files named by slot-file and factory-file are read
// at once (a missing file is an empty slot that the first write creates).
// False with a reason for a bad value or a key that is not a storage key.
bool applyStorageKey(StorageConfig& config, const std::string& key, const std::string& value,
                     std::string& error);
// True for the keys applyStorageKey handles.
bool isStorageKey(const std::string& key);
// Checks what the keys can only tell together: every slot-file and
// slot-refuse-open names a slot of a declared store, and no file is larger
// than its slot. False with a reason.
bool checkStorage(const StorageConfig& config, std::string& error);

class SimStorage {
 public:
  static constexpr uint8_t kSlotCommand = 4;
  static constexpr uint8_t kFactoryCommand = 0x5E;
  // Slot options; a reply with an error adds kError and carries the code.
  static constexpr uint8_t kCapacity = 1, kSize = 2, kOpenRead = 3, kOpenWrite = 4, kRead = 6, kWrite = 7,
                           kClose = 8, kError = 0x80;
  // Handles open at once; a real module has room for a few.
  static constexpr size_t kMaxHandles = 4;
  // Slot bytes per read reply: the 28-byte packet less command, option and handle.
  static constexpr size_t kReadChunk = 25;
  // Factory option bits beside the 4-bit command.
  static constexpr uint8_t kFactoryFirst = 0x40, kFactoryWrite = 0x10, kFactoryClose = 0x20,
                           kFactoryError = 0x80;
  // Factory bytes per get reply: a 28-byte packet less command and option.
  static constexpr size_t kFactoryChunk = 26;
  static constexpr size_t kMaxFactoryData = 4096;

  explicit SimStorage(const StorageConfig& config);

  // One slot or factory packet's data bytes; the replies' data bytes go to out.
  void handleSlot(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& out);
  void handleFactory(const std::vector<uint8_t>& d, std::vector<std::vector<uint8_t>>& out);

  // A restart: handles and a factory transfer in progress are forgotten; the
  // contents stay, as in flash.
  void restart();
  // Writes every slot file whose slot changed since it was last written.
  // False with a reason (the other files are still written).
  bool save(std::string& error);

  // Contents of a slot (null when there is no such slot) and of factory data.
  const std::vector<uint8_t>* slot(uint8_t store, uint8_t slot) const;
  const std::vector<uint8_t>& factory(uint8_t command) const { return factory_[command & 0x0F]; }
  size_t openHandles() const { return handles_.size(); }

 private:
  struct Slot {
    std::vector<uint8_t> bytes;
    bool dirty = false;  // changed since the file was last written
    bool open = false;
  };
  struct Handle {
    std::pair<uint8_t, uint8_t> slot;
    bool write = false;
    size_t position = 0;  // next byte a read returns
  };
  struct Transfer {
    bool active = false;
    bool write = false;
    uint8_t command = 0;
    size_t position = 0;            // bytes handed out so far (get)
    std::vector<uint8_t> incoming;  // bytes received so far (set)
  };

  uint8_t locate(uint8_t store, uint8_t slot) const;
  void openSlot(uint8_t option, uint8_t store, uint8_t slot, std::vector<std::vector<uint8_t>>& out);
  bool saveSlot(const std::pair<uint8_t, uint8_t>& key, std::string& error);

  StorageConfig config_;
  std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
  std::map<uint8_t, Handle> handles_;
  std::array<std::vector<uint8_t>, StorageConfig::kFactoryCommands> factory_;
  Transfer transfer_;
  uint64_t writeReplies_ = 0;
};

// Writes bytes to path through a file beside it and a rename, so a reader
// never sees a half-written file. False with a reason.
bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

}  // namespace sim

#endif
