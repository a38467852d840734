// Store slots and factory data of a Link: plain request/reply sequences of
// raw packets on the caller's thread.
#include <cstring>

#include "cpp/Link.h"
#include "cpp/LinkImpl.h"

namespace Tessaron {
namespace Corvalith {

namespace {

// Store-slot packets: command byte 4, then the option, then store and slot
// (options 1 to 4) or the handle (options 5 to 8).
constexpr uint8_t kSlotCommand = 4;
constexpr uint8_t kSlotCapacity = 1;
constexpr uint8_t kSlotSize = 2;
constexpr uint8_t kSlotOpenRead = 3;
constexpr uint8_t kSlotOpenWrite = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kSlotWrite = 7;
constexpr uint8_t kSlotClose = 8;
constexpr uint8_t kSlotError = 0x80;
constexpr uint8_t kSlotNoHandle = 255;
// Data bytes of one write: command, option and handle leave 25.
constexpr size_t kSlotChunk = kMaxPacketData - 3;
constexpr int32_t kSlotOpenTimeoutMs = 3000;

// Factory packets: command byte 0x5E, then the factory command (low 4 bits)
// with the flags below.
constexpr uint8_t kFactoryCommand = 0x5E;
constexpr uint8_t kFactoryCommandMask = 0x0F;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryClose = 0x20;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryError = 0x80;
// Data bytes of one write: command and option leave 26.
constexpr size_t kFactoryChunk = kMaxPacketData - 2;
constexpr size_t kFactoryMaxLength = 0xFFFF;

bool sModuleAddressOk(uint8_t module) {
  return module != 0 && (module & 1) == 0;
}

struct SlotReply {
  uint8_t module;
  uint8_t option;
  uint8_t first;   // store, or the handle for options 5 to 8
  uint8_t second;  // slot
};

uint8_t sSlotFilter(const aPacket* packet, const void* reference) {
  const SlotReply* r = static_cast<const SlotReply*>(reference);
  if (packet->address != r->module || packet->length <= 3) return 0;
  const uint8_t* d = packet->data;
  if (d[0] != kSlotCommand || (d[1] & static_cast<uint8_t>(~kSlotError)) != r->option) return 0;
  if (r->option <= kSlotOpenWrite) return d[2] == r->first && d[3] == r->second;
  return d[2] == r->first;
}

struct FactoryReply {
  uint8_t module;
  uint8_t command;  // low 4 bits of the request's option
};

uint8_t sFactoryFilter(const aPacket* packet, const void* reference) {
  const FactoryReply* r = static_cast<const FactoryReply*>(reference);
  if (packet->address != r->module || packet->length <= 1) return 0;
  return packet->data[0] == kFactoryCommand &&
         (packet->data[1] & static_cast<uint8_t>(~kFactoryError)) == r->command;
}

// Owns the reply of one exchange.
struct Reply {
  aPacket* packet = nullptr;
  ~Reply() {
    if (packet != nullptr) (void)aPacket_Destroy(&packet);
  }
};

// Sends module the bytes (command byte first) and waits for the first packet
// the filter takes. aErrTimeout when none comes in time.
aErr sExchange(Link& link, uint8_t module, const uint8_t* bytes, uint8_t length, aPacketFilter filter,
               const void* reference, int32_t timeoutMs, Reply* reply) {
  const aErr err = link.sendPacket(module, bytes[0], static_cast<uint8_t>(length - 1), bytes + 1);
  if (err != aErrNone) return err;
  reply->packet = aLink_AwaitFirst(link.getLinkRef(), filter, reference, timeoutMs);
  return reply->packet != nullptr ? aErrNone : aErrTimeout;
}

// A module's code from byte at; an error reply that carries code 0 must not
// read as success.
aErr sCode(const aPacket* packet, uint8_t at) {
  if (packet->length <= at) return aErrUnknown;
  return packet->data[at] != aErrNone ? packet->data[at] : aErrUnknown;
}

aErr sSlotValue(Link& link, uint8_t module, uint8_t option, uint8_t store, uint8_t slot, uint32_t* out) {
  if (out == nullptr) return aErrParam;
  if (!link.isConnected()) return aErrConnection;
  if (!sModuleAddressOk(module)) return aErrPacket;
  const uint8_t request[] = {kSlotCommand, option, store, slot};
  const SlotReply ref{module, option, store, slot};
  Reply reply;
  const aErr err =
      sExchange(link, module, request, sizeof request, sSlotFilter, &ref, kLinkReplyTimeoutMs, &reply);
  if (err != aErrNone) return err;
  const aPacket* p = reply.packet;
  if (p->data[1] & kSlotError) return sCode(p, 4);
  if (p->length != 6) return aErrUnknown;
  *out = static_cast<uint32_t>(p->data[4]) << 8 | p->data[5];
  return aErrNone;
}

// The module's handle for the slot, kSlotNoHandle on any failure.
uint8_t sSlotOpen(Link& link, uint8_t module, uint8_t mode, uint8_t store, uint8_t slot) {
  const uint8_t request[] = {kSlotCommand, mode, store, slot};
  const SlotReply ref{module, mode, store, slot};
  Reply reply;
  if (sExchange(link, module, request, sizeof request, sSlotFilter, &ref, kSlotOpenTimeoutMs, &reply) !=
      aErrNone) {
    return kSlotNoHandle;
  }
  const aPacket* p = reply.packet;
  if ((p->data[1] & kSlotError) || p->length < 5) return kSlotNoHandle;
  return p->data[4];
}

aErr sSlotClose(Link& link, uint8_t module, uint8_t handle) {
  const uint8_t request[] = {kSlotCommand, kSlotClose, handle};
  const SlotReply ref{module, kSlotClose, handle, 0};
  Reply reply;
  const aErr err =
      sExchange(link, module, request, sizeof request, sSlotFilter, &ref, kLinkReplyTimeoutMs, &reply);
  if (err != aErrNone) return err;
  if (reply.packet->length != 4) return aErrIO;
  if (reply.packet->data[1] & kSlotError) return sCode(reply.packet, 3);
  return aErrNone;
}

uint8_t sSum(const uint8_t* data, size_t length) {
  uint8_t sum = 0;
  for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

aErr sFactoryClose(Link& link, uint8_t module, size_t count) {
  const uint8_t request[] = {kFactoryCommand, kFactoryClose, static_cast<uint8_t>(count >> 8),
                             static_cast<uint8_t>(count)};
  const FactoryReply ref{module, kFactoryClose & kFactoryCommandMask};
  Reply reply;
  const aErr err =
      sExchange(link, module, request, sizeof request, sFactoryFilter, &ref, kLinkReplyTimeoutMs, &reply);
  if (err != aErrNone) return err;
  if ((reply.packet->data[1] & kFactoryError) && reply.packet->length == 3) return sCode(reply.packet, 2);
  return aErrNone;
}

}  // namespace

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint32_t* capacity) {
  return sSlotValue(*this, module, kSlotCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint32_t* size) {
  return sSlotValue(*this, module, kSlotSize, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length,
                         size_t* written) {
  if (written != nullptr) *written = 0;
  if (data == nullptr) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (!sModuleAddressOk(module)) return aErrPacket;
  const uint8_t handle = sSlotOpen(*this, module, kSlotOpenWrite, store, slot);
  if (handle == kSlotNoHandle) return aErrMedia;
  aErr err = aErrNone;
  size_t sent = 0;
  // Bounded: every round sends at least one byte or ends.
  while (err == aErrNone && sent < length) {
    const size_t part = length - sent < kSlotChunk ? length - sent : kSlotChunk;
    uint8_t request[kMaxPacketData] = {kSlotCommand, kSlotWrite, handle};
    std::memcpy(request + 3, data + sent, part);
    const uint8_t sum = sSum(data + sent, part);
    const SlotReply ref{module, kSlotWrite, handle, 0};
    Reply reply;
    err = sExchange(*this, module, request, static_cast<uint8_t>(3 + part), sSlotFilter, &ref,
                    kLinkReplyTimeoutMs, &reply);
    if (err != aErrNone) break;
    const aPacket* p = reply.packet;
    if (p->data[1] & kSlotError) {
      err = sCode(p, 3);
    } else if (p->length != 4 || p->data[3] != sum) {
      err = aErrIO;
    } else if (written != nullptr) {
      *written += part;
    }
    sent += part;
  }
  const aErr closed = sSlotClose(*this, module, handle);
  return err != aErrNone ? err : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t bufferLength,
                           size_t* count) {
  if (buffer == nullptr || count == nullptr) return aErrParam;
  *count = 0;
  if (!isConnected()) return aErrConnection;
  if (!sModuleAddressOk(module)) return aErrPacket;
  uint32_t size = 0;
  aErr err = storeSlotSize(module, store, slot, &size);
  if (err != aErrNone) return err;
  const uint8_t handle = sSlotOpen(*this, module, kSlotOpenRead, store, slot);
  if (handle == kSlotNoHandle) return aErrMedia;
  const size_t amount = size < bufferLength ? size : bufferLength;
  size_t read = 0;
  // Bounded: every accepted reply adds at least one byte or ends the loop.
  while (err == aErrNone && read < amount) {
    const uint8_t request[] = {kSlotCommand, kSlotRead, handle};
    const SlotReply ref{module, kSlotRead, handle, 0};
    Reply reply;
    err = sExchange(*this, module, request, sizeof request, sSlotFilter, &ref, kLinkReplyTimeoutMs, &reply);
    if (err != aErrNone) break;
    const aPacket* p = reply.packet;
    if (p->length <= 3) {
      err = aErrUnknown;
    } else if (p->data[1] & kSlotError) {
      err = sCode(p, 3);
    } else {
      size_t n = p->length - 3u;
      if (n > amount - read) n = amount - read;
      std::memcpy(buffer + read, p->data + 3, n);
      read += n;
    }
  }
  const aErr closed = sSlotClose(*this, module, handle);
  if (err == aErrNone) err = closed;
  if (err != aErrNone) return err;
  *count = read;
  return size > bufferLength ? aErrOverrun : aErrNone;
}

aErr Link::getFactoryData(uint8_t module, uint8_t command, uint8_t* buffer, size_t bufferLength,
                          size_t* count) {
  if (buffer == nullptr || count == nullptr || command > kFactoryCommandMask) return aErrParam;
  *count = 0;
  if (!isConnected()) return aErrConnection;
  if (!sModuleAddressOk(module)) return aErrPacket;
  const FactoryReply ref{module, command};
  aErr err = aErrNone;
  size_t read = 0;
  bool more = true;
  // Bounded: a full reply adds 26 bytes, and the buffer's length ends it.
  for (bool first = true; more && err == aErrNone; first = false) {
    const uint8_t request[] = {kFactoryCommand, static_cast<uint8_t>(command | (first ? kFactoryFirst : 0))};
    Reply reply;
    err =
        sExchange(*this, module, request, sizeof request, sFactoryFilter, &ref, kLinkReplyTimeoutMs, &reply);
    if (err != aErrNone) break;
    const aPacket* p = reply.packet;
    more = p->length == kMaxPacketData;
    if (p->length < 2) {
      err = aErrUnknown;
    } else if (p->data[1] & kFactoryError) {
      err = sCode(p, 2);
    } else if (p->length - 2u > bufferLength - read) {
      err = aErrOverrun;
    } else {
      std::memcpy(buffer + read, p->data + 2, p->length - 2u);
      read += p->length - 2u;
    }
  }
  // The count fits 16 bits only; a longer transfer has failed already.
  const aErr closed = sFactoryClose(*this, module, read);
  if (err == aErrNone) err = closed;
  if (err == aErrNone) *count = read;
  return err;
}

aErr Link::setFactoryData(uint8_t module, uint8_t command, const uint8_t* data, size_t length) {
  if ((data == nullptr && length > 0) || command > kFactoryCommandMask) return aErrParam;
  if (!isConnected()) return aErrConnection;
  if (!sModuleAddressOk(module)) return aErrPacket;
  if (length > kFactoryMaxLength) return aErrSize;
  const FactoryReply ref{module, command};
  aErr err = aErrNone;
  size_t sent = 0;
  for (bool first = true; err == aErrNone && sent < length; first = false) {
    const size_t part = length - sent < kFactoryChunk ? length - sent : kFactoryChunk;
    uint8_t request[kMaxPacketData] = {
        kFactoryCommand, static_cast<uint8_t>(command | kFactoryWrite | (first ? kFactoryFirst : 0))};
    std::memcpy(request + 2, data + sent, part);
    Reply reply;
    err = sExchange(*this, module, request, static_cast<uint8_t>(2 + part), sFactoryFilter, &ref,
                    kLinkReplyTimeoutMs, &reply);
    if (err != aErrNone) break;
    if (reply.packet->data[1] & kFactoryError) {
      err = sCode(reply.packet, 2);
    } else if (reply.packet->length != 2) {
      err = aErrSize;
    }
    sent += part;
  }
  const aErr closed = sFactoryClose(*this, module, sent);
  return err != aErrNone ? err : closed;
}

}  // namespace Corvalith
}  // namespace Tessaron
