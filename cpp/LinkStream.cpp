// Stream samples of a Link: the stream table, the filter that the link
// engine runs on every received packet while streams are enabled, the worker
// thread that calls the callbacks, and the stream queries and packet helpers.
#include <chrono>
#include <future>

#include "cpp/Link.h"
#include "cpp/LinkImpl.h"
#include "cpp/LocklessQueue_SPSC.h"

namespace Tessaron {
namespace Corvalith {

// The stream control class and its options.
namespace {
constexpr uint8_t kStreamClass = 0x5D;
constexpr uint8_t kStreamStatusOption = 1;
constexpr uint8_t kStreamEnableOption = 1;
constexpr uint8_t kStreamDisableOption = 2;
// The worker's wait on its stop signal, and its pause when idle.
constexpr auto kWorkerSlice = std::chrono::milliseconds(1);

// Sample types and their exact data lengths.
constexpr uint8_t kSampleMultiPacket = 4;
constexpr uint8_t kSampleFirstSubindexType = 5;
constexpr uint8_t kSampleLastType = 7;
// Command, option, index, type.
constexpr uint8_t kSampleHeader = 4;
constexpr uint8_t kTimestampBytes = 8;
// Index byte bits that name the entity.
constexpr uint8_t kStreamIndexMask = 0x1F;
constexpr uint8_t kStreamOptionMask = 0x3F;
constexpr int kWildcards = 15;
}  // namespace

struct StreamWorker {
  LocklessQueue_SPSC<asyncPacket, kStreamQueueSlots> queue;
  std::promise<void> stop;
  std::future<void> stopped = stop.get_future();
  // Checked before every call, so a stopped worker starts none.
  std::atomic<bool> stopping{false};
};

namespace {

void sRunWorker(std::shared_ptr<StreamWorker> w) {
  asyncPacket item;
  for (;;) {
    size_t calls = 0;
    // A batch at most as large as the ring, so a steady stream of samples
    // still lets the stop signal through.
    while (calls < kStreamQueueSlots && !w->stopping.load(std::memory_order_acquire) && w->queue.pop(&item)) {
      item.callback(&item.packet, item.reference);
      ++calls;
    }
    const auto wait = calls == 0 ? kWorkerSlice : std::chrono::milliseconds(0);
    if (w->stopped.wait_for(wait) == std::future_status::ready) return;
  }
}

// Bits of the wildcard number: which key bytes it sets to "any".
constexpr int kWildIndex = 1;
constexpr int kWildOption = 2;
constexpr int kWildCommand = 4;
constexpr int kWildSubindex = 8;

uint64_t sWildcard(uint64_t key, int bits) {
  const uint8_t a = Link::kStreamAny;
  return Link::createStreamKey(
      Link::getStreamKeyElement(key, Link::kStreamKeyModule),
      (bits & kWildCommand) ? a : Link::getStreamKeyElement(key, Link::kStreamKeyCommand),
      (bits & kWildOption) ? a : Link::getStreamKeyElement(key, Link::kStreamKeyOption),
      (bits & kWildIndex) ? a : Link::getStreamKeyElement(key, Link::kStreamKeyIndex),
      (bits & kWildSubindex) ? a : Link::getStreamKeyElement(key, Link::kStreamKeySubindex));
}

bool sMatches(uint8_t element, uint8_t wanted) {
  return wanted == Link::kStreamAny || element == wanted;
}

bool sKeyMatches(uint64_t key, const uint8_t wanted[5]) {
  for (uint8_t e = 0; e < 5; ++e) {
    if (!sMatches(Link::getStreamKeyElement(key, e), wanted[e])) return false;
  }
  return true;
}

std::vector<uint64_t> sMatchingKeys(const std::map<uint64_t, StreamEntry>& table, const uint8_t wanted[5]) {
  std::vector<uint64_t> keys;
  for (const auto& entry : table) {
    if (sKeyMatches(entry.first, wanted)) keys.push_back(entry.first);
  }
  return keys;
}

}  // namespace

// ---- Packet helpers

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex) {
  return uint64_t{subindex} << 32 | uint64_t{module} << 24 | uint64_t{command} << 16 | uint64_t{option} << 8 |
         index;
}

uint8_t Link::getStreamKeyElement(uint64_t key, uint8_t element) {
  static constexpr unsigned kShift[] = {24, 16, 8, 0, 32};
  if (element > kStreamKeySubindex) return 0;
  return static_cast<uint8_t>(key >> kShift[element]);
}

bool Link::isStreamPacket(const aPacket* packet) {
  return aVALIDPACKET(packet) && aUEI_isStreamPacket(packet);
}

uint8_t Link::getStreamPacketType(const aPacket* packet) {
  if (!isStreamPacket(packet)) return 0;
  if (packet->data[packet->length - 1] != 0) return kSampleMultiPacket;
  return packet->data[3];
}

bool Link::isSubindexType(uint8_t type) {
  return type >= kSampleFirstSubindexType && type <= kSampleLastType;
}

namespace {

// Value bytes of a sample type, 0 for a type that is not a sample.
uint8_t sValueBytes(uint8_t type) {
  switch (type) {
    case 1:
    case 5:
      return 1;
    case 2:
    case 6:
      return 2;
    case 3:
    case 7:
      return 4;
    default:
      return 0;
  }
}

// Header, subindex, timestamp, value and the sequence byte.
uint8_t sSampleLength(uint8_t type) {
  return static_cast<uint8_t>(kSampleHeader + (Link::isSubindexType(type) ? 1 : 0) + kTimestampBytes +
                              sValueBytes(type) + 1);
}

}  // namespace

bool Link::isStreamSample(const aPacket* packet) {
  const uint8_t type = getStreamPacketType(packet);
  return sValueBytes(type) != 0 && packet->length == sSampleLength(type);
}

aErr Link::getStreamSample(const aPacket* packet, StreamSample* sample) {
  if (packet == nullptr || sample == nullptr) return aErrParam;
  if (!isStreamPacket(packet)) return aErrPacket;
  if (!isStreamSample(packet)) return aErrSize;
  const uint8_t* d = packet->data;
  StreamSample s;
  s.type = getStreamPacketType(packet);
  uint8_t at = kSampleHeader;
  if (isSubindexType(s.type)) s.subindex = d[at++];
  s.timestamp = uint64_t{aUEI_RetrieveInt(d + at)} << 32 | aUEI_RetrieveInt(d + at + 4);
  at = static_cast<uint8_t>(at + kTimestampBytes);
  switch (sValueBytes(s.type)) {
    case 1:
      s.value = d[at];
      break;
    case 2:
      s.value = aUEI_RetrieveShort(d + at);
      break;
    default:
      s.value = aUEI_RetrieveInt(d + at);
      break;
  }
  *sample = s;
  return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high != nullptr) *high = static_cast<uint32_t>(timestamp >> 32);
  if (low != nullptr) *low = static_cast<uint32_t>(timestamp);
}

