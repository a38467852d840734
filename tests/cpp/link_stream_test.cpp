// Stream samples of a Link against a scripted module: the packet helpers on
// samples built here byte by byte, exact and wildcard entries, fresh and
// stale values, callback order and loss, and that no callback runs once the
// stream is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "cpp/EntityClass.h"
#include "cpp/Link.h"
#include "cpp/LocklessQueue_SPSC.h"
#include "cpp/Module.h"
#include "cpp_test_support.h"

using namespace Tessaron::Corvalith;

namespace {

typedef std::vector<uint8_t> Bytes;
constexpr uint8_t kModule = 6;
constexpr uint8_t kClass = 0x30;
constexpr int kCallbackWaitMs = 5000;

// A sample as a module sends it: command, option, index | 0x40, type,
// [subindex], two big-endian timestamp words, the big-endian value, 0.
Bytes sSample(uint8_t option, uint8_t index, uint8_t type, uint32_t value, uint8_t subindex = 0,
              uint64_t timestamp = 0x0102030405060708ull) {
  Bytes b = {kClass, option, static_cast<uint8_t>(index | 0x40), type};
  if (type >= 5) b.push_back(subindex);
  for (int shift = 56; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(timestamp >> shift));
  const int width = (type == 1 || type == 5) ? 1 : (type == 2 || type == 6) ? 2 : 4;
  for (int i = width - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
  b.push_back(0);
  return b;
}

aPacket sPacket(const Bytes& data, uint8_t address = kModule) {
  aPacket p{};
  p.check = kPacketCheck;
  p.address = address;
  p.length = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), p.data);
  return p;
}

TEST(StreamPacketTest, SamplesByTypeAndLength) {
  struct Case {
    Bytes data;
    bool sample;
    uint8_t type;
    uint32_t value;
    uint8_t subindex;
  };
  Bytes type2Short = sSample(1, 2, 2, 0x1234);
  type2Short.erase(type2Short.begin() + 12);
  Bytes multi = sSample(1, 2, 3, 7);
  multi.back() = 0x81;
  const Case cases[] = {
      {sSample(1, 2, 1, 0xAB), true, 1, 0xAB, 0},
      {sSample(1, 2, 2, 0x1234), true, 2, 0x1234, 0},
      {sSample(1, 2, 3, 0xDEADBEEF), true, 3, 0xDEADBEEF, 0},
      {sSample(1, 2, 5, 0x7F, 9), true, 5, 0x7F, 9},
      {sSample(1, 2, 6, 0xBEEF, 10), true, 6, 0xBEEF, 10},
      {sSample(1, 2, 7, 0xCAFEF00D, 11), true, 7, 0xCAFEF00D, 11},
      {type2Short, false, 2, 0, 0},  // 14 bytes is a type-1 length
      {multi, false, 4, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.data));
    const aPacket p = sPacket(c.data);
    EXPECT_TRUE(Link::isStreamPacket(&p));
    EXPECT_EQ(Link::isStreamSample(&p), c.sample);
    EXPECT_EQ(Link::getStreamPacketType(&p), c.type);
    Link::StreamSample s;
    const aErr err = Link::getStreamSample(&p, &s);
    EXPECT_EQ(err, c.sample ? aErrNone : aErrSize);
    if (!c.sample) continue;
    EXPECT_EQ(s.value, c.value);
    EXPECT_EQ(s.subindex, c.subindex);
    uint32_t high = 0, low = 0;
    Link::getTimestampParts(s.timestamp, &high, &low);
    EXPECT_EQ(high, 0x01020304u);
    EXPECT_EQ(low, 0x05060708u);
  }
  // Not stream packets: a get reply, an option above 63, a raw command.
  for (const Bytes& d :
       {Bytes{kClass, 1, 2, 0, 0}, Bytes{kClass, 0x41, 0x42, 1, 0}, Bytes{4, 1, 0x42, 1, 0}}) {
    const aPacket p = sPacket(d);
    EXPECT_FALSE(Link::isStreamPacket(&p)) << Hex(d);
    Link::StreamSample s;
    EXPECT_EQ(Link::getStreamSample(&p, &s), aErrPacket);
  }

  const uint64_t key = Link::createStreamKey(6, 0x30, 2, 3, 9);
  EXPECT_EQ(key, 0x0906300203ull);
  const uint8_t elements[] = {6, 0x30, 2, 3, 9};
  for (uint8_t e = 0; e < 5; ++e) EXPECT_EQ(Link::getStreamKeyElement(key, e), elements[e]);
}

