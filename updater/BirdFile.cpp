#include "updater/BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "common/aText.h"
#include "unix/aFile.h"
#include "updater/report/Log.h"

namespace {

constexpr size_t kBlockHeaderSize = 5;  // type/flags byte + 32-bit length
constexpr size_t kCountSize = 4;
constexpr size_t kChecksumSize = 4;
static_assert(kChecksumSize + 1 == kBlockHeaderSize, "the scan loop relies on this");
constexpr size_t kBuildDigits = 15;
constexpr size_t kVersionChars = 15;
constexpr size_t kSerialDigits = 8;

// Unsigned number from a fixed-width text field: leading white space skipped,
// stops at the first character that is not a digit of the base. Wraps modulo
// 2^32 like an unsigned long cut to 32 bits.
uint32_t sParseField(const uint8_t* field, size_t width, unsigned base) {
  size_t i = 0;
  while (i < width && aText_IsSpace(static_cast<char>(field[i]))) ++i;
  if (base == 16 && i + 1 < width && field[i] == '0' && (field[i + 1] == 'x' || field[i + 1] == 'X') &&
      i + 2 < width && aText_HexDigitValue(static_cast<char>(field[i + 2])) >= 0) {
    i += 2;
  }
  uint32_t value = 0;
  for (; i < width; ++i) {
    const int digit = aText_HexDigitValue(static_cast<char>(field[i]));
    if (digit < 0 || static_cast<unsigned>(digit) >= base) break;
    value = value * base + static_cast<uint32_t>(digit);
  }
  return value;
}

uint32_t sGetIntLE(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool sHasAddress(uint8_t type) {
  return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE;
}

// True when [target, target + width) lies inside the payload [base, base + size);
// 64-bit so addresses near the top of the 32-bit space cannot wrap.
bool sCovers(uint32_t base, uint64_t size, uint32_t target, uint64_t width) {
  return base <= target && static_cast<uint64_t>(target) + width <= static_cast<uint64_t>(base) + size;
}

std::string sFormat(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[160];
  std::snprintf(text, sizeof(text), format, a, b, c);
  return text;
}

}  // namespace

uint32_t GetInt(const uint8_t* data) {
  return (static_cast<uint32_t>(data[0]) << 24) | (static_cast<uint32_t>(data[1]) << 16) |
         (static_cast<uint32_t>(data[2]) << 8) | static_cast<uint32_t>(data[3]);
}

uint16_t GetShort(const uint8_t* data) {
  return static_cast<uint16_t>((static_cast<unsigned>(data[0]) << 8) | static_cast<unsigned>(data[1]));
}

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "") {
  if (!Load()) {
    throw std::runtime_error("Failed to load bird data");
  }
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
  *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other) return *this;
  path = std::move(other.path);
  signature = other.signature;
  version = other.version;
  fileChecksum = other.fileChecksum;
  blockCount = other.blockCount;
  // The buffer moves as one allocation, so the blocks' data pointers stay valid.
  blocks = std::move(other.blocks);
  hasSerialOffsets = other.hasSerialOffsets;
  serialNumberOffset = other.serialNumberOffset;
  descriptorOffset = other.descriptorOffset;
  buffer = std::move(other.buffer);
  bufferSize = other.bufferSize;
  scanClean = other.scanClean;
  problem = std::move(other.problem);
  other.Reset();
  return *this;
}

BirdFile::~BirdFile() = default;

void BirdFile::Reset() {
  signature = 0;
  version = 0;
  fileChecksum = 0;
  blockCount = 0;
  blocks.clear();
  hasSerialOffsets = false;
  serialNumberOffset = 0;
  descriptorOffset = 0;
  buffer.reset();
  bufferSize = 0;
  scanClean = false;
  problem.clear();
}

void BirdFile::NoteProblem(const std::string& text) {
  if (problem.empty()) problem = text;
}

