#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempFiles.h"
#include "support/TestBird.h"
#include "tools/BirdWriter.h"
#include "updater/BirdFile.h"

namespace {

using Bytes = std::vector<uint8_t>;

void PutInt(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// A hand-made block: header byte, stated length, data.
Bytes RawBlock(uint8_t typeAndFlags, uint32_t statedLength, const Bytes& data) {
  Bytes out{typeAndFlags};
  PutInt(out, statedLength);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Count(uint32_t n) {
  Bytes out;
  PutInt(out, n);
  return out;
}

Bytes Payload(size_t size, uint8_t first = 0) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

// The expectations never come from the product's BIRD code: containers are
// made here byte by byte, and compressed with zlib directly.
Bytes Wrap(const Bytes& container, uint16_t version = 0x0101, int level = Z_DEFAULT_COMPRESSION) {
  Bytes out{'b', 'i', 'r', 'd', static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version)};
  uLongf size = compressBound(container.size());
  out.resize(6 + size);
  EXPECT_EQ(Z_OK, compress2(out.data() + 6, &size, container.data(), container.size(), level));
  out.resize(6 + size);
  return out;
}

// Sum of the bytes modulo 2^32, the writer's checksum.
uint32_t Sum(const Bytes& bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
}

// Count, blocks and the checksum of everything before it.
Bytes Container(std::initializer_list<Bytes> blocks) {
  Bytes out = Count(static_cast<uint32_t>(blocks.size()));
  for (const Bytes& block : blocks) out.insert(out.end(), block.begin(), block.end());
  PutInt(out, Sum(out));
  return out;
}

// A whole block: type and flags byte, length, data.
Bytes Block(uint8_t type, uint8_t flags, const Bytes& data) {
  return RawBlock(static_cast<uint8_t>(type | (flags << 5)), static_cast<uint32_t>(data.size()), data);
}

// A loader (0) or firmware (1) block: the target address, then the payload.
Bytes Addressed(uint8_t type, uint32_t address, const Bytes& payload, uint8_t flags = 0) {
  Bytes data;
  PutInt(data, address);
  data.insert(data.end(), payload.begin(), payload.end());
  return Block(type, flags, data);
}

// The 64 descriptor bytes: four space-padded 16-byte fields.
Bytes Descriptor(uint32_t build, const std::string& version, uint32_t serial, const std::string& model) {
  char serialText[9];
  std::snprintf(serialText, sizeof serialText, "%08X", serial);
  Bytes out;
  for (std::string field : {std::to_string(build), version, std::string(serialText), model}) {
    field.resize(16, ' ');
    out.insert(out.end(), field.begin(), field.end());
  }
  return out;
}

Bytes DescriptorBlock(uint32_t build, const std::string& version, uint32_t serial, const std::string& model) {
  return Block(4, 0, Descriptor(build, version, serial, model));
}

Bytes SerialOffsets(uint32_t wordAddress, uint32_t textAddress) {
  Bytes data;
  PutInt(data, wordAddress);
  PutInt(data, textAddress);
  return Block(2, 0, data);
}

BirdFile LoadImage(const Bytes& image) {
  BirdFile file;
  EXPECT_TRUE(file.LoadFromMemory(image.data(), image.size())) << file.problem;
  return file;
}

// A generic image: firmware at 0x1000 covering a serial word at 0x1010 and a
// 16-byte UTF-16 text at 0x1020.
Bytes GenericContainer() {
  return Container({DescriptorBlock(1234, "2.8.1 beta", 0, "HubLink 4"), SerialOffsets(0x1010, 0x1020),
                    Addressed(1, 0x1000, Payload(0x40))});
}

}  // namespace

TEST(BirdFile, FileReadsBackBlockForBlock) {
  TempDir dir;
  Bytes loaderStart;
  PutInt(loaderStart, 0x20000400);
  const Bytes container =
      Container({DescriptorBlock(1234, "2.9.0", 0x00001A2B, "HubLink 8"), Block(5, 0, loaderStart),
                 Addressed(0, 0x20000000, Payload(100, 7), 1), Addressed(1, 0x00004000, Payload(300, 3), 2),
                 Addressed(1, 0x00008000, Payload(5, 9), 7)});
  const std::string path = dir / "1234.bird";
  WriteBytes(path, Wrap(container));

  ASSERT_TRUE(BirdFile::VerifyFile(path.c_str()));
  const BirdFile file(path.c_str());
  EXPECT_EQ(path, file.path);
  EXPECT_EQ(BirdFile::BIRD_FILE_SIGNATURE, file.signature);
  EXPECT_EQ(BirdFile::BIRD_FILE_VERSION, file.version);
  EXPECT_TRUE(file.scanClean);
  EXPECT_EQ("", file.problem);
  ASSERT_EQ(5u, file.blockCount);
  ASSERT_EQ(5u, file.blocks.size());

  ASSERT_EQ(container.size(), file.bufferSize);
  EXPECT_EQ(0, std::memcmp(container.data(), file.buffer.get(), container.size()));
  EXPECT_EQ(Sum(Bytes(container.begin(), container.end() - 4)), file.fileChecksum);

  const uint8_t types[] = {4, 5, 0, 1, 1};
  const uint8_t flags[] = {0, 0, 1, 2, 7};
  const uint32_t lengths[] = {64, 4, 104, 304, 9};
  const uint32_t addresses[] = {0, 0, 0x20000000, 0x4000, 0x8000};
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(types[i], file.blocks[i].type);
    EXPECT_EQ(flags[i], file.blocks[i].flags);
    EXPECT_EQ(lengths[i], file.blocks[i].length);
    EXPECT_EQ(addresses[i], file.blocks[i].address);
  }
  // The data handed to the device starts with the address bytes.
  const Bytes expected = Concat({Bytes{0, 0, 0x40, 0}, Payload(300, 3)});
  EXPECT_EQ(0, std::memcmp(expected.data(), file.blocks[3].data, expected.size()));

