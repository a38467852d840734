// A bounded ring for exactly one producer thread and one consumer thread,
// with no lock: the producer owns the tail counter, the consumer the head
// counter, and each publishes its counter with release and reads the other's
// with acquire, so a slot's contents are visible before its index is. Push
// on a full ring and pop on an empty one fail at once instead of waiting,
// which keeps a producer on a device's receiving thread from ever blocking.
#ifndef CORVALITH_CPP_LOCKLESSQUEUE_SPSC_H
#define CORVALITH_CPP_LOCKLESSQUEUE_SPSC_H

#include <array>
#include <atomic>
#include <cstddef>
#include <utility>

namespace Tessaron {

template <typename T, size_t Capacity>
class LocklessQueue_SPSC {
  static_assert(Capacity > 0, "a ring needs at least one slot");

 public:
  LocklessQueue_SPSC() = default;
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // Producer side. False when all Capacity slots are taken; item is then
  // left as it was.
  [[nodiscard]] bool push(T&& item) {
    const size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) == Capacity) return false;
    slots_[tail % Capacity] = std::move(item);
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }
  [[nodiscard]] bool push(const T& item) {
    T copy = item;
    return push(std::move(copy));
  }

  // Consumer side. False when nothing is queued.
  [[nodiscard]] bool pop(T* out) {
    const size_t head = head_.load(std::memory_order_relaxed);
    if (tail_.load(std::memory_order_acquire) == head) return false;
    *out = std::move(slots_[head % Capacity]);
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

  // A snapshot; exact only on a thread that is the only one touching the ring.
  size_t size() const {
    // Head first: the tail read after it is never behind it.
    const size_t head = head_.load(std::memory_order_acquire);
    return tail_.load(std::memory_order_acquire) - head;
  }
  static constexpr size_t capacity() { return Capacity; }

 private:
  // The counters only grow; their difference is the fill. Separate cache
  // lines keep the two threads from invalidating each other on every step.
  alignas(64) std::atomic<size_t> head_{0};
  alignas(64) std::atomic<size_t> tail_{0};
  alignas(64) std::array<T, Capacity> slots_{};
};

}  // namespace Tessaron

#endif
