// File streams: written through, read back byte by byte, ended by aErrEOF.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/aStream.h"
#include "pty_pair.h"
#include "support/TempFiles.h"
#include "unix/aStreamOS.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FileStream, WritesThroughAndReadsBackToTheEnd) {
  TempDir dir{CV_BINARY_DIR};
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.path() + "/out.bin";
  aStreamRef out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  Bytes block{0x00, 0x01, 0xFF, 0x0A};
  ASSERT_EQ(aStream_Write(out, block.data(), block.size()), aErrNone);
  uint8_t single = 0x7F;
  ASSERT_EQ(aStream_Write(out, &single, 1), aErrNone);
  ASSERT_EQ(aStream_WriteCString(out, "hi"), aErrNone);
  ASSERT_EQ(aStream_Destroy(&out), aErrNone);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(ReadBytes(path), (Bytes{0x00, 0x01, 0xFF, 0x0A, 0x7F, 'h', 'i', 0x00}));

  aStreamRef in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  uint8_t got[8] = {};
  EXPECT_EQ(aStream_Write(in, got, 1), aErrMode) << "an input file takes no bytes";
  EXPECT_EQ(aStream_Read(in, got, 5), aErrNone);
  EXPECT_EQ(Bytes(got, got + 5), (Bytes{0x00, 0x01, 0xFF, 0x0A, 0x7F}));
  // Fewer bytes than asked before the end: they are copied, with aErrEOF.
  got[2] = 0xEE;
  EXPECT_EQ(aStream_Read(in, got, 4), aErrEOF);
  EXPECT_EQ(Bytes(got, got + 3), (Bytes{'h', 'i', 0x00}));
  EXPECT_EQ(aStream_Read(in, got, 1), aErrEOF);
  ASSERT_EQ(aStream_Destroy(&in), aErrNone);

  // Output truncates what was there.
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  ASSERT_EQ(aStream_Destroy(&out), aErrNone);
  EXPECT_TRUE(ReadBytes(path).empty());
}

TEST(FileStream, AnyFailureIsAResourceError) {
  TempDir dir{CV_BINARY_DIR};
  aStreamRef stream = nullptr;
  EXPECT_EQ(aStream_CreateFileInput((dir.path() + "/missing").c_str(), &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput((dir.path() + "/no/such/dir/file").c_str(), &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput((dir.path() + "/x").c_str(), nullptr), aErrResource);
  EXPECT_EQ(stream, nullptr);
}

TEST(FileStream, FlushCopiesOneFileIntoAnother) {
  TempDir dir{CV_BINARY_DIR};
  const std::string from = dir.path() + "/from.bin";
  const std::string to = dir.path() + "/to.bin";
  Bytes content;
  for (int i = 0; i < 3000; ++i) content.push_back(static_cast<uint8_t>(i * 13));
  std::ofstream(from, std::ios::binary).write(reinterpret_cast<const char*>(content.data()), content.size());

  aStreamRef source = nullptr;
  aStreamRef destination = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(from.c_str(), &source), aErrNone);
  ASSERT_EQ(aStream_CreateFileOutput(to.c_str(), &destination), aErrNone);
  EXPECT_EQ(aStream_Flush(destination, source), aErrMode) << "wrong way round";
  EXPECT_EQ(aStream_Flush(source, destination), aErrNone);
  ASSERT_EQ(aStream_Destroy(&source), aErrNone);
  ASSERT_EQ(aStream_Destroy(&destination), aErrNone);
  EXPECT_EQ(ReadBytes(to), content);
}

}  // namespace