  EXPECT_EQ(1234u, file.GetBuild());
  EXPECT_EQ("2.9.0", file.GetVersion());
  EXPECT_EQ(0x1A2Bu, file.GetSerialNumber());
  EXPECT_TRUE(file.ValidateSerialNumber(0x1A2B));
  EXPECT_FALSE(file.ValidateSerialNumber(0x1A2C));
  EXPECT_EQ("HubLink 8", file.GetModel());
  EXPECT_FALSE(file.hasSerialOffsets);

  const auto firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(2u, firmware.size());
  EXPECT_EQ(0x4000u, firmware[0].address);
  EXPECT_EQ(0x8000u, firmware[1].address);
  EXPECT_TRUE(file.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).empty());
}

TEST(BirdFile, FixedBytesReadAsWrittenOut) {
  // A whole file byte for byte. The zlib stream holds one stored block, so
  // the container is plain to see: two blocks and their checksum.
  const std::string descriptor = "1210            2.1.0           00001A2B        HubLink 8       ";
  const Bytes image = Concat({
      {'b', 'i', 'r', 'd', 0x01, 0x01},
      {0x78, 0x01, 0x01, 0x5A, 0x00, 0xA5, 0xFF},  // zlib header; final stored block of 90 bytes
      {0x00, 0x00, 0x00, 0x02},                    // block count
      {0x04, 0x00, 0x00, 0x00, 0x40},              // descriptor, 64 bytes
      Bytes(descriptor.begin(), descriptor.end()),
      {0x21, 0x00, 0x00, 0x00, 0x08},  // firmware with flags 1, 8 bytes
      {0x00, 0x00, 0x01, 0x00, 0xDE, 0xAD, 0xBE, 0xEF},
      {0x00, 0x00, 0x0E, 0xC6},  // byte sum of the container so far
      {0x39, 0x01, 0x0F, 0x9B},  // Adler-32 of the container
  });
  ASSERT_EQ(64u, descriptor.size());
  BirdFile file = LoadImage(image);
  EXPECT_TRUE(file.scanClean) << file.problem;
  EXPECT_EQ(90u, file.bufferSize);
  EXPECT_EQ(0x0EC6u, file.fileChecksum);
  ASSERT_EQ(2u, file.blockCount);
  EXPECT_EQ(1210u, file.GetBuild());
  EXPECT_EQ("2.1.0", file.GetVersion());
  EXPECT_EQ(0x1A2Bu, file.GetSerialNumber());
  EXPECT_EQ("HubLink 8", file.GetModel());
  const BirdBlock& firmware = file.blocks[1];
  EXPECT_EQ(1, firmware.type);
  EXPECT_EQ(1, firmware.flags);
  EXPECT_EQ(8u, firmware.length);
  EXPECT_EQ(0x100u, firmware.address);
  EXPECT_EQ((Bytes{0, 0, 1, 0, 0xDE, 0xAD, 0xBE, 0xEF}), Bytes(firmware.data, firmware.data + 8));

  // One flipped byte in the stored container breaks the Adler-32.
  Bytes damaged = image;
  damaged[6 + 7 + 20] ^= 0x01;
  BirdFile refused;
  EXPECT_FALSE(refused.LoadFromMemory(damaged.data(), damaged.size()));
  EXPECT_NE(std::string::npos, refused.problem.find("-3")) << refused.problem;
}

