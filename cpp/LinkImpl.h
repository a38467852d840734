// The private part of a Link, shared by the files that implement Link.
#ifndef CORVALITH_CPP_LINKIMPL_H
#define CORVALITH_CPP_LINKIMPL_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/aLogger.h"
#include "cpp/Link.h"

namespace Tessaron {
namespace Corvalith {

// Library debug bit of the module-level traces.
constexpr uint32_t kDebugModule = 0x40;

// Slots of the queue between the stream filter and the stream worker.
constexpr size_t kStreamQueueSlots = 500;

struct StreamEntry {
  uint64_t key = 0;
  uint8_t fresh = 0;
  Link::streamCallback callback = nullptr;
  void* reference = nullptr;
  uint32_t value = 0;
};

// One queued callback call, with its own copy of the sample packet.
struct asyncPacket {
  Link::streamCallback callback = nullptr;
  void* reference = nullptr;
  aPacket packet{};
};

// The worker's state, shared by the link and the worker thread, so that a
// worker that had to be let go (its own callback stopped it) never touches a
// link that is gone.
struct StreamWorker;

struct Link::impl {
  impl(Link* owner, const char* linkName);
  ~impl();

  // Creates the engine link for spec and
  // stores its identifier, 0 when the engine could not make one. reference
  // is the link whose use a shared (client) link takes. With sharing on, a
  // direct link is wrapped in a device server and this link becomes its
  // client. aErrMode for a bad type, aErrConfiguration for a shared type
  // with sharing off.
  [[nodiscard]] aErr linkCreateHelper(const linkSpec& spec, aLinkRef reference);
  // Creates the link from the stored spec and waits for it (connect without
  // its first check).
  [[nodiscard]] aErr connectHelper(aLinkRef reference);
  // Polls the engine status every 10 ms, at most rounds times.
  [[nodiscard]] aErr waitForLink(int rounds) const;
  // Finds a spec for type and serial (or the first of the model) and
  // connects to it.
  [[nodiscard]] aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);
  [[nodiscard]] bool connected() const;
  void destroyLogger();

  // The stream filter that the link engine runs on its receiving thread;
  // reference is the impl.
  static uint8_t linkStreamFilter(const aPacket* packet, const void* reference);
  // Installs the filter and starts the worker unless they run already.
  // Caller holds streamControlMutex.
  [[nodiscard]] aErr startStreaming();
  // When the table is empty (or always, with force): removes the filter,
  // clears the table and stops the worker. A worker that is not the calling
  // thread is joined, so none of its callbacks runs after this returns.
  void stopStreaming(bool force);
  // Puts the filter back after the engine recreated the link.
  void restoreStreamFilter();
  // Queues one callback call; counts it as dropped when the queue is full.
  // Caller holds streamMutex.
  void queueCallback(const StreamEntry& entry, const aPacket* packet);

  Link* link;
  std::atomic<aLinkRef> linkId{0};
  aLogger* logger = nullptr;
  std::mutex loggerMutex;
  aWeftConfig config;
  std::string name;
  bool hasName = false;
  std::unique_ptr<linkSpec> spec;

  // Guards streams and worker. Taken by the stream filter inside the
  // engine's filter mutex, so nothing here calls into the engine with it held.
  std::mutex streamMutex;
  std::map<uint64_t, StreamEntry> streams;
  std::shared_ptr<StreamWorker> worker;
  // Serialises starting and stopping the filter and the worker; never held
  // across a wait on the module or a join.
  std::mutex streamControlMutex;
  std::thread workerThread;
  aLinkRef filterLink = 0;
  std::atomic<uint64_t> streamDrops{0};
};

}  // namespace Corvalith
}  // namespace Tessaron

#endif
