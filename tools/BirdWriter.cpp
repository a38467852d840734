#include "tools/BirdWriter.h"

#include <zlib.h>

#include <cstdio>
#include <stdexcept>

#include "unix/aFile.h"

namespace {

constexpr uint8_t kMaxFlags = 7;
constexpr size_t kVersionChars = 15;  // the reader takes the first 15 bytes

void sPutInt(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void sPutField(std::vector<uint8_t>& out, const std::string& text) {
  std::string field = text;
  field.resize(BirdFile::kDescriptorFieldSize, ' ');
  out.insert(out.end(), field.begin(), field.end());
}

uint8_t sCheckedFlags(uint8_t flags) {
  if (flags > kMaxFlags) throw std::invalid_argument("block flags must be 0 to 7");
  return flags;
}

std::vector<uint8_t> sCompress(const std::vector<uint8_t>& data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::vector<uint8_t> out(size);
  if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level) != Z_OK) {
    throw std::runtime_error("compression failed");
  }
  out.resize(size);
  return out;
}

}  // namespace

uint32_t BirdWriter::Checksum(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i < size; ++i) sum += data[i];
  return sum;
}

std::vector<uint8_t> BirdWriter::DescriptorBytes(uint32_t build, const std::string& version,
                                                 uint32_t serialNumber, const std::string& model) {
  if (version.size() > kVersionChars) throw std::invalid_argument("version text longer than 15 characters");
  if (model.size() > BirdFile::kDescriptorFieldSize) {
    throw std::invalid_argument("model name longer than 16 characters");
  }
  char number[16];
  std::vector<uint8_t> out;
  std::snprintf(number, sizeof(number), "%u", build);
  sPutField(out, number);
  sPutField(out, version);
  std::snprintf(number, sizeof(number), "%08X", serialNumber);
  sPutField(out, number);
  sPutField(out, model);
  return out;
}

std::vector<uint8_t> BirdWriter::AddressedData(uint32_t address, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> data;
  data.reserve(payload.size() + BirdFile::kAddressSize);
  sPutInt(data, address);
  data.insert(data.end(), payload.begin(), payload.end());
  return data;
}

void BirdWriter::SetDescriptor(uint32_t build, const std::string& version, uint32_t serialNumber,
                               const std::string& model) {
  descriptor.data = DescriptorBytes(build, version, serialNumber, model);
  hasDescriptor = true;
}

void BirdWriter::AddLoader(uint32_t address, const std::vector<uint8_t>& payload, uint8_t flags) {
  blocks.push_back({BirdFile::BLOCK_LOADER, sCheckedFlags(flags), AddressedData(address, payload)});
}

void BirdWriter::AddFirmware(uint32_t address, const std::vector<uint8_t>& payload, uint8_t flags) {
  blocks.push_back({BirdFile::BLOCK_FIRMWARE, sCheckedFlags(flags), AddressedData(address, payload)});
}

void BirdWriter::SetSerialOffsets(uint32_t serialNumberAddress, uint32_t descriptorAddress) {
  serialOffsets.data.clear();
  sPutInt(serialOffsets.data, serialNumberAddress);
  sPutInt(serialOffsets.data, descriptorAddress);
  hasSerialOffsets = true;
}

void BirdWriter::SetLoaderStart(uint32_t address) {
  loaderStart.data.clear();
  sPutInt(loaderStart.data, address);
  hasLoaderStart = true;
}

void BirdWriter::AddBlock(uint8_t type, uint8_t flags, const std::vector<uint8_t>& data) {
  if (type > BirdFile::BIRD_FILE_TYPE_MASK) throw std::invalid_argument("block type must be 0 to 31");
  blocks.push_back({type, sCheckedFlags(flags), data});
}

std::vector<uint8_t> BirdWriter::Container() const {
  std::vector<const Block*> ordered;
  if (hasDescriptor) ordered.push_back(&descriptor);
  if (hasSerialOffsets) ordered.push_back(&serialOffsets);
  if (hasLoaderStart) ordered.push_back(&loaderStart);
  for (const Block& block : blocks) ordered.push_back(&block);

  std::vector<uint8_t> out;
  sPutInt(out, static_cast<uint32_t>(ordered.size()));
  for (const Block* block : ordered) {
    if (block->data.size() > UINT32_MAX) throw std::invalid_argument("block larger than 4 GiB");
    out.push_back(static_cast<uint8_t>(block->type | (block->flags << 5)));
    sPutInt(out, static_cast<uint32_t>(block->data.size()));
    out.insert(out.end(), block->data.begin(), block->data.end());
  }
  sPutInt(out, Checksum(out.data(), out.size()));
  return out;
}

std::vector<uint8_t> BirdWriter::Wrap(const std::vector<uint8_t>& container, uint16_t version, int level) {
  std::vector<uint8_t> compressed;
  if (level != kAutoLevel) {
    compressed = sCompress(container, level);
  } else {
    // Padding-heavy images compress far better than 8:1, which the reader's
    // fixed buffer cannot take; step down until the result fits. Level 0
    // (stored) never shrinks, so the loop always ends with a usable image.
    for (int tryLevel = Z_BEST_COMPRESSION; tryLevel >= Z_NO_COMPRESSION; --tryLevel) {
      compressed = sCompress(container, tryLevel);
      if (container.size() <= compressed.size() * BirdFile::kMaxExpansion) break;
    }
  }
  std::vector<uint8_t> image;
  image.reserve(BirdFile::kHeaderSize + compressed.size());
  sPutInt(image, BirdFile::BIRD_FILE_SIGNATURE);
  image.push_back(static_cast<uint8_t>(version >> 8));
  image.push_back(static_cast<uint8_t>(version));
  image.insert(image.end(), compressed.begin(), compressed.end());
  return image;
}

std::vector<uint8_t> BirdWriter::FileImage(int level) const {
  return Wrap(Container(), BirdFile::BIRD_FILE_VERSION, level);
}

aErr BirdWriter::Write(const std::string& path) const {
  const std::vector<uint8_t> image = FileImage();
  return aFile_Replace(path.c_str(), image.data(), image.size());
}
