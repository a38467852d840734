// CRC-8, COBS and the frame receiver of serial links.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/aCOBS.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Feeds wire bytes; returns every result other than "still collecting",
// with the packets decoded.
struct Fed {
  std::vector<aErr> results;
  std::vector<Bytes> packets;
};

Fed sFeed(aCOBSReceiver& receiver, const Bytes& wire) {
  Fed fed;
  for (uint8_t b : wire) {
    uint8_t packet[aCOBS_MAX_PACKET];
    size_t length = 0;
    aErr err = aCOBSReceiver_Feed(&receiver, b, packet, &length);
    if (err == aErrNotReady) continue;
    fed.results.push_back(err);
    if (err == aErrNone) fed.packets.emplace_back(packet, packet + length);
  }
  return fed;
}

Bytes sFrame(const Bytes& packet) {
  uint8_t frame[aCOBS_MAX_WRITE_FRAME];
  size_t n = aCOBS_FramePacket(packet.data(), packet.size(), frame, sizeof frame);
  return Bytes(frame, frame + n);
}

TEST(Crc8, KnownValues) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(aCRC8_Compute(abc, 3), 0x42);
  const uint8_t packet[] = {0x04, 0x01, 0x05};
  EXPECT_EQ(aCRC8_Compute(packet, 3), 0x65);
  EXPECT_EQ(aCRC8_Compute(packet, 0), 0x00);
  // The CRC of bytes followed by their CRC is 0 for this (reflected) CRC.
  const uint8_t checked[] = {0x04, 0x01, 0x05, 0x65};
  EXPECT_EQ(aCRC8_Compute(checked, 4), 0x00);
}

TEST(Cobs, FramesMatchTheWireExamples) {
  EXPECT_EQ(sFrame({0x04, 0x01, 0x05}), (Bytes{0x05, 0x04, 0x01, 0x05, 0x65, 0x00}));
  EXPECT_EQ(sFrame({0x0A, 0x02, 0x00, 0x05}), (Bytes{0x03, 0x0A, 0x02, 0x03, 0x05, 0x6B, 0x00}));
  Bytes full{0x06, 28};
  full.resize(30, 0x00);
  EXPECT_EQ(sFrame(full).size(), 33u) << "32 encoded bytes and the delimiter";
  EXPECT_TRUE(sFrame({}).empty());
  EXPECT_TRUE(sFrame(Bytes(31, 1)).empty()) << "longer than any packet";
}

TEST(Cobs, EncodeDecodeRoundTripsIncludingLongRuns) {
  std::mt19937 random(5);
  std::vector<Bytes> inputs = {{0x00},           {0x00, 0x00},     {0x01},          Bytes(253, 0x11),
                               Bytes(254, 0x11), Bytes(255, 0x11), Bytes(600, 0x00)};
  for (int i = 0; i < 200; ++i) {
    Bytes b(random() % 700 + 1);
    for (uint8_t& x : b) x = static_cast<uint8_t>(random() % 4 == 0 ? 0 : random());
    inputs.push_back(b);
  }
  for (const Bytes& in : inputs) {
    Bytes encoded(aCOBS_EncodedSize(in.size()));
    size_t n = aCOBS_Encode(in.data(), in.size(), encoded.data(), encoded.size());
    ASSERT_GT(n, in.size());
    encoded.resize(n);
    for (uint8_t x : encoded) ASSERT_NE(x, 0) << "no zero inside a frame";
    ASSERT_EQ(aCOBS_Decode(encoded.data(), encoded.size()), in.size());
    EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + in.size()), in);
  }
  uint8_t small[2];
  const uint8_t three[] = {1, 2, 3};
  EXPECT_EQ(aCOBS_Encode(three, 3, small, sizeof small), 0u) << "output too small";
}

TEST(Cobs, DecodeRefusesBrokenInput) {
  Bytes pastEnd{0x05, 0x01, 0x02};
  EXPECT_EQ(aCOBS_Decode(pastEnd.data(), pastEnd.size()), 0u);
  Bytes zeroInside{0x03, 0x00, 0x02};
  EXPECT_EQ(aCOBS_Decode(zeroInside.data(), zeroInside.size()), 0u);
  Bytes zeroCode{0x00};
  EXPECT_EQ(aCOBS_Decode(zeroCode.data(), zeroCode.size()), 0u);
  EXPECT_EQ(aCOBS_Decode(nullptr, 3), 0u);
  Bytes lone{0x01};
  EXPECT_EQ(aCOBS_Decode(lone.data(), 0), 0u);
  EXPECT_EQ(aCOBS_Decode(lone.data(), 1), 0u) << "one empty block decodes to nothing";
}

TEST(CobsReceiver, DeliversGoodFramesAndRefusesDamagedOnes) {
  aCOBSReceiver receiver{};
  // Stray delimiters are ignored; a frame may arrive in any number of pieces.
  Fed fed = sFeed(receiver, {0x00, 0x00, 0x05, 0x04});
  EXPECT_TRUE(fed.results.empty());
  fed = sFeed(receiver, {0x01, 0x05, 0x65, 0x00});
  ASSERT_EQ(fed.results, std::vector<aErr>{aErrNone});
  EXPECT_EQ(fed.packets[0], (Bytes{0x04, 0x01, 0x05}));

  // Wrong CRC, wrong length byte, a code past the end, a single byte.
  fed = sFeed(receiver, {0x05, 0x04, 0x01, 0x05, 0x66, 0x00, 0x05, 0x04, 0x02, 0x05, 0x65,
                         0x00, 0x07, 0x04, 0x01, 0x05, 0x65, 0x00, 0x02, 0x04, 0x00});
  EXPECT_EQ(fed.results, (std::vector<aErr>{aErrPacket, aErrPacket, aErrPacket, aErrPacket}));
  EXPECT_TRUE(fed.packets.empty());

  // The largest packet that fits (27 data bytes) arrives; 28 is cut short.
  for (uint8_t length : {27, 28}) {
    Bytes packet{0x02, length};
    for (uint8_t i = 0; i < length; ++i) packet.push_back(static_cast<uint8_t>(i + 1));
    fed = sFeed(receiver, sFrame(packet));
    ASSERT_EQ(fed.results.size(), 1u);
    if (length == 27) {
      EXPECT_EQ(fed.results[0], aErrNone);
      EXPECT_EQ(fed.packets[0], packet);
    } else {
      EXPECT_EQ(fed.results[0], aErrPacket);
    }
  }
  // After a damaged frame the next good one still arrives whole.
  fed = sFeed(receiver, sFrame({0x08, 0x00}));
  ASSERT_EQ(fed.packets.size(), 1u);
  EXPECT_EQ(fed.packets[0], (Bytes{0x08, 0x00}));

  uint8_t packet[aCOBS_MAX_PACKET];
  size_t length = 0;
  EXPECT_EQ(aCOBSReceiver_Feed(nullptr, 0, packet, &length), aErrParam);
  EXPECT_EQ(aCOBSReceiver_Feed(&receiver, 0, nullptr, &length), aErrParam);
}

}  // namespace
