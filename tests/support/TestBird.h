// An independent writer of BIRD firmware files for tests and benchmarks, so
// that expectations never come from the product's own BIRD code: "bird",
// format version 0x0101, then one zlib stream of the block container (count,
// blocks of type/flags byte, 32-bit length and data, trailing byte sum).
#ifndef CORVALITH_TESTS_SUPPORT_TESTBIRD_H
#define CORVALITH_TESTS_SUPPORT_TESTBIRD_H

#include <cstdint>
#include <string>
#include <vector>

struct TestBird {
  struct Block {
    uint32_t address = 0;
    std::vector<uint8_t> payload;
    uint8_t flags = 0;  // 0-7
  };

  uint32_t build = 1;
  std::string version = "1.0.0";
  uint32_t serial = 0;  // descriptor serial number
  std::string model;
  std::vector<Block> loader;
  std::vector<Block> firmware;
  // Generic image: the addresses where the device's serial number is stamped
  // (word, then eight characters at every second byte); 0 for none.
  bool generic = false;
  uint32_t serialWordAddress = 0;
  uint32_t serialTextAddress = 0;
  // Where a recovery loader starts (a type 5 block); 0 for none.
  uint32_t loaderStart = 0;

  std::vector<uint8_t> bytes() const;
  void write(const std::string& path) const;
};

// Bytes a test can compare: a payload of n bytes that zlib cannot shrink much
// (so every reader's expansion limit holds), the same for one seed.
std::vector<uint8_t> TestPayload(size_t n, uint32_t seed);

// The flash image the blocks leave in an erased flash: 0xFF up to the end of
// the highest block, each payload at its address.
std::vector<uint8_t> FlashImage(const std::vector<TestBird::Block>& blocks);

#endif
