#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempFiles.h"
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

BirdFile LoadImage(const Bytes& image) {
  BirdFile file;
  EXPECT_TRUE(file.LoadFromMemory(image.data(), image.size())) << file.problem;
  return file;
}

// A generic image: firmware at 0x1000 covering a serial word at 0x1010 and a
// 16-byte UTF-16 text at 0x1020.
BirdWriter GenericWriter() {
  BirdWriter writer;
  writer.SetDescriptor(1234, "2.8.1 beta", 0, "ABC");
  writer.SetSerialOffsets(0x1010, 0x1020);
  writer.AddFirmware(0x1000, Payload(0x40));
  return writer;
}

}  // namespace

TEST(BirdFile, WriterOutputReadsBackBlockForBlock) {
  TempDir dir;
  BirdWriter writer;
  writer.SetDescriptor(1234, "2.9.0", 0x00001A2B, "HubLink 8");
  writer.SetLoaderStart(0x20000400);
  writer.AddLoader(0x20000000, Payload(100, 7), 1);
  writer.AddFirmware(0x00004000, Payload(300, 3), 2);
  writer.AddFirmware(0x00008000, Payload(5, 9), 7);
  const std::string path = dir / "1234.bird";
  ASSERT_EQ(aErrNone, writer.Write(path));

  ASSERT_TRUE(BirdFile::VerifyFile(path.c_str()));
  const BirdFile file(path.c_str());
  EXPECT_EQ(path, file.path);
  EXPECT_EQ(BirdFile::BIRD_FILE_SIGNATURE, file.signature);
  EXPECT_EQ(BirdFile::BIRD_FILE_VERSION, file.version);
  EXPECT_TRUE(file.scanClean);
  EXPECT_EQ("", file.problem);
  ASSERT_EQ(5u, file.blockCount);
  ASSERT_EQ(5u, file.blocks.size());

  const Bytes container = writer.Container();
  ASSERT_EQ(container.size(), file.bufferSize);
  EXPECT_EQ(0, std::memcmp(container.data(), file.buffer.get(), container.size()));
  EXPECT_EQ(BirdWriter::Checksum(container.data(), container.size() - 4), file.fileChecksum);

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

TEST(BirdFile, HeaderCheckIsSeparateFromLoading) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  const Bytes container = GenericWriter().Container();

  // Version 0x0100 fails the store's check but loads when named directly.
  const std::string zeroByte = dir / "zero.bird";
  WriteBytes(zeroByte, BirdWriter::Wrap(container, 0x0100));
  EXPECT_FALSE(BirdFile::VerifyFile(zeroByte.c_str()));
  BirdFile loaded(zeroByte.c_str());
  EXPECT_EQ(0x0100, loaded.version);
  EXPECT_EQ(1234u, loaded.GetBuild());
  EXPECT_NE(std::string::npos, loaded.problem.find("zero byte"));

  // The version is not compared with BIRD_FILE_VERSION.
  const std::string other = dir / "other.bird";
  WriteBytes(other, BirdWriter::Wrap(container, 0x0203));
  EXPECT_TRUE(BirdFile::VerifyFile(other.c_str()));

  Bytes wrongSignature = BirdWriter::Wrap(container);
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
  Bytes corrupt = BirdWriter::Wrap(GenericWriter().Container());
  corrupt[6] ^= 0xFF;
  const std::string corruptPath = dir / "corrupt.bird";
  WriteBytes(corruptPath, corrupt);
  EXPECT_THROW(BirdFile(corruptPath.c_str()), std::runtime_error);
  EXPECT_NE(std::string::npos, log.text().find("BIRDFILE: Error (-3) decompressing bird file.\n"));

  // A container that expands more than eight times fails with zlib's -5.
  BirdWriter padded;
  padded.SetDescriptor(1, "1.0.0", 0, "M");
  padded.AddFirmware(0, Bytes(64 * 1024, 0xFF));
  BirdFile file;
  const Bytes dense = BirdWriter::Wrap(padded.Container(), BirdFile::BIRD_FILE_VERSION, 9);
  EXPECT_FALSE(file.LoadFromMemory(dense.data(), dense.size()));
  EXPECT_EQ(0u, file.bufferSize);
  EXPECT_NE(std::string::npos, log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"));
  EXPECT_NE(std::string::npos, file.problem.find("-5"));

  // The writer's own choice of level keeps such an image loadable.
  const Bytes automatic = padded.FileImage();
  EXPECT_TRUE(file.LoadFromMemory(automatic.data(), automatic.size())) << file.problem;
  EXPECT_TRUE(file.scanClean);
}

TEST(BirdFile, CountAndSizeMismatchesStillLoad) {
  LogCapture log(DEBUG_BirdFile);
  const Bytes firmware = RawBlock(0x01, 8, Payload(8));

  // Three stray bytes after the checksum: the checksum and the strays read as
  // one more block, which leaves no room for a checksum.
  Bytes stray = Concat({Count(1), firmware, Bytes{0, 0, 0, 0}, Bytes{1, 2, 3}});
  BirdFile file = LoadImage(BirdWriter::Wrap(stray));
  EXPECT_FALSE(file.scanClean);
  EXPECT_NE(std::string::npos, log.text().find("BIRDFILE: Block parsing mismatch in data size. ("));
  EXPECT_EQ(8u, file.blocks[0].length);

  // States five blocks, holds four.
  const Bytes four = Concat({Count(5), firmware, firmware, firmware, firmware, Bytes{0, 0, 0, 42}});
  file = LoadImage(BirdWriter::Wrap(four));
  EXPECT_FALSE(file.scanClean);
  EXPECT_EQ(4u, file.blockCount);
  EXPECT_EQ(42u, file.fileChecksum);
  EXPECT_NE(std::string::npos,
            log.text().find("BIRDFILE: Block parsing mismatch in number of blocks. (4 != 5)\n"));

  // Unknown types are parsed and kept without meaning.
  const Bytes unknown =
      Concat({Count(2), RawBlock(0x03, 2, {9, 9}), RawBlock(0x1F, 0, {}), Bytes{0, 0, 0, 0}});
  file = LoadImage(BirdWriter::Wrap(unknown));
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
      BirdFile loaded = LoadImage(BirdWriter::Wrap(c.container));
      EXPECT_FALSE(loaded.scanClean);
      EXPECT_EQ(c.blocksKept, loaded.blockCount);
    }
  }
  // The block that fit keeps its fields.
  BirdFile file = LoadImage(BirdWriter::Wrap(Concat({Count(1), good, Bytes{0, 0, 0}})));
  ASSERT_EQ(1u, file.blocks.size());
  EXPECT_EQ(1, file.blocks[0].type);
  EXPECT_EQ(5, file.blocks[0].flags);
  EXPECT_EQ(0x00010203u, file.blocks[0].address);
}

