#include "common/aPacketFifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

struct Entry {
  uint32_t sequence;
  aPacket packet;
};

// isOpen, windowStart and nextSequence change only under the mutex; they are
// atomics so that a reader without the lock never sees a torn value.
struct PacketFifo {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Entry> queue;
  std::atomic<bool> isOpen{true};
  // Sequence number of the head entry, or nextSequence when empty.
  std::atomic<uint32_t> windowStart{0};
  std::atomic<uint32_t> nextSequence{0};
};

typedef std::shared_ptr<PacketFifo> FifoRef;

// The registry lives for the whole process: it is never destroyed, so threads
// still running at exit cannot reach a destroyed map.
struct Registry {
  std::mutex mutex;
  std::unordered_map<aPacketFifoId, FifoRef> fifos;
  std::atomic<aPacketFifoId> lastId{0};
};

Registry& sRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

// The FIFO's shared reference, copied out so that the registry lock is never
// held while the FIFO lock is taken. Null for an unknown identifier.
FifoRef sLookup(aPacketFifoId id) {
  if (id == 0) return nullptr;
  Registry& registry = sRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.fifos.find(id);
  return it == registry.fifos.end() ? nullptr : it->second;
}

bool sAcceptsAll(aPacketFilter filter) {
  return filter == nullptr;
}

bool sOffer(aPacketFilter filter, const void* reference, const aPacket& packet) {
  return sAcceptsAll(filter) || filter(&packet, reference) != 0;
}

// Caller holds fifo.mutex.
void sResync(PacketFifo& fifo) {
  fifo.windowStart = fifo.queue.empty() ? fifo.nextSequence.load() : fifo.queue.front().sequence;
}

// Caller holds fifo.mutex.
void sEmpty(PacketFifo& fifo) {
  fifo.queue.clear();
  fifo.windowStart = fifo.nextSequence.load();
}

// Hands the entry's packet to the caller as a new packet. The entry is erased
// only when the copy succeeded, so a failed allocation loses nothing.
// Caller holds fifo.mutex.
aPacket* sTake(PacketFifo& fifo, std::deque<Entry>::iterator entry) {
  aPacket* packet = aPacket_Copy(&entry->packet);
  if (packet == nullptr) return nullptr;
  fifo.queue.erase(entry);
  sResync(fifo);
  return packet;
}

std::chrono::steady_clock::time_point sDeadline(int32_t timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
}

}  // namespace

aPacketFifoId aPacketFifo_Create() {
  try {
    auto fifo = std::make_shared<PacketFifo>();
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    aPacketFifoId id = 0;
    do {
      id = ++registry.lastId;
    } while (id == 0 || registry.fifos.count(id) != 0);
    registry.fifos.emplace(id, std::move(fifo));
    return id;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
  if (id == nullptr) return aErrParam;
  try {
    FifoRef fifo;
    {
      Registry& registry = sRegistry();
      std::lock_guard<std::mutex> lock(registry.mutex);
      auto it = (*id == 0) ? registry.fifos.end() : registry.fifos.find(*id);
      if (it == registry.fifos.end()) return aErrNotFound;
      fifo = std::move(it->second);
      registry.fifos.erase(it);
    }
    *id = 0;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      sEmpty(*fifo);
      fifo->isOpen = false;
    }
    fifo->changed.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->queue.size();
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
  if (!aVALIDPACKET(packet) || packet->length > kMaxPacketData) return aErrParam;
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return aErrParam;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      // Destroyed between the lookup and here: nobody could ever read it.
      if (!fifo->isOpen) return aErrParam;
      Entry entry{fifo->nextSequence.load(), *packet};
      entry.packet.count = static_cast<uint8_t>(packet->length + 2);
      try {
        fifo->queue.push_back(entry);
      } catch (const std::bad_alloc&) {
        return aErrResource;
      }
      ++fifo->nextSequence;
      sResync(*fifo);
      if (fifo->queue.size() > kPacketFifoCapacity) {
        sEmpty(*fifo);
        return aErrNone;
      }
    }
    fifo->changed.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aPacket* aPacketFifo_Get(aPacketFifoId id) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->queue.empty()) return nullptr;
    return sTake(*fifo, fifo->queue.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_Await(aPacketFifoId id, int32_t timeoutMs) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return nullptr;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    const bool ready =
        fifo->changed.wait_until(lock, deadline, [&] { return !fifo->queue.empty() || !fifo->isOpen; });
    if (!ready || fifo->queue.empty()) return nullptr;
    return sTake(*fifo, fifo->queue.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, const void* reference) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
      if (sOffer(filter, reference, it->packet)) return sTake(*fifo, it);
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, const void* reference,
                                int32_t timeoutMs) {
  aPacketFifoCursor cursor;
  return aPacketFifo_AwaitFirstFrom(id, filter, reference, timeoutMs, &cursor);
}

aPacket* aPacketFifo_AwaitFirstFrom(aPacketFifoId id, aPacketFilter filter, const void* reference,
                                    int32_t timeoutMs, aPacketFifoCursor* cursor) {
  if (cursor == nullptr) return nullptr;
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return nullptr;
    const auto deadline = sDeadline(timeoutMs);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // Entries at or before lastExamined were already offered during this wait;
    // the signed difference keeps the comparison right across wrap-around.
    if (!cursor->started) {
      cursor->lastExamined = fifo->windowStart.load() - 1;
      cursor->started = true;
    }
    uint32_t& lastExamined = cursor->lastExamined;
    auto found = fifo->queue.end();
    auto accepted = [&] {
      if (!fifo->isOpen) return true;
      for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
        if (static_cast<int32_t>(it->sequence - lastExamined) <= 0) continue;
        lastExamined = it->sequence;
        if (sOffer(filter, reference, it->packet)) {
          found = it;
          return true;
        }
      }
      return false;
    };
    if (!fifo->changed.wait_until(lock, deadline, accepted)) return nullptr;
    if (!fifo->isOpen || found == fifo->queue.end()) return nullptr;
    return sTake(*fifo, found);
  } catch (...) {
    return nullptr;
  }
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, const void* reference) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    const size_t before = fifo->queue.size();
    // remove_if keeps the order of the survivors and calls the filter once per
    // entry.
    auto end = std::remove_if(fifo->queue.begin(), fifo->queue.end(),
                              [&](const Entry& entry) { return sOffer(filter, reference, entry.packet); });
    fifo->queue.erase(end, fifo->queue.end());
    sResync(*fifo);
    return before - fifo->queue.size();
  } catch (...) {
    return 0;
  }
}
