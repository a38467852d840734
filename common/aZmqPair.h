// The in-process socket pairs that the device server and the client stream
// use between their own threads. In-process endpoints rather than loopback
// ports: no other process can connect to them and take, forge or slip frames
// past the broker, and a frame crosses without the I/O thread and the kernel.
//
// Internal to the device library.
#ifndef CORVALITH_COMMON_AZMQPAIR_H
#define CORVALITH_COMMON_AZMQPAIR_H

#include <czmq.h>

#include "common/aErr.h"

// A DEALER with linger 0 (closing never waits for frames a vanished peer
// will not take), or null.
[[nodiscard]] zsock_t* aZmq_Dealer();
// A bound and a connected DEALER on a fresh in-process endpoint named after
// owner and role. aErrMemory: a socket could not be made; aErrConnection:
// the bind or connect failed. What was made is left in *bound and
// *connected for the caller's teardown.
[[nodiscard]] aErr aZmq_InprocPair(const char* owner, const char* role, zsock_t** bound, zsock_t** connected);

#endif
