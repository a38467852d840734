// Raw and packetised serial streams over a pseudo-terminal pair.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <vector>

#include "common/aStream.h"
#include "pty_pair.h"
#include "unix/aStreamOS.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

long sMillisSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Reads count bytes, retrying "not ready" for up to 2 s; the last result.
aErr sReadWithin(aStreamRef stream, uint8_t* dest, size_t count) {
  auto deadline = Clock::now() + std::chrono::seconds(2);
  aErr err = aErrNotReady;
  while (err == aErrNotReady && Clock::now() < deadline) err = aStream_Read(stream, dest, count);
  return err;
}

termios sSettings(const PtyPair& pty) {
  termios t{};
  tcgetattr(pty.master(), &t);
  return t;
}

TEST(SerialStream, OpeningChecksArgumentsAndTheDevice) {
  aStreamRef stream = nullptr;
  EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, 0, 0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 0, 0, nullptr), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 2, 0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 0, 2, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/corvalith-no-such-port", 6, false, 0, 0, &stream), aErrNotFound);
  EXPECT_EQ(aStream_CreateSerial_Packetized("/dev/corvalith-no-such-port", 6, false, 0, 0, &stream),
            aErrNotFound);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 0, 0, &stream), aErrIO) << "not a terminal";
  EXPECT_EQ(stream, nullptr);
}

TEST(SerialStream, AppliesLineSettingsAndRestoresThemOnDelete) {
  PtyPair pty(false);
  ASSERT_TRUE(pty.ok());
  termios before = sSettings(pty);
  ASSERT_TRUE(before.c_lflag & ECHO) << "a fresh terminal echoes";

  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, false, 0, 0, &stream), aErrNone);
  termios t = sSettings(pty);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  t = sSettings(pty);
  EXPECT_TRUE(t.c_lflag & ECHO) << "the saved settings come back";
  EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&before));

  // A pseudo-terminal forces 8 bits without parity, so only the stop bits
  // and the input flags show the other selectors here.
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 2, true, 1, 1, &stream), aErrNone);
  t = sSettings(pty);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);

  const speed_t table[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
  for (uint32_t index = 0; index < 9; ++index) {
    ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), index, false, 0, 0, &stream), aErrNone);
    t = sSettings(pty);
    EXPECT_EQ(cfgetospeed(&t), index < 8 ? table[index] : static_cast<speed_t>(B0)) << "index " << index;
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  }
}

TEST(SerialStream, RawPortPassesBytesAndAnswersAtOnce) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, false, 0, 0, &stream), aErrNone);

  Bytes out{'?', 0x00, '\r', '\n', 0xFF};
  EXPECT_EQ(aStream_Write(stream, out.data(), out.size()), aErrNone);
  EXPECT_EQ(pty.receive(out.size()), out);
  uint8_t single = 'N';
  EXPECT_EQ(aStream_Write(stream, &single, 1), aErrNone);
  EXPECT_EQ(pty.receive(1), Bytes{'N'});

  auto start = Clock::now();
  uint8_t got[3] = {};
  EXPECT_EQ(aStream_Read(stream, got, 1), aErrNotReady);
  EXPECT_LT(sMillisSince(start), 30) << "the recovery client paces itself";

  ASSERT_TRUE(pty.send({'O', 'K', '\r'}));
  ASSERT_EQ(sReadWithin(stream, got, 3), aErrNone);
  EXPECT_EQ(Bytes(got, got + 3), (Bytes{'O', 'K', '\r'})) << "no input translation";
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

class PacketisedSerial : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty_.slavePath().c_str(), 6, false, 0, 0, &stream_), aErrNone);
  }
  void TearDown() override {
    if (stream_) {
      EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    }
  }

  PtyPair pty_;
  aStreamRef stream_ = nullptr;
};

TEST_F(PacketisedSerial, WritesEachPacketAsOneFrame) {
  Bytes packet{0x04, 0x01, 0x05};
  ASSERT_EQ(aStream_Write(stream_, packet.data(), packet.size()), aErrNone);
  EXPECT_EQ(pty_.receive(6), (Bytes{0x05, 0x04, 0x01, 0x05, 0x65, 0x00}));

  Bytes full{0x06, 28};
  for (uint8_t i = 0; i < 28; ++i) full.push_back(i);  // data byte 0 is zero
  ASSERT_EQ(aStream_Write(stream_, full.data(), full.size()), aErrNone);
  Bytes frame = pty_.receive(33);
  ASSERT_EQ(frame.size(), 33u);
  EXPECT_EQ(frame.back(), 0x00);
  EXPECT_TRUE(pty_.drain(50).empty()) << "33 bytes and no more";

  // A refused byte (zero address, length above 28) drops the partial packet
  // with it; complete packets each make a frame; one byte goes out unframed.
  Bytes mixed{0x00, 0x08, 0x00, 0x0A, 0x1D, 0x02, 0x01, 0x07};
  ASSERT_EQ(aStream_Write(stream_, mixed.data(), mixed.size()), aErrNone);
  uint8_t raw = 0x08;
  ASSERT_EQ(aStream_Write(stream_, &raw, 1), aErrNone);
  EXPECT_EQ(pty_.receive(12),
            (Bytes{0x02, 0x08, 0x02, 0x76, 0x00, 0x05, 0x02, 0x01, 0x07, 0x08, 0x00, 0x08}));
}

