// Packet FIFO throughput between two threads: a producer puts, a consumer
// takes with a filtered wait, the way a link's reader feeds a caller waiting
// for its reply.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "common/aPacketFifo.h"

namespace {

constexpr int32_t kWaitMs = 1000;
constexpr uint8_t kReplyCommand = 5;
constexpr uint8_t kStopCommand = 0xFF;

uint8_t sIsCommand(const aPacket* packet, const void* reference) {
  return packet->length > 0 && packet->data[0] == *static_cast<const uint8_t*>(reference);
}

// Packets the producer may put before the consumer has taken them; keeps the
// queue well below its overflow limit.
class Credits {
 public:
  explicit Credits(int64_t credits) : credits_(credits) {}
  bool take() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return credits_ > 0; }))
      return false;
    --credits_;
    return true;
  }
  void give(int64_t n) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      credits_ += n;
    }
    changed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int64_t credits_;
};

aErr sPut(aPacketFifoId fifo, uint8_t command, uint32_t tag) {
  const uint8_t data[] = {command, 0x48, 0x20, static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8)};
  aPacket* packet = aPacket_CreateWithData(0x04, sizeof data, data);
  const aErr err = aPacketFifo_Put(fifo, packet);
  (void)aPacket_Destroy(&packet);
  return err;
}

// One-way stream: the consumer returns credits in batches so that the flow
// control costs little next to the FIFO itself.
void BM_PutAwaitFirstStream(benchmark::State& state) {
  constexpr int64_t kWindow = 256;
  constexpr int64_t kBatch = 32;
  aPacketFifoId fifo = aPacketFifo_Create();
  Credits credits(kWindow);
  const int64_t total = static_cast<int64_t>(state.max_iterations);
  std::thread producer([&] {
    for (int64_t i = 0; i < total; ++i) {
      if (!credits.take() || sPut(fifo, kReplyCommand, static_cast<uint32_t>(i)) != aErrNone) return;
    }
  });
  int64_t taken = 0;
  for (auto _ : state) {
    aPacket* packet = aPacketFifo_AwaitFirst(fifo, sIsCommand, &kReplyCommand, kWaitMs);
    if (packet == nullptr) {
      state.SkipWithError("a packet was lost");
      break;
    }
    (void)aPacket_Destroy(&packet);
    if (++taken % kBatch == 0) credits.give(kBatch);
  }
  credits.give(total);
  producer.join();
  (void)aPacketFifo_Destroy(&fifo);
  state.counters["packets/s"] = benchmark::Counter(static_cast<double>(taken), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PutAwaitFirstStream)->UseRealTime();

// Request and reply: every iteration puts a request and waits for the answer
// that another thread puts after its own filtered wait, two packets in all.
void BM_RequestReply(benchmark::State& state) {
  aPacketFifoId requests = aPacketFifo_Create();
  aPacketFifoId replies = aPacketFifo_Create();
  const uint8_t requestCommand = 3;
  std::thread device([&] {
    for (;;) {
      // Null filter: the device answers whatever arrives first.
      aPacket* request = aPacketFifo_AwaitFirst(requests, nullptr, nullptr, kWaitMs);
      if (request == nullptr) return;
      const bool stop = request->data[0] == kStopCommand;
      const uint32_t tag = request->data[3] | request->data[4] << 8;
      (void)aPacket_Destroy(&request);
      if (stop || sPut(replies, kReplyCommand, tag) != aErrNone) return;
    }
  });
  uint32_t tag = 0;
  for (auto _ : state) {
    if (sPut(requests, requestCommand, ++tag) != aErrNone) {
      state.SkipWithError("request refused");
      break;
    }
    aPacket* reply = aPacketFifo_AwaitFirst(replies, sIsCommand, &kReplyCommand, kWaitMs);
    if (reply == nullptr) {
      state.SkipWithError("no reply");
      break;
    }
    (void)aPacket_Destroy(&reply);
  }
  sPut(requests, kStopCommand, 0);
  device.join();
  (void)aPacketFifo_Destroy(&requests);
  (void)aPacketFifo_Destroy(&replies);
  state.counters["packets/s"] =
      benchmark::Counter(2.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RequestReply)->UseRealTime();

}  // namespace