TEST(BirdFile, IndependentWriterImageStampsWhereItSays) {
  // The test tree's own writer: loader and firmware blocks, generic offsets.
  TestBird bird;
  bird.build = 1250;
  bird.version = "2.2.0";
  bird.model = "PortSwitch 2";
  bird.loader.push_back({0x20000000, TestPayload(96, 1), 3});
  bird.firmware.push_back({0x00004000, TestPayload(256, 2), 0});
  bird.firmware.push_back({0x00004100, TestPayload(64, 3), 6});
  bird.generic = true;
  bird.serialWordAddress = 0x00004104;
  bird.serialTextAddress = 0x00004010;
  TempDir dir;
  const std::string path = dir / "1250.bird";
  bird.write(path);

  ASSERT_TRUE(BirdFile::VerifyFile(path.c_str()));
  BirdFile file(path.c_str());
  EXPECT_TRUE(file.scanClean) << file.problem;
  EXPECT_EQ(1250u, file.GetBuild());
  EXPECT_EQ("2.2.0", file.GetVersion());
  EXPECT_TRUE(file.ValidateModel("PortSwitch 2"));
  ASSERT_TRUE(file.hasSerialOffsets);
  EXPECT_EQ(bird.serialWordAddress, file.serialNumberOffset);
  EXPECT_EQ(bird.serialTextAddress, file.descriptorOffset);

  const std::vector<TestBird::Block>* expected[] = {&bird.loader, &bird.firmware};
  const BirdFile::BLOCK_TYPE types[] = {BirdFile::BLOCK_LOADER, BirdFile::BLOCK_FIRMWARE};
  for (int t = 0; t < 2; ++t) {
    const std::vector<BirdBlock> found = file.FindBlocks(types[t]);
    ASSERT_EQ(expected[t]->size(), found.size()) << t;
    for (size_t i = 0; i < found.size(); ++i) {
      const TestBird::Block& want = (*expected[t])[i];
      EXPECT_EQ(want.address, found[i].address);
      EXPECT_EQ(want.flags, found[i].flags);
      EXPECT_EQ(want.payload, Bytes(found[i].data + 4, found[i].data + found[i].length));
    }
  }

  // Stamping lands at the addresses the writer named, in whichever block
  // covers them: the word in the second firmware block, the text in the first.
  ASSERT_TRUE(file.ReplaceSerialNumber(0xC0FFEE01));
  std::vector<TestBird::Block> stamped = bird.firmware;
  const uint8_t word[] = {0x01, 0xEE, 0xFF, 0xC0};
  std::copy(word, word + 4, stamped[1].payload.begin() + 4);
  const char digits[] = "C0FFEE01";
  for (int i = 0; i < 8; ++i) stamped[0].payload[0x10 + 2 * i] = static_cast<uint8_t>(digits[i]);
  const std::vector<BirdBlock> after = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(stamped[i].payload, Bytes(after[i].data + 4, after[i].data + after[i].length)) << i;
  }
}

