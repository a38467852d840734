// BIRD loader over untrusted bytes. An input that starts with "bird" is a
// whole file image; any other input is taken as a decompressed block
// container and stored uncompressed in a file image, so the fuzzer reaches
// the block scanner without having to produce valid zlib streams. Every input
// is also scanned directly from an exactly sized copy.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "tools/BirdWriter.h"
#include "updater/BirdFile.h"

namespace {

constexpr size_t kMaxInput = 1 << 20;
constexpr int kStored = 0;  // zlib level without compression

void sExercise(BirdFile& file) {
  for (uint8_t type = 0; type < 8; ++type) (void)file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
  (void)file.GetBuild();
  (void)file.GetVersion();
  (void)file.GetSerialNumber();
  (void)file.GetModel();
  (void)file.ValidateModel("ABC");
  (void)file.ValidateModel("");
  (void)file.ValidateSerialNumber(0x1A2B);
  (void)file.FindSerialNumberOffsets();
  (void)file.ReplaceSerialNumber(0x12ABCD);
  const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  (void)file.DecodeFirmwareBlocks(key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;

  std::unique_ptr<uint8_t[]> exact(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);
  BirdFile scanned;
  (void)scanned.ScanBlocks(exact.get(), size);
  sExercise(scanned);

  BirdFile loaded;
  if (size >= 4 && std::memcmp(data, "bird", 4) == 0) {
    (void)loaded.LoadFromMemory(data, size);
  } else {
    const std::vector<uint8_t> container(data, data + size);
    const std::vector<uint8_t> image = BirdWriter::Wrap(container, BirdFile::BIRD_FILE_VERSION, kStored);
    (void)loaded.LoadFromMemory(image.data(), image.size());
  }
  sExercise(loaded);
  BirdFile moved(std::move(loaded));
  sExercise(moved);
  return 0;
}