bool BirdFile::VerifyFile(const char* filePath) {
  aFileRef file = aFile_Open(filePath, aFileModeReadOnly);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath ? filePath : "");
    return false;
  }
  uint8_t header[kHeaderSize] = {};
  size_t got = 0;
  const aErr err = aFile_Read(file, header, sizeof(header), &got);
  (void)aFile_Close(&file);
  return err == aErrNone && HasValidHeader(header, got);
}

bool BirdFile::HasValidHeader(const uint8_t* data, size_t size) {
  return data != nullptr && size >= kHeaderSize && GetInt(data) == BIRD_FILE_SIGNATURE && data[4] != 0 &&
         data[5] != 0;
}

bool BirdFile::Load() {
  Reset();
  const char* name = path.c_str();
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", name);
  if (!aFile_Exists(name)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", name);
    NoteProblem("file not found");
    return false;
  }
  aFileRef file = aFile_Open(name, aFileModeReadOnly);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", name);
    NoteProblem("cannot open the file");
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, name);
    NoteProblem("cannot get the file size");
    (void)aFile_Close(&file);
    return false;
  }
  if (size > kMaxContainerSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file %s too large (%zu bytes)\n", name, size);
    NoteProblem("file too large");
    (void)aFile_Close(&file);
    return false;
  }
  std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[size ? size : 1]);
  if (!image) {
    NoteProblem("out of memory");
    (void)aFile_Close(&file);
    return false;
  }
  size_t got = 0;
  err = aFile_Read(file, image.get(), size, &got);
  (void)aFile_Close(&file);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, name);
    NoteProblem("cannot read the file");
    return false;
  }
  if (got < size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", name, got, size);
    NoteProblem("file shorter than its size");
    return false;
  }
  return LoadImage(image.get(), size);
}

bool BirdFile::LoadFromMemory(const uint8_t* data, size_t size) {
  std::string keep = std::move(path);
  Reset();
  path = std::move(keep);
  if (data == nullptr && size != 0) return false;
  if (size > kMaxContainerSize) {
    NoteProblem("file too large");
    return false;
  }
  return LoadImage(data, size);
}

bool BirdFile::LoadImage(const uint8_t* data, size_t size) {
  if (size <= kHeaderSize) {
    // Nothing to decompress: zlib would answer an empty stream with -5.
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_BUF_ERROR);
    NoteProblem(sFormat("file too short (%u bytes)", static_cast<unsigned>(size)));
    if (size >= 4) signature = GetInt(data);
    if (size >= kHeaderSize) version = GetShort(data + 4);
    return false;
  }
  signature = GetInt(data);
  version = GetShort(data + 4);
  // Loading goes on regardless; the store's header check refuses these.
  if (!HasValidHeader(data, size)) {
    NoteProblem(signature != BIRD_FILE_SIGNATURE ? std::string("not a BIRD file (no \"bird\" signature)")
                                                 : sFormat("format version %04X has a zero byte", version));
  }
  if (!DecompressData(data + kHeaderSize, size - kHeaderSize)) return false;
  scanClean = ScanBlocks(buffer.get(), bufferSize);
  hasSerialOffsets = FindSerialNumberOffsets();
  return true;
}

bool BirdFile::DecompressData(const uint8_t* data, size_t size) {
  bufferSize = 0;
  buffer.reset();
  blocks.clear();
  blockCount = 0;
  if (data == nullptr || size == 0 || size > kMaxContainerSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_BUF_ERROR);
    NoteProblem(
        sFormat("cannot decompress the contents (zlib error %d)", static_cast<unsigned>(Z_BUF_ERROR)));
    return false;
  }
  // Denser contents fail with zlib's buffer error, as does a container past
  // the size every reader refuses.
  const size_t capacity = std::min(size * kMaxExpansion, kMaxContainerSize);
  buffer.reset(new (std::nothrow) uint8_t[capacity]);
  if (!buffer) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
    NoteProblem("out of memory");
    return false;
  }
  uLongf produced = static_cast<uLongf>(capacity);
  const int result = uncompress(buffer.get(), &produced, data, static_cast<uLong>(size));
  if (result != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", result);
    char text[80];
    std::snprintf(text, sizeof(text), "cannot decompress the contents (zlib error %d)", result);
    NoteProblem(text);
    buffer.reset();
    return false;
  }
  bufferSize = static_cast<uint32_t>(produced);
  return true;
}