TEST(BirdFile, HeaderCheckIsSeparateFromLoading) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  const Bytes container = GenericContainer();

  // Version 0x0100 fails the store's check but loads when named directly.
  const std::string zeroByte = dir / "zero.bird";
  WriteBytes(zeroByte, Wrap(container, 0x0100));
  EXPECT_FALSE(BirdFile::VerifyFile(zeroByte.c_str()));
  BirdFile loaded(zeroByte.c_str());
  EXPECT_EQ(0x0100, loaded.version);
  EXPECT_EQ(1234u, loaded.GetBuild());
  EXPECT_NE(std::string::npos, loaded.problem.find("zero byte"));

  // The version is not compared with BIRD_FILE_VERSION.
  const std::string other = dir / "other.bird";
  WriteBytes(other, Wrap(container, 0x0203));
  EXPECT_TRUE(BirdFile::VerifyFile(other.c_str()));

  Bytes wrongSignature = Wrap(container);
  wrongSignature[0] = 'B';
  const std::string notBird = dir / "notbird.bird";
  WriteBytes(notBird, wrongSignature);
  EXPECT_FALSE(BirdFile::VerifyFile(notBird.c_str()));

  const std::string shortFile = dir / "short.bird";
  WriteBytes(shortFile, Bytes{'b', 'i', 'r', 'd', 1});
  EXPECT_FALSE(BirdFile::VerifyFile(shortFile.c_str()));

  const std::string missing = dir / "missing.bird";
  EXPECT_FALSE(BirdFile::VerifyFile(missing.c_str()));
  EXPECT_NE(std::string::npos,
            log.text().find("BIRDFILE: Error - cannot open bird file: '" + missing + "'\n"));
}

