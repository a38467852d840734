// Link engine: the link table, creation, start/stop/reset, the pipe threads
// and the synchronisation handshake. The packet debug buffer is in
// aLinkPacketLog.cpp.
#include "common/aLink.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "common/aDebug.h"
#include "common/aLinkPrivate.h"
#include "common/aLinkTable.h"
#include "common/aPacketFifo.h"
#include "unix/aOS.h"
#include "unix/aStreamOS.h"

namespace {

using aLinkDetail::Link;
using aLinkDetail::LinkPtr;

constexpr uint16_t kLinkCheck = 0xCEED;
constexpr int kPollIntervalMs = 10;
constexpr int kPollRounds = 200;  // 2 s at 10 ms
constexpr int kSyncPackets = 6;
constexpr int32_t kIOErrorPauseMs = 100;
// A get that says "no data" sooner than this did not wait on its own, ms.
constexpr int kIdleReadMinMs = 1;
// Pause of the in-pipe after such a get, ms.
constexpr int32_t kIdleReadPauseMs = 5;
constexpr int32_t kOutPipeWaitMs = 1000;
constexpr int kResetAttempts = 20;
constexpr int32_t kResetRetryMs = 100;
// A reset stops trying to recreate its stream after this long, ms.
constexpr int kResetDeadlineMs = 10000;
constexpr int32_t kSyncSettleMs = 100;
constexpr size_t kPoolBlock = 4096;
// A pooled block takes another packet while it holds at most this many bytes,
// so the largest packet (30 bytes) still fits.
constexpr size_t kPoolFill = kPoolBlock - kMaxPacketBytes;
// Slice of a filtered wait, so a waiter notices a stopped link promptly.
constexpr int32_t kAwaitSliceMs = 100;
// How long the in-pipe lets a full inbound FIFO drain before overflowing
// it, ms.
constexpr int kFullFifoWaitMs = 50;

int64_t sSteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A link whose stream failed owes nothing until it is rebuilt; one that only
// resynchronises may still deliver the reply to a request sent in step.
bool sAwaitsReply(const Link& link, int32_t timeoutMs) {
  if (!link.running.load()) return false;
  const linkStatus status = link.status.load();
  if (status == kLinkStatusRunning) return true;
  if (status != kLinkStatusSyncing) return false;
  const int64_t put = link.lastStepPutMs.load();
  return put != INT64_MIN && sSteadyMs() - put < timeoutMs;
}

enum SyncState : uint8_t {
  kSyncStateInStep = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

const char* sSyncStateName(uint8_t state) {
  switch (state) {
    case kSyncStateStart:
      return "kSyncStateStart";
    case kSyncStateByte1:
      return "kSyncStateByte1";
    case kSyncStateByte2:
      return "kSyncStateByte2";
    case kSyncStateByte3:
      return "kSyncStateByte3";
    case kSyncStateByte4:
      return "kSyncStateByte4";
    default:
      return "kSyncStateInStep";
  }
}

// ---- The table. The mutex guards the list, the identifier counter and every
// use count; it is never held while calling out of this file.
std::mutex gTableMutex;
std::list<LinkPtr> gTable;  // newest first
uint32_t gNextId = 1;
// Serialises creation so two callers cannot both make a link for one device.
std::mutex gCreateMutex;
std::atomic<aLinkClientStreamProc> gClientStreamProc{nullptr};

LinkPtr sLookup(aLinkRef id) {
  if (id == 0) return nullptr;
  std::lock_guard<std::mutex> lock(gTableMutex);
  for (const LinkPtr& link : gTable) {
    if (link->id == id) return link;
  }
  return nullptr;
}

// A live (initialised) link, or null.
LinkPtr sLookupLive(aLinkRef id) {
  LinkPtr link = sLookup(id);
  if (link && link->check.load() != kLinkCheck) return nullptr;
  return link;
}

aLinkRef sCreate2(uint32_t type, uint32_t w0, uint32_t w1, uint32_t w2) {
  auto link = std::make_shared<Link>();
  link->type = type;
  link->words[0] = w0;
  link->words[1] = w1;
  link->words[2] = w2;
  std::lock_guard<std::mutex> lock(gTableMutex);
  // Identifiers are never reused; 0 is skipped when the counter wraps.
  if (gNextId == 0) gNextId = 1;
  link->id = gNextId++;
  gTable.push_front(link);
  aCorvalithDebug_Printf(aDEBUG_LINK, " sCreate2: ident0: %d, ident1: %d, ident2: %d, type: %d, new id: %d\n",
                         static_cast<int>(w0), static_cast<int>(w1), static_cast<int>(w2),
                         static_cast<int>(type), static_cast<int>(link->id));
  return link->id;
}

// Changes the use count; the new count, or -1 for an unknown link. When the
// count reaches 0 and extractAtZero is set, the entry leaves the table and is
// handed to *extracted.
int sChangeUseCount(aLinkRef id, int delta, bool extractAtZero, LinkPtr* extracted) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  for (auto it = gTable.begin(); it != gTable.end(); ++it) {
    if ((*it)->id != id) continue;
    Link& link = **it;
    link.useCount = static_cast<int16_t>(link.useCount + delta);
    int count = link.useCount;
    aCorvalithDebug_Printf(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", static_cast<int>(id), delta,
                           count);
    if (count <= 0 && extractAtZero) {
      if (extracted) *extracted = *it;
      aCorvalithDebug_Printf(aDEBUG_LINK, "sExtractEntry() Links: head=%p, nextID=%d",
                             static_cast<void*>(gTable.front().get()), static_cast<int>(gNextId));
      gTable.erase(it);
      aCorvalithDebug_Printf(aDEBUG_LINK, "  sExtractEntry(%d) -  %d remaining\n", static_cast<int>(id),
                             static_cast<int>(gTable.size()));
      if (gTable.empty()) aCorvalithDebug_Printf(aDEBUG_LINK, "NO MORE LINKS");
    }
    return count;
  }
  return -1;
}

// The existing link for a device, with one more use; 0 when there is none.
// *refused is set when the device is served by a device server.
aLinkRef sReuse(uint32_t type, uint32_t serial, bool* refused) {
  *refused = false;
  std::lock_guard<std::mutex> lock(gTableMutex);
  for (const LinkPtr& link : gTable) {
    if (link->type != type || link->words[0] != serial) continue;
    if (link->server) {
      aCorvalithDebug_Printf(
          aDEBUG_LINK,
          "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" ");
      *refused = true;
      return 0;
    }
    ++link->useCount;
    aCorvalithDebug_Printf(aDEBUG_LINK, "Using already created object:(0x%08X, running:%d, state=%d)",
                           link->id, link->running.load(), link->status.load());
    return link->id;
  }
  return 0;
}

// ---- Packets on the FIFOs.

// Every packet for the out-pipe goes through here, so outPending never
// counts fewer packets than are queued.
aErr sQueueOut(Link& link, const aPacket* packet) {
  link.outPending.fetch_add(1);
  const aErr err = aPacketFifo_Put(link.outFifo.load(), packet);
  if (err != aErrNone) link.outPending.fetch_sub(1);
  return err;
}

void sOutDone(Link& link, size_t packets) {
  // A drop of queued packets can race a put; never wrap below zero.
  size_t pending = link.outPending.load();
  while (!link.outPending.compare_exchange_weak(pending, pending > packets ? pending - packets : 0)) {
  }
}

aErr sPutControl(Link& link, uint8_t address, uint8_t length, const uint8_t* data) {
  static const uint8_t kNone = 0;
  aPacket* packet = aPacket_CreateWithData(address, length, length ? data : &kNone);
  if (!packet) return aErrMemory;
  aErr err = sQueueOut(link, packet);
  (void)aPacket_Destroy(&packet);
  return err;
}

uint8_t sAcceptAll(const aPacket*, const void*) {
  return 1;
}

void sTracePacket(const char* who, const Link& link, const aPacket* packet) {
  if (!aCorvalithDebug_On(aDEBUG_PACKETS)) return;
  std::string bytes;
  char hex[4];
  for (uint8_t i = 0; i < packet->length; ++i) {
    std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", packet->data[i]);
    bytes += hex;
  }
  aCorvalithDebug_Printf(aDEBUG_PACKETS, " %s(%d) ADDR:%02X, LEN:%02X, [%s]\n", who,
                         static_cast<int>(link.id), packet->address, packet->length, bytes.c_str());
}

// ---- In-pipe.

void sSyncStart(Link& link) {
  link.status.store(kLinkStatusSyncing);
  link.syncState = kSyncStateStart;
  aCorvalithDebug_Printf(aDEBUG_LINK, "%s\n", sSyncStateName(kSyncStateStart));
  (void)aPacket_Reset(link.incoming);
  aErr err = aErrNone;
  for (int i = 0; i < kSyncPackets; ++i) err = sPutControl(link, kLinkSyncAddress, 0, nullptr);
  if (err == aErrNone) {
    link.syncState = kSyncStateByte1;
    aCorvalithDebug_Printf(aDEBUG_LINK, "%s\n", sSyncStateName(kSyncStateByte1));
  }
  aCorvalithDebug_Printf(aDEBUG_LINK, "syncStart\n");
}

void sSyncEnter(Link& link, uint8_t state, const char* trace) {
  link.syncState = state;
  aCorvalithDebug_Printf(aDEBUG_LINK, "%s\n", trace ? trace : sSyncStateName(state));
}

void sSyncByte(Link& link, uint8_t byte) {
  aCorvalithDebug_Printf(aDEBUG_LINK, "sByte %d\n", byte);
  switch (link.syncState) {
    case kSyncStateStart:
      sSyncStart(link);
      break;
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        link.syncAddress = byte;
        sSyncEnter(link, kSyncStateByte2, "sync2");
      } else {
        sSyncStart(link);
      }
      break;
    case kSyncStateByte2:
      sSyncEnter(link, byte == 0 ? kSyncStateByte3 : kSyncStateStart, byte == 0 ? "sync3" : nullptr);
      break;
    case kSyncStateByte3:
      sSyncEnter(link, byte == link.syncAddress ? kSyncStateByte4 : kSyncStateStart,
                 byte == link.syncAddress ? "sync4" : nullptr);
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        link.syncState = kSyncStateInStep;
        link.status.store(kLinkStatusRunning);
        aCorvalithDebug_Printf(aDEBUG_LINK, "synced\n");
      } else {
        sSyncEnter(link, kSyncStateStart, nullptr);
      }
      break;
    default:
      aCorvalithDebug_Printf(aDEBUG_LINK, "sync default\n");
      sSyncStart(link);
      break;
  }
}

