// Internals of the time functions, exposed so tests can check the arithmetic
// and the sleep chunking without waiting or moving the clock.
#ifndef CORVALITH_UNIX_AOSDETAIL_H
#define CORVALITH_UNIX_AOSDETAIL_H

#include <cstdint>

#include "common/aErr.h"

// Largest single sleep in microseconds (usleep refuses 1,000,000 and more).
constexpr uint32_t aTIME_MAX_SLEEP_CHUNK_US = 999999;

// Called once per chunk with its length in microseconds.
typedef void (*aTimeSleepProc)(uint32_t microseconds, void* ref);

// aTime_MSSleep with the sleeping done by proc: ms converted to microseconds
// and handed over in chunks of at most aTIME_MAX_SLEEP_CHUNK_US. Zero or
// negative ms makes no call. Always aErrNone.
aErr aTime_MSSleepWith(int32_t ms, aTimeSleepProc proc, void* ref);

// The millisecond tick for a clock reading: seconds * 1000 + microseconds /
// 1000 in wrapping 32-bit arithmetic, reduced modulo 0xFFFFFFFF.
uint32_t aTime_TicksFromClock(int64_t seconds, int64_t microseconds);

#endif