bool BirdFile::ScanBlocks(uint8_t* data, size_t size) {
  blockCount = 0;
  blocks.clear();
  fileChecksum = 0;
  if (data == nullptr || size < kCountSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(size));
    NoteProblem(sFormat("contents too short for a block count (%u bytes)", static_cast<unsigned>(size)));
    return false;
  }
  const uint32_t stated = GetInt(data);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(stated));
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  size_t pos = kCountSize;
  size_t remaining = size - kCountSize;
  bool verdict = true;
  bool truncated = false;
  // More than the checksum's 4 bytes left means at least a 5-byte block header.
  while (remaining > kChecksumSize) {
    BirdBlock block;
    block.type = data[pos] & BIRD_FILE_TYPE_MASK;
    block.flags = static_cast<uint8_t>((data[pos] & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = GetInt(data + pos + 1);
    if (block.length > remaining - kBlockHeaderSize) {
      Log::log(DEBUG_BirdFile,
               "BIRDFILE: Block at offset %zu does not fit (%u bytes of data, %zu remaining)\n", pos,
               block.length, remaining - kBlockHeaderSize);
      NoteProblem(sFormat("block %u at offset %u does not fit in the contents", blockCount,
                          static_cast<unsigned>(pos)));
      truncated = true;
      break;
    }
    block.data = data + pos + kBlockHeaderSize;
    block.address = (sHasAddress(block.type) && block.length >= kAddressSize) ? GetInt(block.data) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             static_cast<int>(block.length));
    if (block.type == BLOCK_DESCRIPTOR && block.length >= kDescriptorSize) {
      for (uint32_t field = 0; field < 4; ++field) {
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                 std::string(reinterpret_cast<const char*>(block.data) + field * kDescriptorFieldSize,
                             kDescriptorFieldSize)
                     .c_str());
      }
    }
    pos += kBlockHeaderSize + block.length;
    remaining -= kBlockHeaderSize + block.length;
    ++blockCount;
    blocks.push_back(block);
  }

  // The loop leaves at most 4 bytes unless it stopped at a block that did not
  // fit; exactly 4 is the checksum, fewer means the contents were cut.
  if (!truncated && remaining < kChecksumSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: No room for the file checksum (%zu bytes remaining)\n", remaining);
    NoteProblem(sFormat("no room for the file checksum (%u bytes left)", static_cast<unsigned>(remaining)));
    truncated = true;
  }
  if (truncated) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(remaining));
    verdict = false;
  } else {
    fileChecksum = GetInt(data + pos);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum);
  }
  if (blockCount != stated) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             static_cast<int>(blockCount), static_cast<int>(stated));
    NoteProblem(sFormat("holds %u blocks but states %u", blockCount, stated));
    verdict = false;
  }
  return verdict;
}

