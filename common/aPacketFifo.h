// Thread-safe packet queues with filtered and timed retrieval; each link keeps
// one for inbound and one for outbound traffic. A FIFO is named by a 64-bit
// identifier (0 names none) and stays alive until the last operation using it
// returns, even when another thread destroys it meanwhile. Any thread may call
// any operation. A queue that passes 1000 packets is emptied silently: its
// reader has stopped.
#ifndef CORVALITH_COMMON_APACKETFIFO_H
#define CORVALITH_COMMON_APACKETFIFO_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"
#include "common/aPacket.h"

typedef uint64_t aPacketFifoId;

// Packets a queue holds before it is emptied.
constexpr size_t kPacketFifoCapacity = 1000;

// Filters run under the FIFO's lock and must not call back into the same FIFO.
// Wherever a filter is taken, a null filter accepts every packet.

// A new FIFO's identifier, or 0 when it could not be made.
[[nodiscard]] aPacketFifoId aPacketFifo_Create();
// Removes the FIFO, frees its packets, wakes every waiter (they return null)
// and sets *fifo to 0. aErrParam: null address. aErrNotFound: no such FIFO
// (*fifo untouched). aErrUnknown: internal failure.
[[nodiscard]] aErr aPacketFifo_Destroy(aPacketFifoId* fifo);
// Number of queued packets; 0 for an unknown FIFO.
size_t aPacketFifo_GetLength(aPacketFifoId fifo);
// Queues a copy of the packet; the caller keeps its own. aErrParam: unknown or
// destroyed FIFO, invalid packet. aErrResource: the queue cannot grow. An
// overflow that empties the queue is still aErrNone.
[[nodiscard]] aErr aPacketFifo_Put(aPacketFifoId fifo, const aPacket* packet);

// Every packet returned below is new and belongs to the caller
// (aPacket_Destroy); null means nothing was taken.

// The oldest packet, without waiting.
[[nodiscard]] aPacket* aPacketFifo_Get(aPacketFifoId fifo);
// The oldest packet, waiting up to timeoutMs (negative counts as 0) for one.
// Null on time-out or when the FIFO is destroyed meanwhile.
[[nodiscard]] aPacket* aPacketFifo_Await(aPacketFifoId fifo, int32_t timeoutMs);
// The oldest packet the filter accepts, without waiting; the others keep
// their order.
[[nodiscard]] aPacket* aPacketFifo_GetFirst(aPacketFifoId fifo, aPacketFilter filter, const void* reference);
// The oldest packet the filter accepts, waiting up to timeoutMs for one. Each
// packet is offered to the filter at most once per call, in arrival order,
// including packets that arrive during the wait. Null on time-out or when the
// FIFO is destroyed meanwhile.
[[nodiscard]] aPacket* aPacketFifo_AwaitFirst(aPacketFifoId fifo, aPacketFilter filter, const void* reference,
                                              int32_t timeoutMs);
// Where a filtered wait cut into several calls has got to, so that each packet
// is still offered to the filter only once over all of them. A fresh cursor
// starts at the oldest queued packet; keep it with one FIFO only.
struct aPacketFifoCursor {
  bool started = false;
  uint32_t lastExamined = 0;
};
// aPacketFifo_AwaitFirst that goes on from the cursor and leaves it after the
// last packet offered.
[[nodiscard]] aPacket* aPacketFifo_AwaitFirstFrom(aPacketFifoId fifo, aPacketFilter filter,
                                                  const void* reference, int32_t timeoutMs,
                                                  aPacketFifoCursor* cursor);
// Frees every packet the filter accepts; the rest keep their order. The number
// removed; 0 for an unknown FIFO.
size_t aPacketFifo_DrainPackets(aPacketFifoId fifo, aPacketFilter filter, const void* reference);

#endif