// True when the packet was a heartbeat and has been answered.
bool sHandleHBBackChannel(Link& link, const aPacket* packet) {
  if (packet->length != 2 || packet->data[0] != 0 || link.heartbeatState != 0) return false;
  const uint8_t h = packet->data[1];
  if (h > 1) return false;
  aCorvalithDebug_Printf(aDEBUG_PACKETS,
                         " sHandleHBBackChannel(%d) ==> received HB packet [data size = %d][%d,%d]\n",
                         static_cast<int>(link.id), packet->length, packet->data[0], packet->data[1]);
  link.heartbeatState = h == 0 ? 2 : 3;
  aCorvalithDebug_Printf(aDEBUG_PACKETS, " sHandleHBBackChannel(%d) %s\n", static_cast<int>(link.id),
                         h == 0 ? "sending HB UP" : "sending HB DOWN");
  const uint8_t answer[2] = {0, static_cast<uint8_t>(h + 2)};
  sPutControl(link, packet->address, 2, answer);
  link.heartbeatState = 0;
  return true;
}

// A caller reading a long reply series takes packets as fast as it is
// scheduled, but an overflow empties the inbound FIFO under it and the
// series is lost. A full FIFO therefore gets a bounded moment to make room;
// with nobody reading, that costs one pause per FIFO's worth of packets.
void sAwaitRoom(Link& link) {
  const aPacketFifoId fifo = link.inFifo.load();
  for (int waitedMs = 0; waitedMs < kFullFifoWaitMs && link.running.load() &&
                         aPacketFifo_GetLength(fifo) >= kPacketFifoCapacity;
       ++waitedMs) {
    aTime_MSSleep(1);
  }
}