const BirdBlock* BirdFile::FirstBlock(BLOCK_TYPE type, uint32_t minLength) const {
  for (const BirdBlock& block : blocks) {
    if (block.type == type && block.length >= minLength) return &block;
  }
  return nullptr;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks) {
    if (block.type == type) found.push_back(block);
  }
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  const BirdBlock* block = FirstBlock(BLOCK_SERIAL_OFFSETS, kSerialOffsetsSize);
  if (block == nullptr) return false;
  serialNumberOffset = GetInt(block->data);
  descriptorOffset = GetInt(block->data + 4);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
           static_cast<int>(serialNumberOffset), static_cast<int>(descriptorOffset));
  return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serialNumber) {
  const std::string digits = aText_Hex32(serialNumber);
  bool stamped = false;
  for (BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || block.length < kAddressSize) continue;
    uint8_t* payload = block.data + kAddressSize;
    const uint64_t payloadSize = block.length - kAddressSize;
    if (serialNumberOffset != 0) {
      if (sCovers(block.address, payloadSize, serialNumberOffset, 4)) {
        uint8_t* word = payload + (serialNumberOffset - block.address);
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", sGetIntLE(word),
                 serialNumber);
        // The device keeps its serial number as a little-endian word.
        for (int i = 0; i < 4; ++i) word[i] = static_cast<uint8_t>(serialNumber >> (8 * i));
      }
      stamped = true;
    }
    if (descriptorOffset != 0 && sCovers(block.address, payloadSize, descriptorOffset, 16)) {
      // The descriptor text is UTF-16LE: only the low byte of each character.
      uint8_t* text = payload + (descriptorOffset - block.address);
      for (int i = 0; i < 8; ++i) text[2 * i] = static_cast<uint8_t>(digits[i]);
      stamped = true;
    }
  }
  return stamped;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t* key) {
  uint8_t keyBytes[16] = {};
  if (key != nullptr) {
    for (int word = 0; word < 4; ++word) {
      for (int byte = 0; byte < 4; ++byte) {
        keyBytes[word * 4 + byte] = static_cast<uint8_t>(key[word] >> (8 * (3 - byte)));
      }
    }
  }
  for (BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || block.length < kAddressSize) continue;
    uint8_t chain = 0;
    size_t k = 0;
    for (uint32_t i = kAddressSize; i < block.length; ++i) {
      const uint8_t decoded = static_cast<uint8_t>(block.data[i] ^ keyBytes[k] ^ chain);
      block.data[i] = decoded;
      chain = decoded;
      k = (k + 1) % sizeof(keyBytes);
    }
  }
  return true;
}

uint32_t BirdFile::GetSerialNumber() const {
  const BirdBlock* descriptor = FirstBlock(BLOCK_DESCRIPTOR, kDescriptorSize);
  if (descriptor == nullptr) return 0;
  return sParseField(descriptor->data + 2 * kDescriptorFieldSize, kSerialDigits, 16);
}

bool BirdFile::ValidateSerialNumber(uint32_t serialNumber) const {
  return serialNumber == GetSerialNumber();
}

uint32_t BirdFile::GetBuild() const {
  const BirdBlock* descriptor = FirstBlock(BLOCK_DESCRIPTOR, kDescriptorSize);
  if (descriptor == nullptr) return 0;
  return sParseField(descriptor->data, kBuildDigits, 10);
}

std::string BirdFile::GetVersion() const {
  const BirdBlock* descriptor = FirstBlock(BLOCK_DESCRIPTOR, kDescriptorSize);
  if (descriptor == nullptr) return std::string();
  const char* field = reinterpret_cast<const char*>(descriptor->data + kDescriptorFieldSize);
  size_t length = 0;
  while (length < kVersionChars && field[length] != ' ' && field[length] != '\0') ++length;
  return std::string(field, length);
}

std::string BirdFile::GetModel() const {
  const BirdBlock* descriptor = FirstBlock(BLOCK_DESCRIPTOR, kDescriptorSize);
  if (descriptor == nullptr) return std::string();
  const char* field = reinterpret_cast<const char*>(descriptor->data + 3 * kDescriptorFieldSize);
  size_t length = kDescriptorFieldSize;
  while (length > 0 && field[length - 1] == ' ') --length;
  return std::string(field, length);
}

bool BirdFile::ValidateModel(const char* name) const {
  if (name == nullptr || !HasDescriptor()) return false;
  const size_t nameLength = std::strlen(name);
  if (nameLength > kDescriptorFieldSize) return false;
  const std::string model = GetModel();
  if (model.size() < nameLength || model.compare(0, nameLength, name) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", model.c_str(), name);
  return true;
}