// ---- The filter and the worker

void Link::impl::queueCallback(const StreamEntry& entry, const aPacket* packet) {
  if (entry.callback == nullptr || !worker) return;
  asyncPacket item;
  item.callback = entry.callback;
  item.reference = entry.reference;
  item.packet = *packet;
  if (!worker->queue.push(std::move(item))) streamDrops.fetch_add(1, std::memory_order_relaxed);
}

uint8_t Link::impl::linkStreamFilter(const aPacket* packet, const void* reference) {
  if (!isStreamPacket(packet)) return 0;
  impl* self = static_cast<impl*>(const_cast<void*>(reference));
  const uint8_t type = getStreamPacketType(packet);
  const uint8_t subindex = isSubindexType(type) ? packet->data[kSampleHeader] : 0;
  const uint64_t key = createStreamKey(packet->address, packet->data[0], packet->data[1] & kStreamOptionMask,
                                       packet->data[2] & kStreamIndexMask, subindex);
  StreamSample sample;
  const bool valid = getStreamSample(packet, &sample) == aErrNone;

  std::lock_guard<std::mutex> lock(self->streamMutex);
  const auto exact = self->streams.find(key);
  if (exact != self->streams.end()) {
    self->queueCallback(exact->second, packet);
    if (valid) {
      exact->second.value = sample.value;
      exact->second.fresh = 1;
    }
  }
  bool wildcardMatched = false;
  for (int i = 0; i < kWildcards; ++i) {
    const auto wild = self->streams.find(sWildcard(key, i + 1));
    if (wild == self->streams.end()) continue;
    wildcardMatched = true;
    self->queueCallback(wild->second, packet);
  }
  if (exact == self->streams.end() && wildcardMatched && valid) {
    StreamEntry added;
    added.key = key;
    added.value = sample.value;
    added.fresh = 1;
    self->streams.emplace(key, added);
  }
  return 1;
}