TEST(BirdFile, LoadFailuresThrowAndSayWhy) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);

  const std::string missing = dir / "missing.bird";
  try {
    BirdFile file(missing.c_str());
    FAIL() << "loaded a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("Failed to load bird data", e.what());
  }
  EXPECT_NE(std::string::npos, log.text().find("BIRDFILE: BIRD file not found [" + missing + "]\n"));

  // Six bytes or fewer carry no compressed contents.
  for (const Bytes& tiny : {Bytes{}, Bytes{'b', 'i', 'r', 'd', 1, 1}}) {
    BirdFile file;
    EXPECT_FALSE(file.LoadFromMemory(tiny.data(), tiny.size()));
    EXPECT_EQ(0u, file.blockCount);
  }
  EXPECT_NE(std::string::npos, log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"));

  // Corrupt zlib stream.
  Bytes corrupt = Wrap(GenericContainer());
  corrupt[6] ^= 0xFF;
  const std::string corruptPath = dir / "corrupt.bird";
  WriteBytes(corruptPath, corrupt);
  EXPECT_THROW(BirdFile(corruptPath.c_str()), std::runtime_error);
  EXPECT_NE(std::string::npos, log.text().find("BIRDFILE: Error (-3) decompressing bird file.\n"));

  // A container that expands more than eight times fails with zlib's -5.
  const Bytes padded =
      Container({DescriptorBlock(1, "1.0.0", 0, "MeterPro"), Addressed(1, 0, Bytes(64 * 1024, 0xFF))});
  BirdFile file;
  const Bytes dense = Wrap(padded, 0x0101, 9);
  EXPECT_FALSE(file.LoadFromMemory(dense.data(), dense.size()));
  EXPECT_EQ(0u, file.bufferSize);
  EXPECT_NE(std::string::npos, log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"));
  EXPECT_NE(std::string::npos, file.problem.find("-5"));
}

TEST(BirdFile, WriterPicksALevelTheLoaderCanExpand) {
  // birdtool's writer must never produce a file this reader refuses.
  BirdWriter padded;
  padded.SetDescriptor(1, "1.0.0", 0, "MeterPro");
  padded.AddFirmware(0, Bytes(64 * 1024, 0xFF));
  const Bytes automatic = padded.FileImage();
  BirdFile file;
  EXPECT_TRUE(file.LoadFromMemory(automatic.data(), automatic.size())) << file.problem;
  EXPECT_TRUE(file.scanClean);
}

TEST(BirdFile, CountAndSizeMismatchesStillLoad) {
  LogCapture log(DEBUG_BirdFile);
  const Bytes firmware = RawBlock(0x01, 8, Payload(8));

  // Three stray bytes after the checksum: the checksum and the strays read as
  // one more block, which leaves no room for a checksum.
  Bytes stray = Concat({Count(1), firmware, Bytes{0, 0, 0, 0}, Bytes{1, 2, 3}});
  BirdFile file = LoadImage(Wrap(stray));
  EXPECT_FALSE(file.scanClean);
  EXPECT_NE(std::string::npos, log.text().find("BIRDFILE: Block parsing mismatch in data size. ("));
  EXPECT_EQ(8u, file.blocks[0].length);

  // States five blocks, holds four.
  const Bytes four = Concat({Count(5), firmware, firmware, firmware, firmware, Bytes{0, 0, 0, 42}});
  file = LoadImage(Wrap(four));
  EXPECT_FALSE(file.scanClean);
  EXPECT_EQ(4u, file.blockCount);
  EXPECT_EQ(42u, file.fileChecksum);
  EXPECT_NE(std::string::npos,
            log.text().find("BIRDFILE: Block parsing mismatch in number of blocks. (4 != 5)\n"));

  // Unknown types are parsed and kept without meaning.
  const Bytes unknown =
      Concat({Count(2), RawBlock(0x03, 2, {9, 9}), RawBlock(0x1F, 0, {}), Bytes{0, 0, 0, 0}});
  file = LoadImage(Wrap(unknown));
  EXPECT_TRUE(file.scanClean) << file.problem;
  ASSERT_EQ(2u, file.blocks.size());
  EXPECT_EQ(31, file.blocks[1].type);
  EXPECT_EQ(0u, file.blocks[0].address);
}

TEST(BirdFile, TruncatedContainersStopAtTheData) {
  const Bytes good = RawBlock(0xA1, 6, Payload(6));  // type 1, flags 5

  struct Case {
    const char* name;
    Bytes container;
    uint32_t blocksKept;
  };
  const Case cases[] = {
      {"empty container", Bytes{}, 0},
      {"partial count", Bytes{0, 0}, 0},
      {"count only", Count(0), 0},
      {"checksum cut to 3 bytes", Concat({Count(1), good, Bytes{0, 0, 0}}), 1},
      {"second block longer than the rest", Concat({Count(2), good, RawBlock(0x01, 100, Payload(10))}), 1},
      {"length near 2^32", Concat({Count(1), RawBlock(0x01, 0xFFFFFFFF, Payload(16))}), 0},
      {"length fills the rest but leaves no checksum", Concat({Count(1), RawBlock(0x01, 8, Payload(8))}), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Copy into an exactly sized heap buffer so a read past it trips ASan.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[c.container.size()]);
    if (!c.container.empty()) std::memcpy(exact.get(), c.container.data(), c.container.size());
    BirdFile file;
    EXPECT_FALSE(file.ScanBlocks(exact.get(), c.container.size()));
    EXPECT_EQ(c.blocksKept, file.blockCount);
    EXPECT_FALSE(file.problem.empty());

    // Through the whole loader too: loads, scan verdict false.
    if (!c.container.empty()) {
      BirdFile loaded = LoadImage(Wrap(c.container));
      EXPECT_FALSE(loaded.scanClean);
      EXPECT_EQ(c.blocksKept, loaded.blockCount);
    }
  }
  // The block that fit keeps its fields.
  BirdFile file = LoadImage(Wrap(Concat({Count(1), good, Bytes{0, 0, 0}})));
  ASSERT_EQ(1u, file.blocks.size());
  EXPECT_EQ(1, file.blocks[0].type);
  EXPECT_EQ(5, file.blocks[0].flags);
  EXPECT_EQ(0x00010203u, file.blocks[0].address);
}

TEST(BirdFile, ShortBlocksCountAsAbsent) {
  const Bytes checksum{0, 0, 0, 0};
  const Bytes fullDescriptor = Descriptor(77, "3.0.0", 0xABCD, "RelayPak 8");
  Bytes shortDescriptor = Descriptor(55, "1.0.0", 0x1111, "RelayPak 4");
  shortDescriptor.resize(63);

  const Bytes container = Concat({Count(5), RawBlock(0x02, 7, Payload(7, 1)),
                                  RawBlock(0x04, 63, shortDescriptor), RawBlock(0x04, 64, fullDescriptor),
                                  RawBlock(0x01, 3, {1, 2, 3}), RawBlock(0x00, 0, {}), checksum});
  BirdFile file = LoadImage(Wrap(container));
  EXPECT_TRUE(file.scanClean) << file.problem;
  // The 7-byte offsets block is no offsets block: the image is not generic.
  EXPECT_FALSE(file.hasSerialOffsets);
  EXPECT_FALSE(file.FindSerialNumberOffsets());
  // The short descriptor is skipped; the full one answers.
  EXPECT_EQ(77u, file.GetBuild());
  EXPECT_EQ("3.0.0", file.GetVersion());
  EXPECT_EQ(0xABCDu, file.GetSerialNumber());
  EXPECT_TRUE(file.ValidateModel("RelayPak 8"));
  // Firmware and loader blocks without a whole address have address 0 and
  // are left alone by stamping and decoding.
  EXPECT_EQ(0u, file.blocks[3].address);
  EXPECT_EQ(0u, file.blocks[4].address);
  file.serialNumberOffset = 1;
  EXPECT_FALSE(file.ReplaceSerialNumber(0x12345678));
  const uint32_t key[4] = {0xFFFFFFFF, 1, 2, 3};
  EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
  EXPECT_EQ((Bytes{1, 2, 3}), Bytes(file.blocks[3].data, file.blocks[3].data + 3));

  // Only short descriptors: no descriptor at all.
  const Bytes onlyShort = Concat({Count(1), RawBlock(0x04, 63, shortDescriptor), checksum});
  file = LoadImage(Wrap(onlyShort));
  EXPECT_FALSE(file.HasDescriptor());
  EXPECT_EQ(0u, file.GetBuild());
  EXPECT_EQ(0u, file.GetSerialNumber());
  EXPECT_EQ("", file.GetVersion());
  EXPECT_FALSE(file.ValidateModel(""));
}

TEST(BirdFile, DescriptorFieldsReadAsTheDeviceExpects) {
  BirdFile file = LoadImage(Wrap(Container(
      {DescriptorBlock(1234, "2.8.1 beta", 0x00ABCDEF, "HubLink 4"), Addressed(1, 0, Payload(4))})));
  EXPECT_EQ("2.8.1", file.GetVersion());
  EXPECT_EQ(0xABCDEFu, file.GetSerialNumber());
  EXPECT_TRUE(file.ValidateModel("HubLink 4"));
  EXPECT_TRUE(file.ValidateModel("HubLink"));
  EXPECT_FALSE(file.ValidateModel("HubLink 48"));
  EXPECT_FALSE(file.ValidateModel("ABCDEFGHIJKLMNOPQ"));  // 17 characters

  // Hand-made fields: leading spaces before the build, text after digits,
  // lower-case serial digits, a model using all 16 bytes.
  const std::string text =
      std::string("   987x         ") + "v1.2.34567890123" + "0000beefZZZZZZZZ" + "SIXTEEN-CHARS-XY";
  ASSERT_EQ(64u, text.size());
  const Bytes descriptor(text.begin(), text.end());
  BirdFile raw = LoadImage(Wrap(Concat({Count(1), RawBlock(0x04, 64, descriptor), Bytes{0, 0, 0, 0}})));
  EXPECT_EQ(987u, raw.GetBuild());
  EXPECT_EQ("v1.2.3456789012", raw.GetVersion());  // first 15 bytes only
  EXPECT_EQ(0xBEEFu, raw.GetSerialNumber());
  EXPECT_EQ("SIXTEEN-CHARS-XY", raw.GetModel());
  EXPECT_TRUE(raw.ValidateModel("SIXTEEN-CHARS-XY"));

  // No descriptor at all.
  BirdFile bare = LoadImage(Wrap(Concat({Count(0), Bytes{0, 0, 0, 0}})));
  EXPECT_EQ(0u, bare.GetBuild());
  EXPECT_EQ("", bare.GetVersion());
  EXPECT_FALSE(bare.ValidateModel("HubLink 4"));
}

TEST(BirdFile, ReplaceSerialNumberStampsWordAndText) {
  LogCapture log(DEBUG_BirdFile);
  BirdFile file = LoadImage(Wrap(GenericContainer()));
  ASSERT_TRUE(file.hasSerialOffsets);
  EXPECT_EQ(0x1010u, file.serialNumberOffset);
  EXPECT_EQ(0x1020u, file.descriptorOffset);
  EXPECT_NE(std::string::npos, log.text().find("BIRDFILE: Offsets: Serial number: 4112, Descriptor: 4128\n"));

  const Bytes before(file.blocks.back().data, file.blocks.back().data + file.blocks.back().length);
  ASSERT_TRUE(file.ReplaceSerialNumber(0x12ABCD));
  const uint8_t* payload = file.blocks.back().data + 4;
  EXPECT_EQ((Bytes{0xCD, 0xAB, 0x12, 0x00}), Bytes(payload + 0x10, payload + 0x14));
  const char digits[] = "0012ABCD";
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(static_cast<uint8_t>(digits[i]), payload[0x20 + 2 * i]) << i;
    EXPECT_EQ(before[4 + 0x20 + 2 * i + 1], payload[0x20 + 2 * i + 1]) << "high byte " << i;
  }
  // Nothing else moved, address bytes included.
  for (size_t i = 0; i < before.size(); ++i) {
    const size_t at = i - 4;
    const bool stamped = i >= 4 && ((at >= 0x10 && at < 0x14) || (at >= 0x20 && at < 0x30 && at % 2 == 0));
    if (!stamped) {
      EXPECT_EQ(before[i], file.blocks.back().data[i]) << i;
    }
  }
  EXPECT_NE(std::string::npos,
            log.text().find("BIRDFILE: updating serial number from 13121110 ==> 0012ABCD\n"));
}

