// The link's packet debug buffer: a byte ring of records, each one byte of
// kind, one byte of length and the bytes. Writers drop the oldest records to
// make room. Every access, the pipes' included, holds the link's log mutex:
// the in-pipe and the out-pipe both append, and two unlocked writers would
// interleave their records.
#include <new>

#include "common/aLinkPrivate.h"

namespace {

using aLinkDetail::Link;
using aLinkDetail::PacketLog;

size_t sUsed(const PacketLog& log) {
  const size_t cap = log.ring.size();
  return (log.write + cap - log.read) % cap;
}

uint8_t sAt(const PacketLog& log, size_t offset) {
  return log.ring[(log.read + offset) % log.ring.size()];
}

void sDropOldest(PacketLog& log) {
  const size_t n = sAt(log, 1);
  log.read = (log.read + 2 + n) % log.ring.size();
}

aErr sAppend(PacketLog& log, uint8_t kind, size_t length, const uint8_t* bytes) {
  const size_t cap = log.ring.size();
  if (length + 2 >= cap) return aErrOverrun;
  // Strictly less, so the write index never catches up with the read index.
  while (!(length + 2 < cap - sUsed(log))) sDropOldest(log);
  log.ring[log.write] = kind;
  log.ring[(log.write + 1) % cap] = static_cast<uint8_t>(length);
  for (size_t i = 0; i < length; ++i) log.ring[(log.write + 2 + i) % cap] = bytes[i];
  log.write = (log.write + 2 + length) % cap;
  return aErrNone;
}

}  // namespace

namespace aLinkDetail {

void logPacket(Link& link, uint8_t kind, const aPacket* packet) {
  if (!link.hasLog.load(std::memory_order_acquire)) return;
  uint8_t bytes[kMaxPacketBytes];
  size_t n = 0;
  if (aPacket_GetBytes(packet, bytes, sizeof bytes, &n) != aErrNone) return;
  std::lock_guard<std::mutex> lock(link.logMutex);
  if (link.log) sAppend(*link.log, kind, n, bytes);
}

void destroyPacketLog(Link& link) {
  std::lock_guard<std::mutex> lock(link.logMutex);
  link.hasLog.store(false);
  link.log.reset();
  link.logSize = 0;
}

}  // namespace aLinkDetail

aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int32_t size) {
  aLinkDetail::LinkPtr link = aLinkDetail::lookupLive(id);
  if (!link || size > kLinkPacketLogMaxSize) return aErrParam;
  std::lock_guard<std::mutex> lock(link->logMutex);
  if (link->log) return aErrBusy;
  link->logSize = size < 0 ? 0 : size;
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkRef id) {
  aLinkDetail::LinkPtr link = aLinkDetail::lookupLive(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> lock(link->logMutex);
  if (!link->log) {
    auto log = std::unique_ptr<PacketLog>(new (std::nothrow) PacketLog);
    if (!log) return aErrResource;
    const size_t size = link->logSize > 0 ? static_cast<size_t>(link->logSize) : kLinkPacketLogDefaultSize;
    try {
      log->ring.assign(size, 0);
    } catch (const std::bad_alloc&) {
      return aErrResource;
    }
    link->log = std::move(log);
    link->hasLog.store(true, std::memory_order_release);
  }
  link->log->enabled = true;
  return aErrNone;
}

aErr aLink_PacketDebug_Disable(aLinkRef id) {
  aLinkDetail::LinkPtr link = aLinkDetail::lookupLive(id);
  if (!link) return aErrParam;
  std::lock_guard<std::mutex> lock(link->logMutex);
  if (!link->log) return aErrNotReady;
  link->log->enabled = false;
  return aErrNone;
}

aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* kind, uint32_t* length, uint8_t* buffer) {
  aLinkDetail::LinkPtr link = aLinkDetail::lookupLive(id);
  if (!link || !kind || !length) return aErrParam;
  std::lock_guard<std::mutex> lock(link->logMutex);
  if (!link->log) return aErrNotReady;
  PacketLog& log = *link->log;
  if (sUsed(log) == 0) return aErrNotFound;
  const uint32_t n = sAt(log, 1);
  if (n > *length || (n > 0 && !buffer)) {
    *length = n;
    return aErrOverrun;
  }
  *kind = sAt(log, 0);
  for (uint32_t i = 0; i < n; ++i) buffer[i] = sAt(log, 2 + i);
  *length = n;
  sDropOldest(log);
  return aErrNone;
}

aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t kind, uint32_t length, const uint8_t* bytes) {
  aLinkDetail::LinkPtr link = aLinkDetail::lookupLive(id);
  if (!link || length > 255 || (length > 0 && !bytes)) return aErrParam;
  std::lock_guard<std::mutex> lock(link->logMutex);
  if (!link->log) return aErrNotReady;
  return sAppend(*link->log, kind, length, bytes);
}