aErr sHandlePacket(Link& link) {
  aPacket* packet = link.incoming;
  sTracePacket("sHandlePacket", link, packet);
  aLinkDetail::logPacket(link, kLinkPacketLogIn, packet);
  bool consumed = false;
  {
    std::lock_guard<std::mutex> lock(link.filterMutex);
    if (link.userFilter) consumed = link.userFilter(packet, link.filterReference) != 0;
  }
  aErr err = aErrNone;
  if (!consumed && !sHandleHBBackChannel(link, packet)) {
    sAwaitRoom(link);
    err = aPacketFifo_Put(link.inFifo.load(), packet);
  }
  (void)aPacket_Reset(packet);
  return err;
}

void* sInPipeProcess(void* ref) {
  Link& link = *static_cast<Link*>(ref);
  link.heartbeatState = 0;
  link.syncAddress = 1;
  link.inUp.store(1);
  link.status.store(kLinkStatusRunning);
  link.syncState = kSyncStateInStep;
  aCorvalithDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%d) -- syncing\n", static_cast<int>(link.id));
  while (link.running.load()) {
    uint8_t byte = 0;
    const auto asked = std::chrono::steady_clock::now();
    aErr err = aStream_Read(link.stream, &byte, 1);
    if (err == aErrNotReady) {
      linkStatus status = link.status.load();
      if (status == kLinkStatusSyncing || status == kLinkStatusIOError) sSyncStart(link);
      // A stream that answers "no data" without waiting itself would make
      // this loop spin; give the core back for a moment instead.
      if (std::chrono::steady_clock::now() - asked < std::chrono::milliseconds(kIdleReadMinMs)) {
        aTime_MSSleep(kIdleReadPauseMs);
      }
      continue;
    }
    if (err != aErrNone) {
      aCorvalithDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n",
                             static_cast<int>(link.id), err);
      if (link.status.exchange(kLinkStatusIOError) != kLinkStatusIOError) link.drops.fetch_add(1);
      aTime_MSSleep(kIOErrorPauseMs);
      continue;
    }
    if (link.status.load() == kLinkStatusSyncing) {
      sSyncByte(link, byte);
      continue;
    }
    if (aPacket_AddByte(link.incoming, byte) != aErrNone || (link.incoming->address & 1)) {
      aCorvalithDebug_Printf(aDEBUG_LINK, "Out of sync\n");
      sSyncStart(link);
      continue;
    }
    if (aPacket_IsComplete(link.incoming) && sHandlePacket(link) != aErrNone) {
      link.status.store(kLinkStatusError);
    }
  }
  aCorvalithDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%d) terminating\n", static_cast<int>(link.id));
  return nullptr;
}

// ---- Out-pipe.

