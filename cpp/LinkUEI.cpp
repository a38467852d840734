// The UEI exchange of a Link: sending UEIs (single packets and UEI-bytes
// series), the UEI filter and the filtered wait for a reply.
#include <chrono>
#include <cstring>

#include "common/aDebug.h"
#include "common/aPacketFifo.h"
#include "cpp/Link.h"
#include "cpp/LinkImpl.h"
#include "unix/aOS.h"

namespace Tessaron {
namespace Corvalith {

namespace {

// Data bytes before the value: command, option, index.
constexpr uint8_t kUEIHeader = 3;

bool sModuleAddressOk(uint8_t module) {
  return module != 0 && (module & 1) == 0;
}

// Appends the value of a scalar UEI; false for a type that has no scalar
// value.
bool sAppendValue(const uei& u, uint8_t* bytes, uint8_t* length) {
  switch (u.type) {
    case VOID:
      return true;
    case BYTE:
      bytes[(*length)++] = u.v.byteVal;
      return true;
    case SHORT:
      aUEI_StoreShort(bytes + *length, u.v.shortVal);
      *length = static_cast<uint8_t>(*length + 2);
      return true;
    case INT:
      aUEI_StoreInt(bytes + *length, u.v.intVal);
      *length = static_cast<uint8_t>(*length + 4);
      return true;
    default:
      return false;
  }
}

// A long UEI-bytes series is handed to the out-pipe no faster than it drains:
// the outbound queue empties itself when it overflows, which would silently
// cut the series. A queue that makes no progress for this long fails it.
constexpr size_t kUEIBytesWindow = kPacketFifoCapacity / 2;
constexpr int kUEIBytesStallMs = 2000;
constexpr int kUEIBytesPollMs = 1;

aErr sAwaitOutboundRoom(aLinkRef id) {
  size_t queued = aLink_GetOutboundLength(id);
  auto progress = std::chrono::steady_clock::now();
  // Bounded: the deadline moves only when the queue shrinks.
  while (queued >= kUEIBytesWindow) {
    if (std::chrono::steady_clock::now() - progress >= std::chrono::milliseconds(kUEIBytesStallMs)) {
      return aErrTimeout;
    }
    aTime_MSSleep(kUEIBytesPollMs);
    const size_t now = aLink_GetOutboundLength(id);
    if (now < queued) progress = std::chrono::steady_clock::now();
    queued = now;
  }
  return aErrNone;
}

aErr sPut(aLinkRef id, uint8_t module, uint8_t length, const uint8_t* bytes) {
  aPacket* packet = aPacket_CreateWithData(module, length, bytes);
  if (packet == nullptr) return aErrResource;
  const aErr err = aLink_PutPacket(id, packet);
  (void)aPacket_Destroy(&packet);
  return err;
}

// The byte array as packets of at most 24 bytes, each with its trailer; an
// empty array is one packet with trailer 0.
aErr sSendBytes(aLinkRef id, const uei& u) {
  const uint32_t total = u.v.bytesVal.length;
  uint32_t sent = 0;
  uint32_t counter = 0;
  bool more = true;
  aErr err = aErrNone;
  while (more && err == aErrNone) {
    const uint32_t left = total - sent;
    const uint8_t part = static_cast<uint8_t>(left < kUEIBytesPart ? left : kUEIBytesPart);
    more = sent + part < total;
    uint8_t bytes[kMaxPacketData] = {u.command, u.option, u.specifier};
    if (part > 0) std::memcpy(bytes + kUEIHeader, u.v.bytesVal.data + sent, part);
    bytes[kUEIHeader + part] =
        static_cast<uint8_t>((more ? kUEIBytesMore : 0) | (counter & kUEIBytesSequenceMask));
    err = sAwaitOutboundRoom(id);
    if (err == aErrNone) err = sPut(id, u.module, static_cast<uint8_t>(kUEIHeader + part + 1), bytes);
    sent += part;
    ++counter;
  }
  return err;
}

// The UEI filter on a copy of the description, so that draining goes on
// matching after the filter has written an error reply into the record.
uint8_t sDropFilter(const aPacket* packet, const void* reference) {
  uei copy = *static_cast<const uei*>(reference);
  return Link::ueiFilter(packet, &copy);
}

}  // namespace

aErr Link::sendUEI(const uei& u) {
  if (!isConnected()) return aErrConnection;
  if (!sModuleAddressOk(u.module)) return aErrPacket;
  const aLinkRef id = m_impl->linkId.load();
  if (u.type == BYTES) {
    if (u.v.bytesVal.data == nullptr && u.v.bytesVal.length > 0) return aErrParam;
    return sSendBytes(id, u);
  }
  uint8_t bytes[kMaxPacketData] = {u.command, u.option, u.specifier};
  uint8_t length = kUEIHeader;
  if (!sAppendValue(u, bytes, &length)) return aErrParam;
  return sPut(id, u.module, length, bytes);
}

aErr Link::sendUEI(const uei& u, uint8_t subindex) {
  if (!isConnected()) return aErrConnection;
  if (!sModuleAddressOk(u.module)) return aErrPacket;
  uint8_t bytes[kMaxPacketData] = {u.command, u.option, u.specifier, subindex};
  uint8_t length = kUEIHeader + 1;
  // A byte array cannot follow a subindex; it goes without value.
  if (u.type != BYTES && !sAppendValue(u, bytes, &length)) return aErrParam;
  return sPut(m_impl->linkId.load(), u.module, length, bytes);
}

uint8_t Link::ueiFilter(const aPacket* packet, const void* reference) {
  // The reference is the caller's record, written only when a packet is
  // taken; the caller reads it after the wait returns.
  uei* u = static_cast<uei*>(const_cast<void*>(reference));
  if (packet->address != u->module || packet->length <= kUEIHeader - 1) return 0;
  const uint8_t* d = packet->data;
  if (d[0] != u->command || d[1] != u->option || (d[2] & kUEIIndexMask) != u->specifier) return 0;
  if (d[2] & kUEIError) {
    u->specifier = d[2];
    // An error reply without its code byte still reports an error.
    u->v.byteVal = packet->length > kUEIHeader ? d[3] : aErrUnknown;
    return 1;
  }
  switch (packet->length) {
    case 3:
      u->type = VOID;
      break;
    case 4:
      u->type = BYTE;
      u->v.byteVal = d[3];
      break;
    case 5:
      u->type = SHORT;
      u->v.shortVal = aUEI_RetrieveShort(d + 3);
      break;
    case 7:
      u->type = INT;
      u->v.intVal = aUEI_RetrieveInt(d + 3);
      break;
    default:
      break;
  }
  return 1;
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* u) {
  return receiveUEI(module, command, option, index, u, ueiFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* u,
                      aPacketFilter filter) {
  return receiveUEI(module, command, option, index, u, filter, u);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* u, aPacketFilter filter,
                      void* filterReference) {
  // A link that lost step may still hold the reply (a module that answers
  // and then reboots), so only a missing link is refused before looking.
  if (!m_impl || m_impl->linkId.load() == 0) return aErrConnection;
  if (!sModuleAddressOk(module)) return aErrPacket;
  if (u == nullptr || filter == nullptr || filterReference == nullptr) return aErrParam;
  int32_t timeoutMs = kLinkReplyTimeoutMs;
  if (u->type == BYTES && u->v.bytesVal.length > kLinkLargePayload) {
    timeoutMs = kLinkLargeReplyTimeoutMs;
    aCorvalithDebug_Printf(aDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
                           static_cast<unsigned long>(timeoutMs));
  }
  // Not in step at the start (nor when the request went out): only a queued
  // reply is taken, and none is a connection error. A link that loses step
  // after the request has still waited the whole time-out.
  const bool inStep = aLink_AwaitsReply(m_impl->linkId.load(), timeoutMs);
  aPacket* packet = aLink_AwaitFirst(m_impl->linkId.load(), filter, filterReference, timeoutMs);
  if (packet == nullptr) return inStep ? aErrTimeout : aErrConnection;
  (void)aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  if (!isConnected()) return aErrConnection;
  if (!sModuleAddressOk(module)) return aErrPacket;
  uei u{};
  u.module = module;
  u.command = command;
  u.option = option;
  u.specifier = index;
  u.type = VOID;
  (void)aLink_DrainPackets(m_impl->linkId.load(), sDropFilter, &u);
  return aErrNone;
}

}  // namespace Corvalith
}  // namespace Tessaron