TEST(BirdFile, ReplaceSerialNumberCoverageEdges) {
  // Serial word exactly in the last four payload bytes: stamped.
  BirdFile file = LoadImage(Wrap(Container({SerialOffsets(0x100C, 0), Addressed(1, 0x1000, Payload(16))})));
  ASSERT_TRUE(file.ReplaceSerialNumber(0xAABBCCDD));
  EXPECT_EQ((Bytes{0xDD, 0xCC, 0xBB, 0xAA}),
            Bytes(file.blocks.back().data + 16, file.blocks.back().data + 20));

  // The first 20 bytes of the last block, for "nothing was stamped".
  const auto lastBlockHead = [&file] { return Bytes(file.blocks.back().data, file.blocks.back().data + 20); };

  // One byte further would run past the payload: untouched, still true.
  file = LoadImage(Wrap(Container({SerialOffsets(0x100D, 0), Addressed(1, 0x1000, Payload(16))})));
  const Bytes before = lastBlockHead();
  EXPECT_TRUE(file.ReplaceSerialNumber(0xAABBCCDD));
  EXPECT_EQ(before, lastBlockHead());

  // Text target near the top of the address space must not wrap around.
  file = LoadImage(Wrap(Container({SerialOffsets(0, 0xFFFFFFF8), Addressed(1, 0xFFFFFFF0, Payload(16))})));
  const Bytes topBefore = lastBlockHead();
  EXPECT_FALSE(file.ReplaceSerialNumber(1));
  EXPECT_EQ(topBefore, lastBlockHead());

  // A device-specific image (no offsets) has nothing to stamp.
  file = LoadImage(
      Wrap(Container({DescriptorBlock(1, "1.0.0", 0x42, "MeterPro"), Addressed(1, 0, Payload(64))})));
  EXPECT_FALSE(file.ReplaceSerialNumber(1));

  // Stamping twice applies twice; the on-disk file never changes.
  TempDir dir;
  const std::string path = dir / "g.bird";
  WriteBytes(path, Wrap(GenericContainer()));
  const Bytes onDisk = ReadBytes(path);
  BirdFile loaded(path.c_str());
  EXPECT_TRUE(loaded.ReplaceSerialNumber(1));
  EXPECT_TRUE(loaded.ReplaceSerialNumber(2));
  EXPECT_EQ(2u, loaded.blocks.back().data[4 + 0x10]);
  EXPECT_EQ(onDisk, ReadBytes(path));
}