// Writes first, and when pooling also what is queued behind it, as one
// block. The caller holds writeLock. Returns how many queued packets it took
// besides first.
size_t sWritePacket(Link& link, const aPacket* first) {
  uint8_t block[kPoolBlock];
  size_t used = 0;
  size_t taken = 0;
  const aPacket* packet = first;
  while (packet) {
    sTracePacket("sOutPipeProcess", link, packet);
    size_t n = 0;
    if (aPacket_GetBytes(packet, block + used, sizeof block - used, &n) == aErrNone) used += n;
    aLinkDetail::logPacket(link, kLinkPacketLogOut, packet);
    if (packet != first) {
      aPacket* owned = const_cast<aPacket*>(packet);
      (void)aPacket_Destroy(&owned);
    }
    packet = nullptr;
    if (!link.pooled.load() || used > kPoolFill) break;
    packet = aPacketFifo_Get(link.outFifo.load());
    if (packet) ++taken;
  }
  if (used == 0) return taken;
  aErr err = aStream_Write(link.stream, block, used);
  if (err != aErrNone) {
    aCorvalithDebug_Printf(aDEBUG_LINK,
                           link.pooled.load() ? "sOutPipeProcess error writing pooled: %d\n"
                                              : "sOutPipeProcess error writing: %d\n",
                           err);
  }
  return taken;
}

// Writes whatever is still queued, route-off included. Bounded by the FIFO's
// capacity; only ever one writer at a time (the out-pipe, or the stopper once
// the out-pipe has ended).
void sDrainOut(Link& link) {
  std::lock_guard<std::mutex> lock(link.writeLock);
  for (size_t i = 0; i < kPacketFifoCapacity; ++i) {
    aPacket* packet = aPacketFifo_Get(link.outFifo.load());
    if (!packet) break;
    sOutDone(link, 1 + sWritePacket(link, packet));
    (void)aPacket_Destroy(&packet);
  }
}

void* sOutPipeProcess(void* ref) {
  Link& link = *static_cast<Link*>(ref);
  link.outUp.store(1);
  while (link.running.load()) {
    aPacket* packet = aPacketFifo_Await(link.outFifo.load(), kOutPipeWaitMs);
    if (!packet) continue;
    {
      std::lock_guard<std::mutex> lock(link.writeLock);
      sOutDone(link, 1 + sWritePacket(link, packet));
    }
    (void)aPacket_Destroy(&packet);
  }
  sDrainOut(link);
  aCorvalithDebug_Printf(aDEBUG_LINK, " sOutPipeProcess(%d) terminating\n", static_cast<int>(link.id));
  return nullptr;
}

// ---- Start, stop, teardown. Callers hold link.control.

// Ends and joins whatever pipe threads a failed start made.
void sAbandonStart(Link& link) {
  link.running.store(0);
  if (link.inThread) (void)aThread_Destroy(&link.inThread);
  if (link.outThread) (void)aThread_Destroy(&link.outThread);
  link.inUp.store(0);
  link.outUp.store(0);
  link.status.store(kLinkStatusStopped);
}

aErr sStartLocked(Link& link) {
  if (link.running.load() && link.inThread && link.outThread) return aErrNone;
  if (!link.stream) return aErrNotReady;
  link.running.store(1);
  link.status.store(kLinkStatusStarting);
  link.heartbeatState = 0;
  link.inUp.store(0);
  link.outUp.store(0);
  link.inThread = aThread_Create(sInPipeProcess, &link);
  link.outThread = link.inThread ? aThread_Create(sOutPipeProcess, &link) : nullptr;
  if (!link.inThread || !link.outThread) {
    sAbandonStart(link);
    return aErrResource;
  }
  bool up = false;
  for (int i = 0; i < kPollRounds && !up; ++i) {
    aTime_MSSleep(kPollIntervalMs);
    up = link.inUp.load() && link.outUp.load() && link.status.load() == kLinkStatusRunning;
  }
  const uint8_t on = 1;
  aErr err = up ? sPutControl(link, kLinkRouteAddress, 1, &on) : aErrIndexRange;
  if (err != aErrNone) sAbandonStart(link);
  return err;
}

aErr sStopLocked(Link& link) {
  linkStatus status = link.status.load();
  if (status == kLinkStatusStopped || status == kLinkStatusStopping) return aErrNone;
  link.status.store(kLinkStatusStopping);
  if (!link.inThread || !link.outThread) {
    link.status.store(link.stream ? kLinkStatusStopped : kLinkStatusNoStream);
    return aErrNone;
  }
  // Running goes off first: the route-off put then wakes an out-pipe that
  // waits on its FIFO, and it leaves at once after flushing what is queued.
  link.running.store(0);
  // A transport whose gets wait long (a client stream: 1 s) lets the
  // in-pipe see running go off now rather than at its next byte.
  aStream_Interrupt(link.stream);
  const uint8_t off = 0;
  sPutControl(link, kLinkRouteAddress, 1, &off);
  aErr err = aErrNone;
  if (aThread_Destroy(&link.inThread) != 0) err = aErrUnknown;
  if (aThread_Destroy(&link.outThread) != 0) err = aErrUnknown;
  // The out-pipe may have seen running go off and drained before the
  // route-off above was queued; the module must still hear it.
  sDrainOut(link);
  link.inUp.store(0);
  link.outUp.store(0);
  (void)aPacket_Reset(link.incoming);
  link.status.store(kLinkStatusStopped);
  link.heartbeatState = 0;
  return err;
}

