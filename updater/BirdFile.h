// A BIRD firmware file: a 6-byte header ("bird", format version) and one zlib
// stream holding the block container (stated block count, blocks, trailing
// checksum). BirdFile loads a file whole, parses its blocks, answers questions
// about its descriptor, stamps a device serial number into a generic image and
// decodes device-keyed firmware for recovery. All integers in the file are
// big-endian. Diagnostics go to the debug log (DEBUG_BirdFile) only.
#ifndef CORVALITH_UPDATER_BIRDFILE_H
#define CORVALITH_UPDATER_BIRDFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Big-endian 32-bit and 16-bit reads; the caller guarantees the bytes exist.
uint32_t GetInt(const uint8_t* data);
uint16_t GetShort(const uint8_t* data);

// One parsed block. Copied by value; data points into the owning BirdFile's
// buffer and stays valid while that file (or the file it was moved into) lives.
struct BirdBlock {
  uint8_t type = 0;      // 0-31
  uint8_t flags = 0;     // 0-7, meaning given by the upgrade protocol
  uint32_t length = 0;   // bytes of block data, address bytes included
  uint32_t address = 0;  // loader and firmware blocks only, else 0
  uint8_t* data = nullptr;
};

class BirdFile {
 public:
  static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
  static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
  static constexpr size_t kHeaderSize = 6;
  static constexpr uint32_t kDescriptorSize = 64;
  static constexpr uint32_t kDescriptorFieldSize = 16;
  static constexpr uint32_t kSerialOffsetsSize = 8;
  static constexpr uint32_t kAddressSize = 4;
  // The loader decompresses in one call into a buffer this many times the
  // compressed contents, so it cannot expand anything denser; a downloaded
  // image is stored regardless (a later loader may read it).
  static constexpr size_t kMaxExpansion = 8;
  // Largest decompressed container any reader of BIRD files accepts (bytes);
  // far above any module's firmware, it bounds the memory and work a hostile
  // file can cause.
  static constexpr size_t kMaxContainerSize = 256u * 1024u * 1024u;

  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_DESCRIPTOR = 4,
    BLOCK_LOADER_START = 5,
  };

  BirdFile();
  // Loads the file; throws std::runtime_error("Failed to load bird data").
  explicit BirdFile(const char* path);
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;
  ~BirdFile();

  // The header rule every check of a BIRD file applies: at least the 6 header
  // bytes, the "bird" signature and both format-version bytes non-zero.
  [[nodiscard]] static bool HasValidHeader(const uint8_t* data, size_t size);
  // Cheap header check without loading (HasValidHeader on the file's first
  // bytes); false as well when the file cannot be opened or read.
  [[nodiscard]] static bool VerifyFile(const char* path);

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  // Reads the two target addresses from the first usable serial-offsets block.
  [[nodiscard]] bool FindSerialNumberOffsets();
  // Stamps the serial number into the firmware payloads; false when nothing
  // was stamped and no serial-number address applies.
  [[nodiscard]] bool ReplaceSerialNumber(uint32_t serialNumber);
  // XOR-chain decode of every firmware payload with the chip fingerprint.
  [[nodiscard]] bool DecodeFirmwareBlocks(const uint32_t* key);

  // Descriptor queries; defaults (0, empty, false) without a descriptor.
  uint32_t GetSerialNumber() const;
  [[nodiscard]] bool ValidateSerialNumber(uint32_t serialNumber) const;
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  // The model field with trailing spaces removed.
  std::string GetModel() const;
  [[nodiscard]] bool ValidateModel(const char* name) const;
  [[nodiscard]] bool HasDescriptor() const {
    return FirstBlock(BLOCK_DESCRIPTOR, kDescriptorSize) != nullptr;
  }

  // Loads `path`; false on failure with `problem` saying why. Does not throw.
  [[nodiscard]] bool Load();
  // Loads a whole file image held in memory (fuzzing, tests, checks of bytes
  // not yet written). Same rules as Load; `path` is left as it is.
  [[nodiscard]] bool LoadFromMemory(const uint8_t* data, size_t size);
  [[nodiscard]] bool DecompressData(const uint8_t* data, size_t size);
  // Verdict false on count or size mismatches and on truncation; blocks that
  // fit before the truncation stay parsed. The blocks point into data.
  [[nodiscard]] bool ScanBlocks(uint8_t* data, size_t size);

  std::string path;
  uint32_t signature = 0;
  uint16_t version = 0;
  uint32_t fileChecksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialOffsets = false;
  uint32_t serialNumberOffset = 0;
  uint32_t descriptorOffset = 0;
  std::unique_ptr<uint8_t[]> buffer;
  uint32_t bufferSize = 0;

  // Outcome of the last load, for a user-facing check of the file: whether
  // the scan was clean, and the first problem met in file order (header,
  // compression, blocks), empty when none. A file that loads with a clean
  // scan may still have a header problem that the store's check refuses.
  bool scanClean = false;
  std::string problem;

 private:
  void Reset();
  [[nodiscard]] bool LoadImage(const uint8_t* data, size_t size);
  void NoteProblem(const std::string& text);
  // First block of the type holding at least minLength bytes; shorter ones
  // count as absent.
  const BirdBlock* FirstBlock(BLOCK_TYPE type, uint32_t minLength) const;
};

#endif