TEST(BirdFile, ShortBlocksCountAsAbsent) {
  const Bytes checksum{0, 0, 0, 0};
  const Bytes fullDescriptor = BirdWriter::DescriptorBytes(77, "3.0.0", 0xABCD, "XYZ");
  Bytes shortDescriptor = BirdWriter::DescriptorBytes(55, "1.0.0", 0x1111, "OLD");
  shortDescriptor.resize(63);

  const Bytes container = Concat({Count(5), RawBlock(0x02, 7, Payload(7, 1)),
                                  RawBlock(0x04, 63, shortDescriptor), RawBlock(0x04, 64, fullDescriptor),
                                  RawBlock(0x01, 3, {1, 2, 3}), RawBlock(0x00, 0, {}), checksum});
  BirdFile file = LoadImage(BirdWriter::Wrap(container));
  EXPECT_TRUE(file.scanClean) << file.problem;
  // The 7-byte offsets block is no offsets block: the image is not generic.
  EXPECT_FALSE(file.hasSerialOffsets);
  EXPECT_FALSE(file.FindSerialNumberOffsets());
  // The short descriptor is skipped; the full one answers.
  EXPECT_EQ(77u, file.GetBuild());
  EXPECT_EQ("3.0.0", file.GetVersion());
  EXPECT_EQ(0xABCDu, file.GetSerialNumber());
  EXPECT_TRUE(file.ValidateModel("XYZ"));
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
  file = LoadImage(BirdWriter::Wrap(onlyShort));
  EXPECT_FALSE(file.HasDescriptor());
  EXPECT_EQ(0u, file.GetBuild());
  EXPECT_EQ(0u, file.GetSerialNumber());
  EXPECT_EQ("", file.GetVersion());
  EXPECT_FALSE(file.ValidateModel(""));
}

TEST(BirdFile, DescriptorFieldsReadAsTheDeviceExpects) {
  BirdWriter writer;
  writer.SetDescriptor(1234, "2.8.1 beta", 0x00ABCDEF, "ABC");
  writer.AddFirmware(0, Payload(4));
  BirdFile file = LoadImage(writer.FileImage());
  EXPECT_EQ("2.8.1", file.GetVersion());
  EXPECT_EQ(0xABCDEFu, file.GetSerialNumber());
  EXPECT_TRUE(file.ValidateModel("ABC"));
  EXPECT_TRUE(file.ValidateModel("AB"));
  EXPECT_FALSE(file.ValidateModel("ABCD"));
  EXPECT_FALSE(file.ValidateModel("ABCDEFGHIJKLMNOPQ"));  // 17 characters

  // Hand-made fields: leading spaces before the build, text after digits,
  // lower-case serial digits, a model using all 16 bytes.
  const std::string text =
      std::string("   987x         ") + "v1.2.34567890123" + "0000beefZZZZZZZZ" + "SIXTEEN-CHARS-XY";
  ASSERT_EQ(64u, text.size());
  const Bytes descriptor(text.begin(), text.end());
  BirdFile raw =
      LoadImage(BirdWriter::Wrap(Concat({Count(1), RawBlock(0x04, 64, descriptor), Bytes{0, 0, 0, 0}})));
  EXPECT_EQ(987u, raw.GetBuild());
  EXPECT_EQ("v1.2.3456789012", raw.GetVersion());  // first 15 bytes only
  EXPECT_EQ(0xBEEFu, raw.GetSerialNumber());
  EXPECT_EQ("SIXTEEN-CHARS-XY", raw.GetModel());
  EXPECT_TRUE(raw.ValidateModel("SIXTEEN-CHARS-XY"));

  // No descriptor at all.
  BirdFile bare = LoadImage(BirdWriter::Wrap(Concat({Count(0), Bytes{0, 0, 0, 0}})));
  EXPECT_EQ(0u, bare.GetBuild());
  EXPECT_EQ("", bare.GetVersion());
  EXPECT_FALSE(bare.ValidateModel("ABC"));
}

