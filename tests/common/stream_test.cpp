// The generic stream operations over a scripted transport.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "common/aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Each get takes the next scripted step: a byte, or an error. An empty
// script answers aErrNotReady. Puts and writes are recorded.
struct Script {
  struct Step {
    aErr err;
    uint8_t byte;
  };
  std::deque<Step> steps;
  Bytes put;
  std::vector<Bytes> writes;
  int gets = 0;
  int deletes = 0;
  aErr putResult = aErrNone;
  size_t putFailsAt = SIZE_MAX;
  aErr deleteResult = aErrNone;

  void bytes(const Bytes& b) {
    for (uint8_t x : b) steps.push_back({aErrNone, x});
  }
  void error(aErr e) { steps.push_back({e, 0}); }
};

aErr sGet(uint8_t* byte, void* ref) {
  auto* s = static_cast<Script*>(ref);
  ++s->gets;
  if (s->steps.empty()) return aErrNotReady;
  Script::Step step = s->steps.front();
  s->steps.pop_front();
  if (step.err == aErrNone) *byte = step.byte;
  return step.err;
}

aErr sPut(const uint8_t* byte, void* ref) {
  auto* s = static_cast<Script*>(ref);
  if (s->put.size() == s->putFailsAt) return s->putResult;
  s->put.push_back(*byte);
  return aErrNone;
}

aErr sWrite(const uint8_t* bytes, size_t count, void* ref) {
  static_cast<Script*>(ref)->writes.emplace_back(bytes, bytes + count);
  return aErrNone;
}

aErr sDelete(void* ref) {
  auto* s = static_cast<Script*>(ref);
  ++s->deletes;
  return s->deleteResult;
}

class StreamTest : public testing::Test {
 protected:
  void SetUp() override { stream_ = aStream_Create(sGet, sPut, sWrite, sDelete, &script_); }
  void TearDown() override {
    if (stream_) (void)aStream_Destroy(&stream_);
  }
  Script script_;
  aStreamRef stream_ = nullptr;
};

