// What a downloaded image must be to reach the store: a BIRD header and one
// complete zlib stream. Images the loader cannot expand (more than eight times
// smaller than their contents) are still firmware files and are stored.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "support/TempFiles.h"
#include "support/TestBird.h"
#include "tools/BirdWriter.h"
#include "updater/BirdFile.h"
#include "updater/BirdImageCheck.h"

namespace {

std::vector<uint8_t> sImage(const std::vector<uint8_t>& firmware, int level = BirdWriter::kAutoLevel) {
  BirdWriter writer;
  writer.SetDescriptor(1210, "2.1.0", 0x1A2B, "CV-HUB");
  writer.AddFirmware(0x08000000, firmware);
  return writer.FileImage(level);
}

bool sCheck(const std::vector<uint8_t>& image) {
  return IsStorableBirdImage(image.data(), image.size());
}

// "bird", version 0x0101, then zeros deflated chunk by chunk: a valid stream
// of totalBytes without holding them in memory.
std::vector<uint8_t> sZeroBomb(size_t totalBytes) {
  std::vector<uint8_t> image = {'b', 'i', 'r', 'd', 0x01, 0x01};
  z_stream stream;
  std::memset(&stream, 0, sizeof(stream));
  EXPECT_EQ(deflateInit(&stream, Z_BEST_COMPRESSION), Z_OK);
  const std::vector<uint8_t> zeros(1024 * 1024, 0);
  std::vector<uint8_t> out(64 * 1024);
  // The zpipe pattern: each inner round drains the output until deflate
  // leaves room, which means it has taken all input (or finished).
  size_t left = totalBytes;
  do {
    const size_t piece = left < zeros.size() ? left : zeros.size();
    stream.next_in = const_cast<Bytef*>(zeros.data());
    stream.avail_in = static_cast<uInt>(piece);
    left -= piece;
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      EXPECT_NE(deflate(&stream, flush), Z_STREAM_ERROR);
      image.insert(image.end(), out.data(), out.data() + (out.size() - stream.avail_out));
    } while (stream.avail_out == 0);
  } while (left > 0);
  deflateEnd(&stream);
  return image;
}

TEST(BirdImageCheckTest, DenseImageTheLoaderRefusesIsStillStored) {
  // 64 KiB of erased flash deflates far beyond 8:1.
  const std::vector<uint8_t> dense = sImage(std::vector<uint8_t>(64 * 1024, 0xFF), Z_BEST_COMPRESSION);
  BirdFile loader;
  ASSERT_FALSE(loader.LoadFromMemory(dense.data(), dense.size())) << "the fixture must exceed 8:1";
  EXPECT_TRUE(sCheck(dense));

  EXPECT_TRUE(sCheck(sImage(std::vector<uint8_t>(256, 0x5A))));
}

TEST(BirdImageCheckTest, DamagedOrForeignImagesAreRefused) {
  const std::vector<uint8_t> good = sImage(std::vector<uint8_t>(4096, 0x00), Z_BEST_COMPRESSION);
  ASSERT_TRUE(sCheck(good));

  std::vector<uint8_t> cut = good;
  cut.resize(cut.size() - 1);
  EXPECT_FALSE(sCheck(cut)) << "stream without its last byte";
  cut.resize(BirdFile::kHeaderSize + 2);
  EXPECT_FALSE(sCheck(cut)) << "stream cut after its header";

  std::vector<uint8_t> flipped = good;
  flipped[flipped.size() - 2] ^= 0x40;  // inside the Adler-32 trailer
  EXPECT_FALSE(sCheck(flipped));

  std::vector<uint8_t> foreign = good;
  foreign[0] = 'B';
  EXPECT_FALSE(sCheck(foreign)) << "signature is case-sensitive";
  std::vector<uint8_t> zeroVersion = good;
  zeroVersion[5] = 0;
  EXPECT_FALSE(sCheck(zeroVersion)) << "a zero version byte fails the store's header check";

  const std::vector<uint8_t> headerOnly(good.begin(), good.begin() + BirdFile::kHeaderSize);
  EXPECT_FALSE(sCheck(headerOnly));
  EXPECT_FALSE(IsStorableBirdImage(nullptr, 100));
}

TEST(BirdImageCheckTest, StoreAndDownloadApplyTheSameHeaderRule) {
  // The same contents behind different headers: the download check and the
  // store's file check must take or refuse each one alike.
  TestBird bird;
  bird.model = "CV-HUB";
  bird.firmware.push_back({0x08000000, TestPayload(512, 7)});
  const std::vector<uint8_t> good = bird.bytes();
  struct Case {
    const char* what;
    std::vector<uint8_t> header;
    bool valid;
  };
  const Case cases[] = {
      {"current version", {'b', 'i', 'r', 'd', 0x01, 0x01}, true},
      {"other non-zero version", {'b', 'i', 'r', 'd', 0x02, 0x07}, true},
      {"zero major byte", {'b', 'i', 'r', 'd', 0x00, 0x01}, false},
      {"zero minor byte", {'b', 'i', 'r', 'd', 0x01, 0x00}, false},
      {"upper-case signature", {'B', 'I', 'R', 'D', 0x01, 0x01}, false},
      {"other signature", {'b', 'i', 'r', 'e', 0x01, 0x01}, false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    std::vector<uint8_t> image = c.header;
    image.insert(image.end(), good.begin() + BirdFile::kHeaderSize, good.end());
    const std::string path = dir / "image.bird";
    WriteBytes(path, image);
    EXPECT_EQ(BirdFile::HasValidHeader(image.data(), image.size()), c.valid) << c.what;
    EXPECT_EQ(IsStorableBirdImage(image.data(), image.size()), c.valid) << c.what;
    EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.valid) << c.what;
  }
  EXPECT_FALSE(BirdFile::HasValidHeader(good.data(), BirdFile::kHeaderSize - 1)) << "cut header";
  EXPECT_FALSE(BirdFile::HasValidHeader(nullptr, BirdFile::kHeaderSize));
}

TEST(BirdImageCheckTest, StreamExpandingBeyondTheBoundIsRefused) {
  EXPECT_TRUE(sCheck(sZeroBomb(4 * 1024 * 1024)));
  EXPECT_FALSE(sCheck(sZeroBomb(BirdFile::kMaxContainerSize + 1024 * 1024)));
}

}  // namespace