TEST(BirdFile, ReplaceSerialNumberStampsWordAndText) {
  LogCapture log(DEBUG_BirdFile);
  BirdFile file = LoadImage(GenericWriter().FileImage());
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
  BirdWriter edge;
  edge.SetSerialOffsets(0x100C, 0);
  edge.AddFirmware(0x1000, Payload(16));
  BirdFile file = LoadImage(edge.FileImage());
  ASSERT_TRUE(file.ReplaceSerialNumber(0xAABBCCDD));
  EXPECT_EQ((Bytes{0xDD, 0xCC, 0xBB, 0xAA}),
            Bytes(file.blocks.back().data + 16, file.blocks.back().data + 20));

  // The first 20 bytes of the last block, for "nothing was stamped".
  const auto lastBlockHead = [&file] { return Bytes(file.blocks.back().data, file.blocks.back().data + 20); };

  // One byte further would run past the payload: untouched, still true.
  BirdWriter past;
  past.SetSerialOffsets(0x100D, 0);
  past.AddFirmware(0x1000, Payload(16));
  file = LoadImage(past.FileImage());
  const Bytes before = lastBlockHead();
  EXPECT_TRUE(file.ReplaceSerialNumber(0xAABBCCDD));
  EXPECT_EQ(before, lastBlockHead());

  // Text target near the top of the address space must not wrap around.
  BirdWriter top;
  top.SetSerialOffsets(0, 0xFFFFFFF8);
  top.AddFirmware(0xFFFFFFF0, Payload(16));
  file = LoadImage(top.FileImage());
  const Bytes topBefore = lastBlockHead();
  EXPECT_FALSE(file.ReplaceSerialNumber(1));
  EXPECT_EQ(topBefore, lastBlockHead());

  // A device-specific image (no offsets) has nothing to stamp.
  BirdWriter specific;
  specific.SetDescriptor(1, "1.0.0", 0x42, "M");
  specific.AddFirmware(0, Payload(64));
  file = LoadImage(specific.FileImage());
  EXPECT_FALSE(file.ReplaceSerialNumber(1));

  // Stamping twice applies twice; the on-disk file never changes.
  TempDir dir;
  const std::string path = dir / "g.bird";
  ASSERT_EQ(aErrNone, GenericWriter().Write(path));
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
  BirdWriter writer;
  writer.AddFirmware(0x11223344, encode(plainA));
  writer.AddLoader(0x55, Payload(8));
  writer.AddFirmware(0x55667788, encode(plainB));
  BirdFile file = LoadImage(writer.FileImage());
  const Bytes loaderBefore(file.blocks[1].data, file.blocks[1].data + 12);

  EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
  // Key position and chain restart at every firmware block.
  EXPECT_EQ(Concat({Bytes{0x11, 0x22, 0x33, 0x44}, plainA}),
            Bytes(file.blocks[0].data, file.blocks[0].data + 44));
  EXPECT_EQ(Concat({Bytes{0x55, 0x66, 0x77, 0x88}, plainB}),
            Bytes(file.blocks[2].data, file.blocks[2].data + 11));
  EXPECT_EQ(loaderBefore, Bytes(file.blocks[1].data, file.blocks[1].data + 12));

  // An all-zero key leaves only the chain: each byte XOR the previous result.
  BirdWriter zero;
  zero.AddFirmware(0, Bytes{1, 2, 4, 8});
  file = LoadImage(zero.FileImage());
  const uint32_t zeroKey[4] = {0, 0, 0, 0};
  EXPECT_TRUE(file.DecodeFirmwareBlocks(zeroKey));
  EXPECT_EQ((Bytes{1, 3, 7, 15}), Bytes(file.blocks[0].data + 4, file.blocks[0].data + 8));
}

TEST(BirdFile, MovingKeepsBlockDataValid) {
  BirdFile source = LoadImage(GenericWriter().FileImage());
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