TEST(StreamQueueTest, FillsToCapacityAndKeepsOrderAcrossTheWrap) {
  Tessaron::LocklessQueue_SPSC<int, 3> q;
  int out = 0;
  EXPECT_FALSE(q.pop(&out));
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(q.push(round * 10 + i));
    EXPECT_FALSE(q.push(99)) << "full";
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(q.pop(&out));
      EXPECT_EQ(out, round * 10 + i);
    }
    EXPECT_EQ(q.size(), 0u);
  }
}

// What the callbacks saw, shared with the test thread.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint32_t> values;
  std::vector<int> tags;
  // While set, a callback waits (bounded) until it is cleared.
  bool hold = false;
  int active = 0;

  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return values.size();
  }
  bool waitCount(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(kCallbackWaitMs),
                            [&] { return values.size() >= n; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    hold = false;
    changed.notify_all();
  }
};

struct Tagged {
  Seen* seen;
  int tag;
};

void sRecord(const aPacket* packet, void* reference) {
  Tagged* t = static_cast<Tagged*>(reference);
  Link::StreamSample s;
  const uint32_t value = Link::getStreamSample(packet, &s) == aErrNone ? s.value : 0xFFFFFFFF;
  std::unique_lock<std::mutex> lock(t->seen->mutex);
  ++t->seen->active;
  t->seen->changed.notify_all();
  t->seen->changed.wait_for(lock, std::chrono::milliseconds(kCallbackWaitMs), [&] { return !t->seen->hold; });
  t->seen->values.push_back(value);
  t->seen->tags.push_back(t->tag);
  --t->seen->active;
  t->seen->changed.notify_all();
}

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The module acknowledges enable and disable and says it streams.
    peer.setHandler([](const RawPacket& in) -> std::vector<RawPacket> {
      const Bytes& d = in.data;
      if (d.size() >= 3 && d[0] == 0x5D && (d[1] == 0x81 || d[1] == 0x82)) {
        return {{kModule, {0x5D, static_cast<uint8_t>(d[1] | 0x40), 0x00}}};
      }
      if (d.size() == 3 && d[0] == 0x5D && d[1] == 0x41) return {{kModule, {0x5D, 0x01, 0x00, 1}}};
      return {};
    });
    ASSERT_TRUE(peer.start());
    ASSERT_EQ(module.setConfig(DirectConfig()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(TcpSpec(0x7C000031, peer.port())), aErrNone);
    link = module.getLink();
  }
  void TearDown() override {
    (void)module.disconnect();
    peer.stop();
  }
  void send(const Bytes& sample) { peer.send({{kModule, sample}}); }

  FakePeer peer{kModule};
  Module module{2, 0};
  Link* link = nullptr;
  Seen seen;
};

TEST_F(StreamTest, ExactAndWildcardEntriesBothGetTheSample) {
  Tagged exact{&seen, 1}, anyIndex{&seen, 2};
  ASSERT_EQ(link->registerStreamCallback(kModule, kClass, 1, 2, true, sRecord, &exact), aErrNone);
  ASSERT_EQ(link->registerStreamCallback(kModule, kClass, 1, Link::kStreamAny, true, sRecord, &anyIndex),
            aErrNone);
  // The enable UEI carries the low 32 bits of the key.
  const std::vector<RawPacket> got = peer.received();
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[0].data, (Bytes{0x5D, 0x81, 0x20, kModule, kClass, 1, 2}));
  EXPECT_EQ(got[1].data, (Bytes{0x5D, 0x81, 0x20, kModule, kClass, 1, 0xFF}));

  send(sSample(1, 2, 3, 42));
  ASSERT_TRUE(seen.waitCount(2));
  send(sSample(1, 5, 3, 43));  // only the wildcard covers index 5
  ASSERT_TRUE(seen.waitCount(3));
  {
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.values, (std::vector<uint32_t>{42, 42, 43}));
    EXPECT_EQ(seen.tags, (std::vector<int>{1, 2, 2}));
  }

  // The sample made exact entries; wildcard entries are not reported.
  Link::StreamStatusEntry entries[4];
  size_t count = 0;
  ASSERT_EQ(link->getStreamStatus(kModule, kClass, 1, Link::kStreamAny, Link::kStreamAny, entries, 4, &count),
            aErrNone);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(entries[0].key, Link::createStreamKey(kModule, kClass, 1, 2, 0));
  EXPECT_EQ(entries[0].value, 42u);
  EXPECT_EQ(entries[1].value, 43u);
  EXPECT_EQ(link->getStreamStatus(kModule, kClass, 1, Link::kStreamAny, Link::kStreamAny, entries, 1, &count),
            aErrSize);
  EXPECT_EQ(link->filterActiveStreamKeys(kModule, kClass, 1, Link::kStreamAny, Link::kStreamAny).size(), 4u);

  uint8_t streaming = 0;
  EXPECT_EQ(link->isLinkStreaming(kModule, &streaming), aErrNone);
  EXPECT_EQ(streaming, 1);

  // Disabling the wildcard removes every entry it covers and the filter.
  ASSERT_EQ(link->enableStream(kModule, kClass, 1, Link::kStreamAny, false), aErrNone);
  EXPECT_TRUE(link->filterActiveStreamKeys(kModule, Link::kStreamAny, Link::kStreamAny, Link::kStreamAny,
                                           Link::kStreamAny)
                  .empty());
}