TEST_F(PacketisedSerial, DeliversTheBytesOfCheckedFrames) {
  // Stray delimiters, then a packet whose data holds a zero.
  ASSERT_TRUE(
      pty_.send({0x00, 0x00, 0x05, 0x04, 0x01, 0x05, 0x65, 0x00, 0x03, 0x0A, 0x02, 0x03, 0x05, 0x6B, 0x00}));
  uint8_t got[7] = {};
  ASSERT_EQ(sReadWithin(stream_, got, 7), aErrNone);
  EXPECT_EQ(Bytes(got, got + 7), (Bytes{0x04, 0x01, 0x05, 0x0A, 0x02, 0x00, 0x05}));
}

TEST_F(PacketisedSerial, DamagedFramesAreRefusedWithoutBytes) {
  uint8_t got[3] = {};
  // Wrong CRC.
  ASSERT_TRUE(pty_.send({0x05, 0x04, 0x01, 0x05, 0x66, 0x00}));
  EXPECT_EQ(sReadWithin(stream_, got, 1), aErrPacket);
  // Length byte says 2 data bytes, frame has 1.
  ASSERT_TRUE(pty_.send({0x05, 0x04, 0x02, 0x05, 0x65, 0x00}));
  EXPECT_EQ(sReadWithin(stream_, got, 1), aErrPacket);
  // A code pointing past the end.
  ASSERT_TRUE(pty_.send({0x09, 0x04, 0x01, 0x05, 0x65, 0x00}));
  EXPECT_EQ(sReadWithin(stream_, got, 1), aErrPacket);
  // Over-long: a 28-data-byte packet needs 32 encoded bytes; 31 are kept.
  Bytes longFrame(33, 0x01);
  longFrame[0] = 0x20;
  longFrame.back() = 0x00;
  ASSERT_TRUE(pty_.send(longFrame));
  EXPECT_EQ(sReadWithin(stream_, got, 1), aErrPacket);
  // Nothing of them is delivered later; a good frame after them is.
  ASSERT_TRUE(pty_.send({0x02, 0x04, 0x02, 0x3B, 0x00}));
  ASSERT_EQ(sReadWithin(stream_, got, 2), aErrNone);
  EXPECT_EQ(Bytes(got, got + 2), (Bytes{0x04, 0x00}));
}

TEST_F(PacketisedSerial, FrameSplitAcrossReadsAndIdleWait) {
  uint8_t got[3] = {};
  auto start = Clock::now();
  EXPECT_EQ(aStream_Read(stream_, got, 1), aErrNotReady);
  long waited = sMillisSince(start);
  EXPECT_GE(waited, 40) << "an idle get waits for input";
  EXPECT_LT(waited, 1000);

  ASSERT_TRUE(pty_.send({0x05, 0x04}));
  EXPECT_EQ(aStream_Read(stream_, got, 1), aErrNotReady) << "half a frame is nothing yet";
  ASSERT_TRUE(pty_.send({0x01, 0x05}));
  EXPECT_EQ(aStream_Read(stream_, got, 1), aErrNotReady);
  ASSERT_TRUE(pty_.send({0x65, 0x00}));
  ASSERT_EQ(sReadWithin(stream_, got, 3), aErrNone);
  EXPECT_EQ(Bytes(got, got + 3), (Bytes{0x04, 0x01, 0x05}));
}

TEST_F(PacketisedSerial, HungUpPortWaitsInsteadOfSpinning) {
  pty_.closeMaster();
  uint8_t got = 0;
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream_, &got, 1), aErrNotReady);
    EXPECT_GE(sMillisSince(start), 40) << "read " << i;
  }
}

TEST_F(PacketisedSerial, RoundTripOfEveryPacketSizeItCanCarry) {
  // Loop the wire back: what the stream writes is fed to it again.
  for (uint8_t length = 0; length <= 27; ++length) {
    Bytes packet{0x02, length};
    for (uint8_t i = 0; i < length; ++i) packet.push_back(static_cast<uint8_t>(i % 3 == 0 ? 0 : i * 37));
    ASSERT_EQ(aStream_Write(stream_, packet.data(), packet.size()), aErrNone);
    Bytes frame = pty_.receive(packet.size() + 3);
    ASSERT_EQ(frame.size(), packet.size() + 3) << "length " << int(length);
    ASSERT_TRUE(pty_.send(frame));
    Bytes got(packet.size());
    ASSERT_EQ(sReadWithin(stream_, got.data(), got.size()), aErrNone) << "length " << int(length);
    EXPECT_EQ(got, packet);
  }
}

}  // namespace

TEST(SerialBaud, IndexFollowsTheRateTableAndRefusesOthers) {
  const struct {
    uint32_t rate;
    uint32_t index;
  } cases[] = {{2400, 0},       {9600, 2},         {115200, 6},         {230400, 7},
               {0, UINT32_MAX}, {110, UINT32_MAX}, {460800, UINT32_MAX}};
  for (const auto& c : cases) EXPECT_EQ(aStream_SerialBaudIndex(c.rate), c.index) << c.rate;
}