TEST_F(StreamTest, NotReadyMidReadGivesTheBytesBackForTheNextRead) {
  script_.bytes({0x01, 0x02});
  uint8_t dest[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(aStream_Read(stream_, dest, 4), aErrNotReady);
  EXPECT_EQ(Bytes(dest, dest + 4), (Bytes{0xEE, 0xEE, 0xEE, 0xEE})) << "nothing copied";
  script_.bytes({0x03, 0x04, 0x05});
  EXPECT_EQ(aStream_Read(stream_, dest, 4), aErrNone);
  EXPECT_EQ(Bytes(dest, dest + 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(aStream_Read(stream_, dest, 1), aErrNone);
  EXPECT_EQ(dest[0], 0x05);
  EXPECT_EQ(aStream_Read(stream_, dest, 0), aErrNone);
}

TEST_F(StreamTest, EndOfSourceCopiesWhatCameAndOtherErrorsDropIt) {
  script_.bytes({0x0A, 0x0B});
  script_.error(aErrEOF);
  uint8_t dest[4] = {};
  EXPECT_EQ(aStream_Read(stream_, dest, 4), aErrEOF);
  EXPECT_EQ(Bytes(dest, dest + 2), (Bytes{0x0A, 0x0B}));

  script_.bytes({0x0C});
  script_.error(aErrIO);
  script_.bytes({0x0D});
  dest[0] = 0;
  EXPECT_EQ(aStream_Read(stream_, dest, 2), aErrIO);
  EXPECT_EQ(dest[0], 0) << "nothing copied";
  EXPECT_EQ(aStream_Read(stream_, dest, 1), aErrNone);
  EXPECT_EQ(dest[0], 0x0D) << "the byte before the error is gone";
}

TEST_F(StreamTest, LargeReadsWorkAndStayInOrder) {
  Bytes big;
  for (int i = 0; i < 5000; ++i) big.push_back(static_cast<uint8_t>(i * 31));
  script_.bytes(big);
  Bytes dest(big.size() + 10);
  EXPECT_EQ(aStream_Read(stream_, dest.data(), dest.size()), aErrNotReady);
  script_.bytes(Bytes(10, 0x99));
  EXPECT_EQ(aStream_Read(stream_, dest.data(), dest.size()), aErrNone);
  EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 5000), big);
}

TEST_F(StreamTest, PushBackBufferGrowsByChunksKeepingOrder) {
  EXPECT_EQ(aStream_BufferCapacity(stream_), 0u) << "made on first use";
  // Move the ring's indexes off zero first, so growth must unwrap it.
  for (int i = 0; i < 300; ++i) ASSERT_EQ(aStreamBufferChar(stream_, 0), aErrNone);
  uint8_t sink[300];
  ASSERT_EQ(aStream_Read(stream_, sink, 300), aErrNone);
  EXPECT_EQ(script_.gets, 0) << "served from the push-back buffer";

  for (uint32_t i = 0; i < 511; ++i) ASSERT_EQ(aStreamBufferChar(stream_, static_cast<uint8_t>(i)), aErrNone);
  EXPECT_EQ(aStream_BufferCapacity(stream_), 512u);
  ASSERT_EQ(aStreamBufferChar(stream_, static_cast<uint8_t>(511)), aErrNone);
  EXPECT_EQ(aStream_BufferCapacity(stream_), 1024u) << "the 512th byte grows the buffer";
  for (uint32_t i = 512; i < 1100; ++i)
    ASSERT_EQ(aStreamBufferChar(stream_, static_cast<uint8_t>(i)), aErrNone);
  EXPECT_EQ(aStream_BufferCapacity(stream_), 1536u);

  Bytes got(1100);
  ASSERT_EQ(aStream_Read(stream_, got.data(), got.size()), aErrNone);
  for (uint32_t i = 0; i < 1100; ++i) ASSERT_EQ(got[i], static_cast<uint8_t>(i)) << "at " << i;
  EXPECT_EQ(script_.gets, 0);
  EXPECT_EQ(aStream_Read(stream_, got.data(), 1), aErrNotReady);
  EXPECT_EQ(script_.gets, 1);
}

TEST_F(StreamTest, WriteUsesPutForOneByteAndWriteForBlocks) {
  uint8_t one = 0x42;
  EXPECT_EQ(aStream_Write(stream_, &one, 1), aErrNone);
  EXPECT_EQ(script_.put, Bytes{0x42});
  EXPECT_TRUE(script_.writes.empty());
  Bytes block{1, 2, 3};
  EXPECT_EQ(aStream_Write(stream_, block.data(), block.size()), aErrNone);
  ASSERT_EQ(script_.writes.size(), 1u);
  EXPECT_EQ(script_.writes[0], block);

  Script putOnly;
  putOnly.putFailsAt = 2;
  putOnly.putResult = aErrIO;
  aStreamRef s = aStream_Create(nullptr, sPut, nullptr, nullptr, &putOnly);
  EXPECT_EQ(aStream_Write(s, block.data(), block.size()), aErrIO);
  EXPECT_EQ(putOnly.put, (Bytes{1, 2})) << "stops at the first failing put";
  uint8_t dest = 0;
  EXPECT_EQ(aStream_Read(s, &dest, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone) << "no delete procedure";

  Script writeOnly;
  s = aStream_Create(nullptr, nullptr, sWrite, nullptr, &writeOnly);
  EXPECT_EQ(aStream_Write(s, &one, 1), aErrNone);
  EXPECT_EQ(writeOnly.writes.size(), 1u) << "one byte without put goes through write";
  (void)aStream_Destroy(&s);

  s = aStream_Create(sGet, nullptr, nullptr, nullptr, &writeOnly);
  EXPECT_EQ(aStream_Write(s, &one, 1), aErrMode);
  EXPECT_EQ(aStream_Write(s, nullptr, 1), aErrParam);
  (void)aStream_Destroy(&s);
}

TEST_F(StreamTest, RecordsEndAtTheTerminatorOrAFullBuffer) {
  const uint8_t crlf[] = {'\r', '\n'};
  uint8_t buffer[16] = {};
  size_t length = 0;
  script_.bytes({'O', 'K', '\r', '\n', 'n', 'e', 'x', 't'});
  EXPECT_EQ(aStream_ReadRecord(stream_, buffer, &length, sizeof buffer, crlf, 2), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{'O', 'K'}));

  // "next" then nothing: not ready, and the stored bytes come again.
  EXPECT_EQ(aStream_ReadRecord(stream_, buffer, &length, sizeof buffer, crlf, 2), aErrNotReady);
  script_.bytes({'\r', '\n'});
  EXPECT_EQ(aStream_ReadRecord(stream_, buffer, &length, sizeof buffer, crlf, 2), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{'n', 'e', 'x', 't'}));

  // The match does not start over on a stray byte between terminator bytes.
  script_.bytes({'a', '\r', 'b', '\n'});
  EXPECT_EQ(aStream_ReadRecord(stream_, buffer, &length, sizeof buffer, crlf, 2), aErrNone);
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{'a', 'b'}));

  // A full buffer ends the record without a terminator.
  script_.bytes({'1', '2', '3', '4', '5'});
  EXPECT_EQ(aStream_ReadRecord(stream_, buffer, &length, 3, crlf, 2), aErrNone);
  EXPECT_EQ(length, 3u);
  script_.steps.clear();

  // End of source: with bytes it completes the record, without it ends.
  script_.bytes({'z'});
  script_.error(aErrEOF);
  script_.error(aErrEOF);
  EXPECT_EQ(aStream_ReadRecord(stream_, buffer, &length, sizeof buffer, crlf, 2), aErrNone);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(aStream_ReadRecord(stream_, buffer, &length, sizeof buffer, crlf, 2), aErrEOF);

  EXPECT_EQ(aStream_ReadRecord(stream_, buffer, &length, sizeof buffer, crlf, 0), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream_, buffer, &length, sizeof buffer, nullptr, 2), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(stream_, buffer, 1, crlf, 0), aErrParam);
}