TEST_F(StreamTest, ValueIsFreshOnceThenStaleAndServesTheEntityGet) {
  EntityClass entity;
  entity.init(&module, kClass, 2);
  ASSERT_EQ(entity.setStreamEnabled(true), aErrNone);
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kModule, kClass, 1, 2, 0, &value), aErrNotFound) << "no sample yet";
  send(sSample(1, 2, 3, 1234));
  ASSERT_TRUE(WaitFor([&] { return link->getStreamValue(kModule, kClass, 1, 2, 0, &value) == aErrNone; },
                      kCallbackWaitMs));
  EXPECT_EQ(value, 1234u);
  value = 0;
  EXPECT_EQ(link->getStreamValue(kModule, kClass, 1, 2, 0, &value), aErrStreamStale);
  EXPECT_EQ(value, 1234u);

  // A get of the streamed option is answered from the table, not the module.
  const size_t before = peer.received().size();
  uint32_t got = 0;
  EXPECT_EQ(entity.getUEI32(1, &got), aErrStreamStale);
  EXPECT_EQ(got, 1234u);
  EXPECT_EQ(peer.received().size(), before);

  ASSERT_EQ(entity.setStreamEnabled(false), aErrNone);
  EXPECT_EQ(link->getStreamValue(kModule, kClass, 1, 2, 0, &value), aErrNotFound);
  EXPECT_EQ(link->enableStream(7, kClass, 1, 2, true), aErrParam);
  EXPECT_EQ(link->enableStream(Link::kStreamAny, kClass, 1, 2, true), aErrParam);
}

TEST_F(StreamTest, AFailedEnableLeavesNoEntry) {
  peer.setHandler([](const RawPacket& in) -> std::vector<RawPacket> {
    if (in.data.size() >= 2 && in.data[0] == 0x5D) return {{kModule, {0x5D, 0xC1, 0x80, 21}}};
    return {};
  });
  EXPECT_EQ(link->enableStream(kModule, kClass, 1, 2, true), 21);
  EXPECT_TRUE(link->filterActiveStreamKeys(kModule, kClass, 1, 2, Link::kStreamAny).empty());
}

TEST_F(StreamTest, TenThousandSamplesArriveInOrderWhileTheQueueKeepsUp) {
  Tagged t{&seen, 0};
  ASSERT_EQ(link->registerStreamCallback(kModule, kClass, 1, 2, true, sRecord, &t), aErrNone);
  constexpr uint32_t kSamples = 10000;
  constexpr uint32_t kBurst = 200;  // well below the queue's 500 slots
  for (uint32_t sent = 0; sent < kSamples; sent += kBurst) {
    std::vector<RawPacket> burst;
    for (uint32_t i = sent; i < sent + kBurst; ++i) burst.push_back({kModule, sSample(1, 2, 3, i)});
    peer.send(burst);
    ASSERT_TRUE(seen.waitCount(sent + kBurst)) << "after " << sent;
  }
  std::lock_guard<std::mutex> lock(seen.mutex);
  ASSERT_EQ(seen.values.size(), kSamples);
  for (uint32_t i = 0; i < kSamples; ++i) ASSERT_EQ(seen.values[i], i);
  EXPECT_EQ(link->getStreamDropCount(), 0u);
}