// Frees what aLink_Init made; the stream too when freeStream is set. The
// result is that of destroying the outbound FIFO.
aErr sReleaseParts(Link& link, bool freeStream) {
  aPacketFifoId in = link.inFifo.exchange(0);
  aPacketFifoId out = link.outFifo.exchange(0);
  if (in) (void)aPacketFifo_Destroy(&in);
  aErr err = out ? aPacketFifo_Destroy(&out) : aErrNone;
  if (link.incoming) (void)aPacket_Destroy(&link.incoming);
  {
    std::lock_guard<std::mutex> lock(link.filterMutex);
    link.userFilter = nullptr;
    link.filterReference = nullptr;
  }
  aLinkDetail::destroyPacketLog(link);
  if (freeStream && link.stream) {
    aCorvalithDebug_Printf(aDEBUG_LINK, " Destroy stream\n");
    (void)aStream_Destroy(&link.stream);
  }
  return err;
}

// A link whose re-initialisation failed has no FIFOs to run on: free what
// was made and clear the check value, so later calls refuse it instead of
// using it half-built.
void sRetire(Link& link) {
  (void)sReleaseParts(link, true);
  link.check.store(0);
}

// Sets up the record; the caller holds link.control and the link is stopped.
aErr sInitLocked(Link& link, aStreamRef stream) {
  link.check.store(kLinkCheck);
  link.running.store(0);
  link.status.store(stream ? kLinkStatusStopped : kLinkStatusNoStream);
  link.stream = stream;
  link.inFifo.store(aPacketFifo_Create());
  link.outFifo.store(aPacketFifo_Create());
  link.incoming = aPacket_Create();
  link.pooled.store(false);
  link.logSize = 0;
  if (!link.inFifo.load() || !link.outFifo.load() || !link.incoming) return aErrMemory;
  return aErrNone;
}

aErr sTeardown(const LinkPtr& link) {
  aCorvalithDebug_Printf(aDEBUG_LINK, "aLink_Destroy(%d) destroy link item\n", static_cast<int>(link->id));
  std::lock_guard<std::mutex> control(link->control);
  {
    std::lock_guard<std::mutex> lock(link->filterMutex);
    link->userFilter = nullptr;
  }
  aErr err = aErrNone;
  if (link->check.load() == kLinkCheck) sStopLocked(*link);
  void* server = nullptr;
  aLinkServerDestroyProc destroyServer = nullptr;
  aLinkRef parent = 0;
  {
    std::lock_guard<std::mutex> lock(gTableMutex);
    std::swap(server, link->server);
    std::swap(destroyServer, link->serverDestroy);
    std::swap(parent, link->parent);
  }
  if (server && destroyServer) destroyServer(&server);
  if (parent) (void)aLink_Destroy(&parent);
  err = sReleaseParts(*link, true);
  link->check.store(0);
  return err;
}

// Creation failed after the entry was made: take it out again.
void sDiscard(aLinkRef id) {
  LinkPtr extracted;
  sChangeUseCount(id, -1, true, &extracted);
  if (extracted) sTeardown(extracted);
}

// Initialise, give one use and start a new entry; on failure the entry is
// discarded and false returned. badInitTrace (may be null) is the creator's
// trace for an entry that vanished before initialisation.
bool sBringUp(aLinkRef id, aStreamRef stream, const char* badInitTrace) {
  if (aLink_Init(id, stream) != id) {
    // Only a vanished entry answers with another identifier.
    if (badInitTrace) aCorvalithDebug_Printf(aDEBUG_LINK, badInitTrace, aErrConnection);
    if (stream) (void)aStream_Destroy(&stream);
    sDiscard(id);
    return false;
  }
  sChangeUseCount(id, +1, false, nullptr);
  aErr err = aLink_Start(id);
  if (err != aErrNone) {
    sDiscard(id);
    return false;
  }
  return true;
}

aErr sRecreateStream(const Link& link, aStreamRef* stream) {
  switch (link.type) {
    case USB:
      aCorvalithDebug_Printf(aDEBUG_LINK, " recreate USB stream\n");
      return aStream_CreateUSB(link.words[0], stream);
    case TCPIP:
      aCorvalithDebug_Printf(aDEBUG_LINK, " recreate TCPIP stream\n");
      return aStream_CreateSocket(link.words[1], static_cast<uint16_t>(link.words[2]), stream);
    case AWEFT:
    case AWEFT_USB:
    case AWEFT_TCPIP:
    case AWEFT_SERIAL: {
      aCorvalithDebug_Printf(aDEBUG_LINK, " recreate aWeft stream\n");
      aLinkClientStreamProc proc = gClientStreamProc.load();
      if (!proc) return aErrUnimplemented;
      return proc(link.words[0], static_cast<uint16_t>(link.words[1]), stream);
    }
    default:
      aCorvalithDebug_Printf(aDEBUG_LINK, " recreate invalid stream type\n");
      return aErrParam;
  }
}

}  // namespace

// ---- Creation.