TEST_F(StreamTest, CStringsCarryTheirZeroAndFitTheBuffer) {
  EXPECT_EQ(aStream_WriteCString(stream_, "abc"), aErrNone);
  ASSERT_EQ(script_.writes.size(), 1u);
  EXPECT_EQ(script_.writes[0], (Bytes{'a', 'b', 'c', 0}));
  EXPECT_EQ(aStream_WriteCStringRecord(stream_, "R 0 4", "\r\n"), aErrNone);
  ASSERT_EQ(script_.writes.size(), 3u);
  EXPECT_EQ(script_.writes[1], (Bytes{'R', ' ', '0', ' ', '4'}));
  EXPECT_EQ(script_.writes[2], (Bytes{'\r', '\n', 0}));

  char text[8];
  script_.bytes({'h', 'e', 'l', 'l', 'o', 0});
  EXPECT_EQ(aStream_ReadCString(stream_, text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "hello");
  script_.bytes({'0', '\r', '\n'});
  EXPECT_EQ(aStream_ReadCStringRecord(stream_, text, sizeof text, "\r\n"), aErrNone);
  EXPECT_STREQ(text, "0");
  // Longer than the buffer: size - 1 bytes and the terminating zero.
  script_.bytes({'1', '2', '3', '4', '5', '6', '7', '8', '9', 0});
  EXPECT_EQ(aStream_ReadCString(stream_, text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "1234567");
}

TEST_F(StreamTest, FlushCopiesUntilTheSourceEnds) {
  Script sink;
  aStreamRef destination = aStream_Create(nullptr, sPut, nullptr, nullptr, &sink);
  script_.bytes({1, 2, 3});
  script_.error(aErrEOF);
  EXPECT_EQ(aStream_Flush(stream_, destination), aErrNone);
  EXPECT_EQ(sink.put, (Bytes{1, 2, 3}));

  script_.bytes({4});
  script_.error(aErrTimeout);
  EXPECT_EQ(aStream_Flush(stream_, destination), aErrTimeout);
  sink.putFailsAt = sink.put.size();
  sink.putResult = aErrWrite;
  script_.bytes({5});
  EXPECT_EQ(aStream_Flush(stream_, destination), aErrWrite);
  EXPECT_EQ(aStream_Flush(destination, stream_), aErrMode);
  EXPECT_EQ(aStream_Flush(nullptr, stream_), aErrParam);
  (void)aStream_Destroy(&destination);
}

TEST_F(StreamTest, DestroyReportsTheDeleteResultAndRefusesStaleHandles) {
  script_.deleteResult = aErrIO;
  EXPECT_EQ(aStream_Destroy(&stream_), aErrIO);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(script_.deletes, 1);
  EXPECT_EQ(aStream_Destroy(&stream_), aErrParam);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
  EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
}

}  // namespace