TEST_F(StreamTest, ABlockedCallbackCostsCountedCallsButNoValues) {
  Tagged t{&seen, 0};
  seen.hold = true;
  ASSERT_EQ(link->registerStreamCallback(kModule, kClass, 1, 2, true, sRecord, &t), aErrNone);
  constexpr uint32_t kSamples = 600;
  send(sSample(1, 2, 3, 0));
  {
    std::unique_lock<std::mutex> lock(seen.mutex);
    ASSERT_TRUE(seen.changed.wait_for(lock, std::chrono::milliseconds(kCallbackWaitMs),
                                      [&] { return seen.active == 1; }));
  }
  std::vector<RawPacket> burst;
  for (uint32_t i = 1; i < kSamples; ++i) burst.push_back({kModule, sSample(1, 2, 3, i)});
  peer.send(burst);
  // One call is held, 500 wait in the queue, the rest are dropped.
  ASSERT_TRUE(WaitFor([&] { return link->getStreamDropCount() == kSamples - 501; }, kCallbackWaitMs))
      << link->getStreamDropCount();
  uint32_t value = 0;
  ASSERT_TRUE(WaitFor([&] { return link->getStreamValue(kModule, kClass, 1, 2, 0, &value) == aErrNone; },
                      kCallbackWaitMs));
  EXPECT_EQ(value, kSamples - 1) << "values are kept even when calls are dropped";
  seen.release();
  ASSERT_TRUE(seen.waitCount(501));
  std::lock_guard<std::mutex> lock(seen.mutex);
  for (uint32_t i = 0; i < 501; ++i) ASSERT_EQ(seen.values[i], i);
  EXPECT_EQ(link->getStreamDropCount(), kSamples - 501);
}

TEST_F(StreamTest, DisconnectWaitsForARunningCallbackAndNoneFollows) {
  Tagged t{&seen, 0};
  seen.hold = true;
  ASSERT_EQ(link->registerStreamCallback(kModule, kClass, 1, 2, true, sRecord, &t), aErrNone);
  send(sSample(1, 2, 3, 1));
  send(sSample(1, 2, 3, 2));
  {
    std::unique_lock<std::mutex> lock(seen.mutex);
    ASSERT_TRUE(seen.changed.wait_for(lock, std::chrono::milliseconds(kCallbackWaitMs),
                                      [&] { return seen.active == 1; }));
  }
  // The held call ends only once disconnect has emptied the table.
  std::thread releaser([&] {
    const bool cleared = WaitFor(
        [&] {
          return link
              ->filterActiveStreamKeys(Link::kStreamAny, Link::kStreamAny, Link::kStreamAny, Link::kStreamAny,
                                       Link::kStreamAny)
              .empty();
        },
        kCallbackWaitMs);
    EXPECT_TRUE(cleared);
    seen.release();
  });
  (void)module.disconnect();
  releaser.join();
  std::lock_guard<std::mutex> lock(seen.mutex);
  EXPECT_EQ(seen.active, 0) << "disconnect returned while a callback ran";
  EXPECT_EQ(seen.values.size(), 1u) << "the queued second call was dropped with the stream";
}

// A callback that disables its own stream runs on the worker, which cannot
// join itself; it must neither hang nor be called again.
struct SelfStop {
  Link* link;
  std::atomic<int> calls{0};
  std::atomic<aErr> result{aErrUnknown};
};

void sDisableFromCallback(const aPacket*, void* reference) {
  SelfStop* s = static_cast<SelfStop*>(reference);
  if (s->calls.fetch_add(1) == 0) s->result = s->link->enableStream(kModule, kClass, 1, 2, false);
}

TEST_F(StreamTest, ACallbackMayDisableItsOwnStream) {
  SelfStop stop;
  stop.link = link;
  ASSERT_EQ(link->registerStreamCallback(kModule, kClass, 1, 2, true, sDisableFromCallback, &stop), aErrNone);
  send(sSample(1, 2, 3, 1));
  ASSERT_TRUE(WaitFor([&] { return stop.result.load() != aErrUnknown; }, kCallbackWaitMs));
  EXPECT_EQ(stop.result.load(), aErrNone);
  send(sSample(1, 2, 3, 2));
  // The second sample is no stream any more: it lands in the inbound queue.
  ASSERT_TRUE(WaitFor(
      [&] {
        aPacket* p = aLink_GetFirst(link->getLinkRef(), nullptr, nullptr);
        const bool got = p != nullptr;
        if (got) (void)aPacket_Destroy(&p);
        return got;
      },
      kCallbackWaitMs));
  EXPECT_EQ(stop.calls.load(), 1);
}

}  // namespace
