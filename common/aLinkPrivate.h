// The link record shared by the link engine's source files. Not for callers.
#ifndef CORVALITH_COMMON_ALINKPRIVATE_H
#define CORVALITH_COMMON_ALINKPRIVATE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/aLink.h"
#include "common/aLinkTable.h"
#include "common/aPacketFifo.h"
#include "unix/aOS.h"

namespace aLinkDetail {

// The packet debug buffer: a byte ring of records (kind, length, bytes).
// Guarded by Link::logMutex; the pipes take it too, since both write records.
struct PacketLog {
  std::vector<uint8_t> ring;
  size_t read = 0;
  size_t write = 0;
  bool enabled = false;
};

// One table entry and its link record. Table fields (id, type, words,
// useCount, parent, server) are guarded by the table mutex; the record is
// (re)built under `control`, which serialises start, stop, reset and teardown.
// Status, running and the "up" flags are polled across threads, hence atomic.
struct Link {
  aLinkRef id = 0;
  uint32_t type = 0;
  uint32_t words[3] = {0, 0, 0};
  int16_t useCount = 0;
  aLinkRef parent = 0;
  void* server = nullptr;
  aLinkServerDestroyProc serverDestroy = nullptr;

  std::atomic<uint16_t> check{0};
  std::mutex control;
  std::atomic<uint8_t> running{0};
  std::atomic<linkStatus> status{kLinkStatusNoStream};
  // Times the stream failed under a running link; a reboot that is over
  // before anyone polls the status still moves it on.
  std::atomic<uint32_t> drops{0};
  // Steady-clock milliseconds of the last packet put while the link ran in
  // step: its reply is owed even if the link loses step before anyone waits.
  std::atomic<int64_t> lastStepPutMs{INT64_MIN};
  std::atomic<uint8_t> inUp{0};
  std::atomic<uint8_t> outUp{0};
  std::atomic<aPacketFifoId> inFifo{0};
  std::atomic<aPacketFifoId> outFifo{0};
  aStreamRef stream = nullptr;
  aThread inThread = nullptr;
  aThread outThread = nullptr;

  // In-pipe state (Start and Stop touch it only while the pipes are down).
  aPacket* incoming = nullptr;
  uint8_t heartbeatState = 0;  // 0 idle, 2 answering "up", 3 answering "down"
  uint8_t syncState = 0;
  uint8_t syncAddress = 1;

  std::mutex filterMutex;
  aPacketFilter userFilter = nullptr;
  const void* filterReference = nullptr;

  std::atomic<bool> pooled{false};
  // One writer on the stream at a time. A sender finding nothing queued or
  // being written (outPending 0) writes its packet itself instead of waking
  // the out-pipe: one thread hand-off less per request.
  std::mutex writeLock;
  std::atomic<size_t> outPending{0};  // put on the outbound FIFO, not yet written

  std::mutex logMutex;
  std::unique_ptr<PacketLog> log;
  std::atomic<bool> hasLog{false};  // lets the pipes skip the mutex when there is no log
  int32_t logSize = 0;
};

typedef std::shared_ptr<Link> LinkPtr;

// The initialised link with this identifier, or null. The caller's reference
// keeps the record alive even if the link is destroyed meanwhile.
LinkPtr lookupLive(aLinkRef id);
// Records a packet in the link's debug buffer when it has one.
void logPacket(Link& link, uint8_t kind, const aPacket* packet);
// Frees the debug buffer.
void destroyPacketLog(Link& link);

}  // namespace aLinkDetail

#endif
