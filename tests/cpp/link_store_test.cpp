// Store slots and factory data of a Link against a scripted module: what goes
// on the wire, chunk sums, closing after failures, and buffer limits. The
// module side is written here byte by byte.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "cpp/Link.h"
#include "cpp/Module.h"
#include "cpp_test_support.h"

using namespace Tessaron::Corvalith;

namespace {

typedef std::vector<uint8_t> Bytes;
constexpr uint8_t kModule = 6;
constexpr uint8_t kHandle = 0x11;

Bytes sPattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

uint8_t sSum(const uint8_t* p, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += p[i];
  return static_cast<uint8_t>(sum & 0xFF);
}

// One slot (store 1, slot 2) on the module, with switches for its faults.
struct SlotModule {
  Bytes contents;
  int wrongSumOnWrite = -1;  // 0-based write that gets a wrong sum
  bool refuseOpen = false;
  int writes = 0;

  std::vector<RawPacket> answer(const RawPacket& in) {
    const Bytes& d = in.data;
    if (d.size() < 3 || d[0] != 4) return {};
    switch (d[1]) {
      case 1:
      case 2: {
        const size_t value = d[1] == 1 ? 0x1000 : contents.size();
        if (d[2] != 1 || d[3] != 2) return {{kModule, {4, static_cast<uint8_t>(d[1] | 0x80), d[2], d[3], 3}}};
        return {
            {kModule, {4, d[1], d[2], d[3], static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}}};
      }
      case 3:
      case 4:
        if (refuseOpen) return {{kModule, {4, static_cast<uint8_t>(d[1] | 0x80), d[2], d[3], 5}}};
        if (d[1] == 4) contents.clear();
        readAt = 0;
        return {{kModule, {4, d[1], d[2], d[3], kHandle}}};
      case 6: {
        Bytes reply = {4, 6, kHandle};
        for (int i = 0; i < 25 && readAt < contents.size(); ++i) reply.push_back(contents[readAt++]);
        return {{kModule, reply}};
      }
      case 7: {
        contents.insert(contents.end(), d.begin() + 3, d.end());
        uint8_t sum = sSum(d.data() + 3, d.size() - 3);
        if (writes++ == wrongSumOnWrite) sum = static_cast<uint8_t>(sum + 1);
        return {{kModule, {4, 7, kHandle, sum}}};
      }
      case 8:
        return {{kModule, {4, 8, kHandle, 0}}};
      default:
        return {};
    }
  }
  size_t readAt = 0;
};

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.start());
    ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(TcpSpec(0x7C000021, peer.port())), aErrNone);
    link = module.getLink();
  }
  void TearDown() override {
    (void)module.disconnect();
    peer.stop();
  }
  void serve(SlotModule* slot) {
    peer.setHandler([slot](const RawPacket& in) { return slot->answer(in); });
  }
  // The data of every packet the module received that begins with prefix.
  std::vector<Bytes> sent(const Bytes& prefix) {
    std::vector<Bytes> out;
    for (const RawPacket& p : peer.received()) {
      if (p.data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), p.data.begin()))
        out.push_back(p.data);
    }
    return out;
  }

  FakePeer peer{kModule};
  Module module{2, 0};
  Link* link = nullptr;
};

TEST_F(StoreTest, SixtyBytesGoAsTwentyFiveTwentyFiveTenWithTheirSums) {
  SlotModule slot;
  serve(&slot);
  const Bytes data = sPattern(60);
  ASSERT_EQ(link->loadStoreSlot(kModule, 1, 2, data.data(), data.size()), aErrNone);
  const std::vector<Bytes> writes = sent({4, 7});
  ASSERT_EQ(writes.size(), 3u);
  const size_t expected[] = {25, 25, 10};
  size_t at = 0;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(writes[i][2], kHandle);
    ASSERT_EQ(writes[i].size(), 3 + expected[i]) << "write " << i;
    EXPECT_TRUE(std::equal(writes[i].begin() + 3, writes[i].end(), data.begin() + at));
    at += expected[i];
  }
  EXPECT_EQ(sent({4, 4, 1, 2}).size(), 1u);
  EXPECT_EQ(sent({4, 8, kHandle}).size(), 1u);
  EXPECT_EQ(slot.contents, data);

  // Read back, through a buffer exactly the slot's size.
  Bytes back(60);
  size_t count = 0;
  ASSERT_EQ(link->unloadStoreSlot(kModule, 1, 2, back.data(), back.size(), &count), aErrNone);
  EXPECT_EQ(count, 60u);
  EXPECT_EQ(back, data);
  EXPECT_EQ(sent({4, 8, kHandle}).size(), 2u);
}

TEST_F(StoreTest, AWrongSumFailsWithIOAndTheSlotIsStillClosed) {
  SlotModule slot;
  slot.wrongSumOnWrite = 1;
  serve(&slot);
  const Bytes data = sPattern(60);
  size_t written = 99;
  EXPECT_EQ(link->loadStoreSlot(kModule, 1, 2, data.data(), data.size(), &written), aErrIO);
  EXPECT_EQ(written, 25u) << "only the first chunk was acknowledged";
  EXPECT_EQ(sent({4, 7}).size(), 2u) << "nothing is written after the wrong sum";
  EXPECT_EQ(sent({4, 8, kHandle}).size(), 1u);
}