namespace {

// Opens the stream of a new link; runs without the creation lock held, since
// a connect may wait for its bound.
using StreamOpener = aErr (*)(const uint32_t* words, const void* context, aStreamRef* stream);

// The one creation path. A device link (reuse set) is shared by every caller
// for the same device; the stream is opened outside the lock and a link that
// another caller made meanwhile wins, the surplus stream is closed again.
aLinkRef sCreateLink(uint32_t type, const uint32_t (&words)[3], bool reuse, StreamOpener open,
                     const void* context, aStreamRef given) {
  bool refused = false;
  if (reuse) {
    std::lock_guard<std::mutex> create(gCreateMutex);
    aLinkRef id = sReuse(type, words[0], &refused);
    if (id || refused) return id;
  }
  aStreamRef stream = given;
  aErr err = open ? open(words, context, &stream) : aErrNone;
  std::unique_lock<std::mutex> create(gCreateMutex);
  if (reuse) {
    aLinkRef id = sReuse(type, words[0], &refused);
    if (id || refused) {
      if (stream && err == aErrNone) (void)aStream_Destroy(&stream);
      return id;
    }
  }
  if (err != aErrNone || !stream) {
    aCorvalithDebug_Printf(aDEBUG_LINK, " link type %d: error creating stream %d\n", static_cast<int>(type),
                           err);
    return 0;
  }
  aLinkRef id = sCreate2(type, words[0], words[1], words[2]);
  if (!sBringUp(id, stream, nullptr)) {
    aCorvalithDebug_Printf(aDEBUG_LINK, " leaving link creation (bad)(%08X)\n", words[0]);
    return 0;
  }
  create.unlock();
  // A USB device may be mid-packet from an earlier user; line up first. A
  // failed handshake is not fatal: the in-pipe keeps trying.
  if (type == USB) (void)aLink_Sync(id);
  return id;
}

aErr sOpenUSB(const uint32_t* words, const void*, aStreamRef* stream) {
  return aStream_CreateUSB(words[0], stream);
}

aErr sOpenSocket(const uint32_t* words, const void*, aStreamRef* stream) {
  return aStream_CreateSocket(words[1], static_cast<uint16_t>(words[2]), stream);
}

struct SerialTarget {
  const char* path;
  uint32_t baudIndex;
};

aErr sOpenSerial(const uint32_t*, const void* context, aStreamRef* stream) {
  const auto* target = static_cast<const SerialTarget*>(context);
  return aStream_CreateSerial_Packetized(target->path, target->baudIndex, false, 0, 0, stream);
}

}  // namespace

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
  aCorvalithDebug_Printf(aDEBUG_LINK, " aLink_CreateUSB(%08X)\n", serialNumber);
  return sCreateLink(USB, {serialNumber, 0, 0}, true, sOpenUSB, nullptr, nullptr);
}

aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
  aCorvalithDebug_Printf(aDEBUG_LINK, "aLink_CreateTCPIP: SN: %d, address: %d, port: %d\n)",
                         static_cast<int>(serialNumber), static_cast<int>(address), port);
  return sCreateLink(TCPIP, {serialNumber, address, port}, true, sOpenSocket, nullptr, nullptr);
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* path, uint32_t baudRate) {
  aCorvalithDebug_Printf(aDEBUG_LINK, " aLink_CreateSerial(%s)\n", path ? path : "(null)");
  const uint32_t baudIndex = aStream_SerialBaudIndex(baudRate);
  if (!path || baudIndex == UINT32_MAX) {
    aCorvalithDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateSerial(%08X) ==> %d\n", serialNumber,
                           aErrParam);
    return 0;
  }
  const SerialTarget target{path, baudIndex};
  return sCreateLink(SERIAL, {serialNumber, 0, 0}, true, sOpenSerial, &target, nullptr);
}

aLinkRef aLink_Create(aStreamRef stream) {
  aCorvalithDebug_Printf(aDEBUG_LINK, "aLink_Create(%08X) OLD VERSION", kLinkStreamKey);
  if (!stream) return 0;
  return sCreateLink(kLinkTypeStream, {kLinkStreamKey, 0, 0}, false, nullptr, nullptr, stream);
}

// ---- Control.

aLinkRef aLink_Init(aLinkRef id, aStreamRef stream) {
  LinkPtr link = sLookup(id);
  aCorvalithDebug_Printf(aDEBUG_LINK, "aLink_Init(%d, %p)\n", static_cast<int>(id),
                         static_cast<void*>(stream));
  if (!link) return 0;
  std::lock_guard<std::mutex> control(link->control);
  if (link->check.load() == kLinkCheck) {
    sStopLocked(*link);
    aStreamRef old = link->stream;
    link->stream = nullptr;
    sReleaseParts(*link, false);
    if (old && old != stream) (void)aStream_Destroy(&old);
  }
  if (sInitLocked(*link, stream) != aErrNone) {
    link->stream = nullptr;  // the caller still owns it
    sReleaseParts(*link, false);
    link->check.store(0);
    return 0;
  }
  aCorvalithDebug_Printf(aDEBUG_LINK, " leaving aLink_Init(%d, %p)", static_cast<int>(id),
                         static_cast<void*>(stream));
  return id;
}