aErr Link::impl::startStreaming() {
  const aLinkRef id = linkId.load();
  if (!workerThread.joinable()) {
    auto state = std::make_shared<StreamWorker>();
    try {
      workerThread = std::thread(sRunWorker, state);
    } catch (const std::system_error&) {
      return aErrResource;
    }
    std::lock_guard<std::mutex> lock(streamMutex);
    worker = state;
  }
  if (filterLink != id) {
    const aErr err = aLink_InstallUserPacketFilter(id, linkStreamFilter, this);
    if (err != aErrNone) return err;
    filterLink = id;
  }
  return aErrNone;
}

void Link::impl::stopStreaming(bool force) {
  std::thread retired;
  std::shared_ptr<StreamWorker> state;
  {
    std::lock_guard<std::mutex> control(streamControlMutex);
    {
      std::lock_guard<std::mutex> lock(streamMutex);
      if (!force && !streams.empty()) return;
    }
    // Removing the filter takes the engine's filter mutex, so once it
    // returns no filter call is under way and none queues anything more.
    if (filterLink != 0) (void)aLink_InstallUserPacketFilter(filterLink, nullptr, nullptr);
    filterLink = 0;
    {
      std::lock_guard<std::mutex> lock(streamMutex);
      streams.clear();
      state = std::move(worker);
      worker.reset();
      // Together with the table: whoever sees it empty finds the worker
      // starting no further call.
      if (state) state->stopping.store(true, std::memory_order_release);
    }
    retired = std::move(workerThread);
  }
  if (state) state->stop.set_value();
  if (!retired.joinable()) return;
  // A callback that disabled the last stream runs on the worker itself; it
  // cannot be joined, but it holds its own state and starts no further call.
  if (retired.get_id() == std::this_thread::get_id()) {
    retired.detach();
  } else {
    retired.join();
  }
}

void Link::impl::restoreStreamFilter() {
  std::lock_guard<std::mutex> control(streamControlMutex);
  if (filterLink == 0) return;
  // The engine forgets the filter when it recreates the link.
  filterLink = 0;
  (void)startStreaming();
}