TEST_F(StoreTest, ASlotLargerThanTheBufferIsAnOverrun) {
  SlotModule slot;
  slot.contents = sPattern(70);
  serve(&slot);
  Bytes back(50, 0);
  size_t count = 0;
  EXPECT_EQ(link->unloadStoreSlot(kModule, 1, 2, back.data(), back.size(), &count), aErrOverrun);
  EXPECT_EQ(count, 50u);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), slot.contents.begin()));
  EXPECT_EQ(sent({4, 6, kHandle}).size(), 2u) << "25 + 25 bytes, not more";
  EXPECT_EQ(sent({4, 8, kHandle}).size(), 1u);
}

TEST_F(StoreTest, ValuesAndRefusals) {
  SlotModule slot;
  slot.contents = sPattern(300);
  serve(&slot);
  uint32_t value = 0;
  EXPECT_EQ(link->storeSlotCapacity(kModule, 1, 2, &value), aErrNone);
  EXPECT_EQ(value, 0x1000u);
  EXPECT_EQ(link->storeSlotSize(kModule, 1, 2, &value), aErrNone);
  EXPECT_EQ(value, 300u);
  EXPECT_EQ(link->storeSlotSize(kModule, 1, 9, &value), 3) << "the module's code";
  EXPECT_EQ(link->storeSlotSize(kModule, 1, 2, nullptr), aErrParam);
  EXPECT_EQ(link->storeSlotSize(3, 1, 2, &value), aErrPacket);
  EXPECT_EQ(link->loadStoreSlot(kModule, 1, 2, nullptr, 1), aErrParam);

  slot.refuseOpen = true;
  const Bytes data = sPattern(5);
  EXPECT_EQ(link->loadStoreSlot(kModule, 1, 2, data.data(), data.size()), aErrMedia);
  size_t count = 0;
  Bytes back(10);
  EXPECT_EQ(link->unloadStoreSlot(kModule, 1, 2, back.data(), back.size(), &count), aErrMedia);
  EXPECT_TRUE(sent({4, 8}).empty()) << "a slot that did not open is not closed";

  peer.setHandler(nullptr);
  EXPECT_EQ(link->storeSlotCapacity(kModule, 1, 2, &value), aErrTimeout);
  (void)module.disconnect();
  EXPECT_EQ(link->storeSlotCapacity(kModule, 1, 2, &value), aErrConnection);
}

// Factory data per command: bytes and the count the module saw at the close.
struct FactoryModule {
  std::map<uint8_t, Bytes> data;
  Bytes incoming;
  size_t readAt = 0;
  uint8_t command = 0;

  std::vector<RawPacket> answer(const RawPacket& in) {
    const Bytes& d = in.data;
    if (d.size() < 2 || d[0] != 0x5E) return {};
    if (d[1] == 0x20) {
      if (!incoming.empty()) data[command] = incoming;
      incoming.clear();
      return {{kModule, {0x5E, 0x00}}};
    }
    command = d[1] & 0x0F;
    if (d[1] & 0x10) {
      if (d[1] & 0x40) incoming.clear();
      incoming.insert(incoming.end(), d.begin() + 2, d.end());
      return {{kModule, {0x5E, command}}};
    }
    if (!data.count(command)) return {{kModule, {0x5E, static_cast<uint8_t>(command | 0x80), 3}}};
    if (d[1] & 0x40) readAt = 0;
    Bytes reply = {0x5E, command};
    const Bytes& src = data[command];
    for (int i = 0; i < 26 && readAt < src.size(); ++i) reply.push_back(src[readAt++]);
    return {{kModule, reply}};
  }
};

TEST_F(StoreTest, FactoryDataGoesIn26ByteChunksAndClosesWithTheCount) {
  FactoryModule factory;
  peer.setHandler([&factory](const RawPacket& in) { return factory.answer(in); });

  ASSERT_EQ(link->setFactoryData(kModule, 3, nullptr, 0), aErrNone);
  std::vector<RawPacket> got = peer.received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, (Bytes{0x5E, 0x20, 0x00, 0x00}));

  const Bytes data = sPattern(60);
  ASSERT_EQ(link->setFactoryData(kModule, 3, data.data(), data.size()), aErrNone);
  got = peer.received();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[1].data.size(), 28u);
  EXPECT_EQ(got[1].data[1], 0x53);
  EXPECT_EQ(got[2].data[1], 0x13);
  EXPECT_EQ(got[3].data.size(), 2u + 8u);
  EXPECT_EQ(got[4].data, (Bytes{0x5E, 0x20, 0x00, 60}));
  EXPECT_EQ(factory.data[3], data);

  // Read back: two full replies and one of 8 bytes.
  Bytes back(60);
  size_t count = 0;
  ASSERT_EQ(link->getFactoryData(kModule, 3, back.data(), back.size(), &count), aErrNone);
  EXPECT_EQ(count, 60u);
  EXPECT_EQ(back, data);
  EXPECT_EQ(peer.received().back().data, (Bytes{0x5E, 0x20, 0x00, 60}));

  Bytes small(59);
  EXPECT_EQ(link->getFactoryData(kModule, 3, small.data(), small.size(), &count), aErrOverrun);
  EXPECT_EQ(link->getFactoryData(kModule, 9, back.data(), back.size(), &count), 3) << "the module's code";
  EXPECT_EQ(link->getFactoryData(kModule, 16, back.data(), back.size(), &count), aErrParam);
  EXPECT_EQ(link->setFactoryData(kModule, 3, data.data(), 0x10000), aErrSize);
}

}  // namespace