aErr aLink_Start(aLinkRef id) {
  aCorvalithDebug_Printf(aDEBUG_LINK, " aLink_Start(%d)\n", static_cast<int>(id));
  LinkPtr link = sLookupLive(id);
  if (!link) return aErrParam;
  aErr err;
  {
    std::lock_guard<std::mutex> control(link->control);
    err = sStartLocked(*link);
  }
  if (err != aErrNone) {
    aCorvalithDebug_Printf(aDEBUG_LINK, " leaving aLink_Start(%d)==> error: %d\n", static_cast<int>(id), err);
  }
  return err;
}

aErr aLink_Stop(aLinkRef id) {
  aCorvalithDebug_Printf(aDEBUG_LINK, " aLink_Stop(%d)\n", static_cast<int>(id));
  LinkPtr link = sLookupLive(id);
  if (!link) return aErrParam;
  aErr err;
  {
    std::lock_guard<std::mutex> control(link->control);
    err = sStopLocked(*link);
  }
  aCorvalithDebug_Printf(aDEBUG_LINK, " leaving aLink_Stop(%d)==>%d\n", static_cast<int>(id), err);
  return err;
}

aErr aLink_Destroy(aLinkRef* id) {
  if (!id) return aErrParam;
  const aLinkRef target = *id;
  *id = 0;
  aCorvalithDebug_Printf(aDEBUG_LINK, "aLink_Destroy(%d)\n", static_cast<int>(target));
  LinkPtr extracted;
  int count = sChangeUseCount(target, -1, true, &extracted);
  if (count < 0) return aErrParam;
  if (!extracted) {
    aCorvalithDebug_Printf(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", count);
    return aErrNone;
  }
  return sTeardown(extracted);
}

aErr aLink_ResetLink(aLinkRef id) {
  aCorvalithDebug_Printf(aDEBUG_LINK, "aLink_Reset(%d)\n", static_cast<int>(id));
  LinkPtr link = sLookupLive(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> control(link->control);
  sStopLocked(*link);
  sReleaseParts(*link, true);
  aStreamRef stream = nullptr;
  aErr err = aErrParam;
  // Each TCP attempt may wait out its connect bound, so the attempts share
  // one deadline as well.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kResetDeadlineMs);
  for (int attempt = 0; attempt < kResetAttempts; ++attempt) {
    err = sRecreateStream(*link, &stream);
    if (err == aErrNone || err == aErrParam || err == aErrUnimplemented) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    aTime_MSSleep(kResetRetryMs);
  }
  if (err != aErrNone) {
    // Stay stopped rather than run pipes over no stream; fresh FIFOs keep the
    // link usable for a later reset.
    aCorvalithDebug_Printf(aDEBUG_LINK, " ERROR - could not recreate stream: %d\n", err);
    if (sInitLocked(*link, nullptr) != aErrNone) sRetire(*link);
    return err;
  }
  if (sInitLocked(*link, stream) != aErrNone) {
    sRetire(*link);
    return aErrMemory;
  }
  return sStartLocked(*link);
}

aErr aLink_Reset(aLinkRef id) {
  return aLink_ResetLink(id);
}

aErr aLink_Sync(aLinkRef id) {
  aCorvalithDebug_Printf(aDEBUG_LINK, " aLink_Sync(%d)\n", static_cast<int>(id));
  LinkPtr link = sLookupLive(id);
  if (!link) return aErrParam;
  link->status.store(kLinkStatusSyncing);
  aErr err = aErrNotReady;
  for (int i = 0; i < kPollRounds; ++i) {
    aTime_MSSleep(kPollIntervalMs);
    if (link->status.load() == kLinkStatusRunning) {
      err = aErrNone;
      break;
    }
  }
  // Leftover handshake packets: unsent queries, then the surplus answers.
  sOutDone(*link, aPacketFifo_DrainPackets(link->outFifo.load(), sAcceptAll, nullptr));
  aTime_MSSleep(kSyncSettleMs);
  aPacketFifo_DrainPackets(link->inFifo.load(), sAcceptAll, nullptr);
  return err;
}

aErr aLink_ForceRoute(aLinkRef id, bool on) {
  aCorvalithDebug_Printf(aDEBUG_LINK, " aLink_ForceRoute(%d)\n", static_cast<int>(id));
  LinkPtr link = sLookup(id);
  if (!link) return aErrNotFound;
  if (link->check.load() != kLinkCheck) return aErrParam;
  const uint8_t flag = on ? 1 : 0;
  return sPutControl(*link, kLinkRouteAddress, 1, &flag);
}

linkStatus aLink_GetStatus(aLinkRef id) {
  LinkPtr link = sLookupLive(id);
  return link ? link->status.load() : kLinkStatusNoStream;
}

uint32_t aLink_GetDropCount(aLinkRef id) {
  LinkPtr link = sLookupLive(id);
  return link ? link->drops.load() : 0;
}

// ---- Packets.

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet) {
  LinkPtr link = sLookupLive(id);
  if (!link) return aErrParam;
  if (packet && link->running.load() && link->status.load() == kLinkStatusRunning) {
    link->lastStepPutMs.store(sSteadyMs());
  }
  if (packet && !link->pooled.load() && link->running.load() && link->outUp.load()) {
    // Stopping takes writeLock before the stream can go (sDrainOut), so a
    // running link's stream outlives this write.
    std::lock_guard<std::mutex> lock(link->writeLock);
    if (link->outPending.load() == 0 && link->running.load() && link->stream) {
      sOutDone(*link, sWritePacket(*link, packet));
      return aErrNone;
    }
  }
  return sQueueOut(*link, packet);
}

size_t aLink_GetOutboundLength(aLinkRef id) {
  LinkPtr link = sLookupLive(id);
  return link ? aPacketFifo_GetLength(link->outFifo.load()) : 0;
}

aPacket* aLink_GetPacket(aLinkRef id) {
  LinkPtr link = sLookupLive(id);
  return link ? aPacketFifo_Get(link->inFifo.load()) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef id, int32_t timeoutMs) {
  LinkPtr link = sLookupLive(id);
  return link ? aPacketFifo_Await(link->inFifo.load(), timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef id, aPacketFilter filter, const void* reference) {
  LinkPtr link = sLookupLive(id);
  return link ? aPacketFifo_GetFirst(link->inFifo.load(), filter, reference) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilter filter, const void* reference, int32_t timeoutMs) {
  LinkPtr link = sLookupLive(id);
  if (!link) return nullptr;
  const auto start = std::chrono::steady_clock::now();
  const aPacketFifoId fifo = link->inFifo.load();
  // Carried over the slices, so each packet meets the filter once per wait.
  aPacketFifoCursor cursor;
  aPacket* found = nullptr;
  // Only the start needs the link in step, or the request before it: a stray
  // byte that makes the link resynchronise mid-wait, or between the request
  // and the wait, must not cost the caller a reply that comes after the
  // handshake. Bounded by the time-out: every slice waits or the loop ends,
  // and a destroyed FIFO (teardown, reset) ends it at once.
  bool waiting = sAwaitsReply(*link, timeoutMs);
  while (!found && waiting) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    if (elapsed >= timeoutMs) break;
    const int32_t remaining = static_cast<int32_t>(timeoutMs - elapsed);
    found = aPacketFifo_AwaitFirstFrom(fifo, filter, reference,
                                       remaining < kAwaitSliceMs ? remaining : kAwaitSliceMs, &cursor);
    waiting = link->running.load() && link->inFifo.load() == fifo;
  }
  // A reply that arrived just before the link dropped out of step is still
  // the caller's: hand over what is queued, only the waiting stops. Packets
  // the filter already refused are not offered again.
  if (!found) found = aPacketFifo_AwaitFirstFrom(fifo, filter, reference, 0, &cursor);
  return found;
}

bool aLink_AwaitsReply(aLinkRef id, int32_t timeoutMs) {
  LinkPtr link = sLookupLive(id);
  return link && sAwaitsReply(*link, timeoutMs);
}

size_t aLink_DrainPackets(aLinkRef id, aPacketFilter filter, const void* reference) {
  LinkPtr link = sLookupLive(id);
  return link ? aPacketFifo_DrainPackets(link->inFifo.load(), filter, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkRef id, aPacketFilter filter, const void* reference) {
  LinkPtr link = sLookupLive(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> lock(link->filterMutex);
  link->userFilter = filter;
  link->filterReference = filter ? reference : nullptr;
  return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkRef id, bool pooled) {
  LinkPtr link = sLookupLive(id);
  if (!link) return aErrParam;
  link->pooled.store(pooled);
  return aErrNone;
}

// ---- Table access for device sharing.

aLinkRef aLink_CreateEntry(uint32_t type, uint32_t word0, uint32_t word1, uint32_t word2) {
  return sCreate2(type, word0, word1, word2);
}

aLinkRef aLink_FindEntry(uint32_t type, uint32_t word0) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  for (const LinkPtr& link : gTable) {
    if (link->type == type && link->words[0] == word0) return link->id;
  }
  return 0;
}

aErr aLink_AddUse(aLinkRef id) {
  return sChangeUseCount(id, +1, false, nullptr) < 0 ? aErrParam : aErrNone;
}

int aLink_GetUseCount(aLinkRef id) {
  std::lock_guard<std::mutex> lock(gTableMutex);
  for (const LinkPtr& link : gTable) {
    if (link->id == id) return link->useCount;
  }
  return -1;
}

aErr aLink_AttachServer(aLinkRef id, void* server, aLinkServerDestroyProc destroy) {
  LinkPtr link = sLookup(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> lock(gTableMutex);
  link->server = server;
  link->serverDestroy = destroy;
  return aErrNone;
}

aErr aLink_SetParent(aLinkRef id, aLinkRef parent) {
  LinkPtr link = sLookup(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> lock(gTableMutex);
  link->parent = parent;
  return aErrNone;
}

void aLink_SetClientStreamProc(aLinkClientStreamProc proc) {
  gClientStreamProc.store(proc);
}

namespace aLinkDetail {

LinkPtr lookupLive(aLinkRef id) {
  return sLookupLive(id);
}

}  // namespace aLinkDetail