TEST(BirdFile, DecodeFirmwareBlocksUndoesTheChainedKey) {
  const Bytes plainA = Payload(40, 0x30);
  const Bytes plainB = Payload(7, 0x90);
  const uint32_t key[4] = {0x01020304, 0xA0B0C0D0, 0xDEADBEEF, 0x00FF00FF};
  uint8_t keyBytes[16];
  for (int w = 0; w < 4; ++w) {
    for (int b = 0; b < 4; ++b) keyBytes[w * 4 + b] = static_cast<uint8_t>(key[w] >> (24 - 8 * b));
  }
  // The server's encoding: each stored byte hides the plain byte under the
  // key byte and the previous plain byte of the same block.
  auto encode = [&](const Bytes& plain) {
    Bytes out(plain.size());
    uint8_t previous = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
      out[i] = static_cast<uint8_t>(plain[i] ^ keyBytes[i % 16] ^ previous);
      previous = plain[i];
    }
    return out;
  };
  BirdFile file =
      LoadImage(Wrap(Container({Addressed(1, 0x11223344, encode(plainA)), Addressed(0, 0x55, Payload(8)),
                                Addressed(1, 0x55667788, encode(plainB))})));
  const Bytes loaderBefore(file.blocks[1].data, file.blocks[1].data + 12);

  EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
  // Key position and chain restart at every firmware block.
  EXPECT_EQ(Concat({Bytes{0x11, 0x22, 0x33, 0x44}, plainA}),
            Bytes(file.blocks[0].data, file.blocks[0].data + 44));
  EXPECT_EQ(Concat({Bytes{0x55, 0x66, 0x77, 0x88}, plainB}),
            Bytes(file.blocks[2].data, file.blocks[2].data + 11));
  EXPECT_EQ(loaderBefore, Bytes(file.blocks[1].data, file.blocks[1].data + 12));

  // An all-zero key leaves only the chain: each byte XOR the previous result.
  file = LoadImage(Wrap(Container({Addressed(1, 0, Bytes{1, 2, 4, 8})})));
  const uint32_t zeroKey[4] = {0, 0, 0, 0};
  EXPECT_TRUE(file.DecodeFirmwareBlocks(zeroKey));
  EXPECT_EQ((Bytes{1, 3, 7, 15}), Bytes(file.blocks[0].data + 4, file.blocks[0].data + 8));
}

TEST(BirdFile, MovingKeepsBlockDataValid) {
  BirdFile source = LoadImage(Wrap(GenericContainer()));
  const uint8_t* data = source.blocks.back().data;
  BirdFile target(std::move(source));
  EXPECT_EQ(data, target.blocks.back().data);
  EXPECT_EQ(0u, source.blockCount);
  EXPECT_TRUE(source.blocks.empty());
  EXPECT_EQ(nullptr, source.buffer.get());

  BirdFile assigned;
  assigned = std::move(target);
  EXPECT_EQ(data, assigned.blocks.back().data);
  EXPECT_EQ(1234u, assigned.GetBuild());
  EXPECT_TRUE(assigned.ReplaceSerialNumber(0x99));
}