// ---- Enabling and queries

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
  return registerStreamCallback(module, command, option, index, enable, nullptr, nullptr);
}

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  streamCallback callback, void* reference) {
  if (!m_impl) return aErrInitialization;
  if (module == kStreamAny || (module & 1) != 0) return aErrParam;
  if (!isConnected()) return aErrConnection;
  impl& m = *m_impl;
  // Every subindex: a stream enabled here takes samples with and without one.
  const uint64_t key = createStreamKey(module, command, option, index, kStreamAny);
  const uint8_t wanted[5] = {module, command, option, index, kStreamAny};
  // The entry and the filter come first, so that the first samples after
  // the module's answer are not lost.
  const auto removeCovered = [&m, &wanted] {
    std::lock_guard<std::mutex> lock(m.streamMutex);
    for (uint64_t k : sMatchingKeys(m.streams, wanted)) m.streams.erase(k);
  };
  if (enable) {
    aErr started = aErrNone;
    {
      std::lock_guard<std::mutex> control(m.streamControlMutex);
      {
        std::lock_guard<std::mutex> lock(m.streamMutex);
        StreamEntry entry;
        entry.key = key;
        entry.callback = callback;
        entry.reference = reference;
        m.streams[key] = entry;
      }
      started = m.startStreaming();
    }
    if (started != aErrNone) {
      removeCovered();
      m.stopStreaming(false);
      return started;
    }
  } else {
    removeCovered();
    m.stopStreaming(false);
  }

  uei u{};
  u.module = module;
  u.command = kStreamClass;
  const uint8_t bare = enable ? kStreamEnableOption : kStreamDisableOption;
  u.option = static_cast<uint8_t>(bare | kUEISet);
  u.specifier = kUEIRequest;
  u.type = INT;
  u.v.intVal = static_cast<uint32_t>(key);
  aErr err = sendUEI(u);
  if (err == aErrNone) {
    u.option = static_cast<uint8_t>(bare | kUEISet | kUEIGet);
    u.specifier = 0;
    err = receiveUEI(module, u.command, u.option, u.specifier, &u);
    if (err == aErrNone && (u.specifier & kUEIError))
      err = u.v.byteVal != aErrNone ? u.v.byteVal : aErrUnknown;
  }
  if (err != aErrNone && enable) {
    removeCovered();
    m.stopStreaming(false);
  }
  return err;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
  if (value == nullptr) return aErrParam;
  if (!isConnected()) return aErrConnection;
  const uint64_t key = createStreamKey(module, command, option, index, subindex);
  std::lock_guard<std::mutex> lock(m_impl->streamMutex);
  const auto found = m_impl->streams.find(key);
  if (found == m_impl->streams.end()) return aErrNotFound;
  *value = found->second.value;
  if (!found->second.fresh) return aErrStreamStale;
  found->second.fresh = 0;
  return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                   uint8_t index, uint8_t subindex, bool lock) {
  if (!m_impl) return {};
  const uint8_t wanted[5] = {module, command, option, index, subindex};
  if (!lock) return sMatchingKeys(m_impl->streams, wanted);
  std::lock_guard<std::mutex> guard(m_impl->streamMutex);
  return sMatchingKeys(m_impl->streams, wanted);
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* count) {
  if (!isConnected()) return aErrConnection;
  if (entries == nullptr || count == nullptr || capacity == 0) return aErrParam;
  *count = 0;
  const uint8_t wanted[5] = {module, command, option, index, subindex};
  std::lock_guard<std::mutex> lock(m_impl->streamMutex);
  for (const auto& entry : m_impl->streams) {
    if (!sKeyMatches(entry.first, wanted)) continue;
    bool wildcard = false;
    for (uint8_t e = 0; e < 5; ++e) wildcard = wildcard || getStreamKeyElement(entry.first, e) == kStreamAny;
    if (wildcard) continue;
    if (*count == capacity) return aErrSize;
    entries[(*count)++] = StreamStatusEntry{entry.first, entry.second.value};
  }
  return aErrNone;
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming) {
  if (streaming == nullptr) return aErrParam;
  uei u{};
  u.module = module;
  u.command = kStreamClass;
  u.option = static_cast<uint8_t>(kStreamStatusOption | kUEIGet);
  u.specifier = kUEIRequest;
  u.type = VOID;
  aErr err = sendUEI(u);
  if (err != aErrNone) return err;
  u.option = kStreamStatusOption;
  u.specifier = 0;
  err = receiveUEI(module, u.command, u.option, u.specifier, &u);
  if (err != aErrNone) return err;
  if (u.specifier & kUEIError) return u.v.byteVal != aErrNone ? u.v.byteVal : aErrUnknown;
  if (u.type != BYTE) return aErrSize;
  *streaming = u.v.byteVal;
  return aErrNone;
}

uint64_t Link::getStreamDropCount() const {
  return m_impl ? m_impl->streamDrops.load(std::memory_order_relaxed) : 0;
}

}  // namespace Corvalith
}  // namespace Tessaron
