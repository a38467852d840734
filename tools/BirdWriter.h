// Builds BIRD firmware files: the descriptor, loader and firmware blocks, the
// optional serial-number offsets and loader start, the trailing checksum, and
// the zlib-compressed file image. The updater itself only reads BIRD files;
// this serves birdtool, the stand-ins and the tests.
#ifndef CORVALITH_TOOLS_BIRDWRITER_H
#define CORVALITH_TOOLS_BIRDWRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/aErr.h"
#include "updater/BirdFile.h"

class BirdWriter {
 public:
  // Automatic compression level: the strongest whose result the reader can
  // still expand (at most BirdFile::kMaxExpansion times the compressed size).
  static constexpr int kAutoLevel = -1;

  // Throws std::invalid_argument when the version text exceeds 15 characters
  // or the model name 16 (the reader would cut them).
  void SetDescriptor(uint32_t build, const std::string& version, uint32_t serialNumber,
                     const std::string& model);
  // Flags 0-7 (the upgrade protocol gives them their meaning); throws
  // std::invalid_argument for larger values.
  void AddLoader(uint32_t address, const std::vector<uint8_t>& payload, uint8_t flags = 0);
  void AddFirmware(uint32_t address, const std::vector<uint8_t>& payload, uint8_t flags = 0);
  // Target addresses of the serial-number word and of the descriptor text;
  // 0 means absent. Makes the image generic.
  void SetSerialOffsets(uint32_t serialNumberAddress, uint32_t descriptorAddress);
  void SetLoaderStart(uint32_t address);
  // Any block as given, appended after the others (unknown types, malformed
  // blocks for tests).
  void AddBlock(uint8_t type, uint8_t flags, const std::vector<uint8_t>& data);

  // Block count, blocks (descriptor, serial offsets, loader start, then the
  // others in the order added) and the checksum.
  std::vector<uint8_t> Container() const;
  // The complete file: "bird", the format version and the compressed container.
  std::vector<uint8_t> FileImage(int level = kAutoLevel) const;
  // Writes FileImage() atomically; the result of the write (aErrNotFound when
  // the file cannot be created).
  [[nodiscard]] aErr Write(const std::string& path) const;

  // Sum of the bytes, modulo 2^32: the writer's file checksum.
  static uint32_t Checksum(const uint8_t* data, size_t size);
  // The 64-byte descriptor text of four space-padded 16-byte fields.
  static std::vector<uint8_t> DescriptorBytes(uint32_t build, const std::string& version,
                                              uint32_t serialNumber, const std::string& model);
  // A file image around any container; kAutoLevel or a zlib level 0-9 (a
  // fixed level may produce files the reader refuses, for tests).
  static std::vector<uint8_t> Wrap(const std::vector<uint8_t>& container,
                                   uint16_t version = BirdFile::BIRD_FILE_VERSION, int level = kAutoLevel);

 private:
  struct Block {
    uint8_t type;
    uint8_t flags;
    std::vector<uint8_t> data;
  };
  static std::vector<uint8_t> AddressedData(uint32_t address, const std::vector<uint8_t>& payload);

  bool hasDescriptor = false;
  Block descriptor{BirdFile::BLOCK_DESCRIPTOR, 0, {}};
  bool hasSerialOffsets = false;
  Block serialOffsets{BirdFile::BLOCK_SERIAL_OFFSETS, 0, {}};
  bool hasLoaderStart = false;
  Block loaderStart{BirdFile::BLOCK_LOADER_START, 0, {}};
  std::vector<Block> blocks;
};

#endif
