// Locking, threads, time and sleeping for the device library. Every function
// returns an aErr code or a handle; none throws.
#ifndef CORVALITH_UNIX_AOS_H
#define CORVALITH_UNIX_AOS_H

#include <cstdint>

#include "common/aErr.h"

typedef struct aMutexRecord* aMutex;
typedef struct aThreadRecord* aThread;
typedef void* (*aThreadProc)(void* ref);

// Not recursive. Null when out of memory, name of 256+ characters, or init fails.
[[nodiscard]] aMutex aMutex_Create(const char* name);
const char* aMutex_Identifier(aMutex mutex);
// Frees and nulls in every case. aErrParam, aErrBusy (still locked), aErrResource, aErrUnknown.
[[nodiscard]] aErr aMutex_Destroy(aMutex* mutex);
// aErrParam (also for a stale or foreign handle), aErrDuplicate (EDEADLK), aErrUnknown.
[[nodiscard]] aErr aMutex_Lock(aMutex mutex);
// aErrBusy when held elsewhere, aErrParam, aErrUnknown.
[[nodiscard]] aErr aMutex_TryLock(aMutex mutex);
// aErrPermission when not the holder, aErrParam, aErrUnknown.
[[nodiscard]] aErr aMutex_Unlock(aMutex mutex);

// Runs proc(ref) at once on a new joinable thread; null on failure.
[[nodiscard]] aThread aThread_Create(aThreadProc proc, void* ref);
// Joins, frees and nulls; returns the join result unchanged (0 on success,
// EDEADLK when called from the thread itself, which is then detached; EINVAL
// for a null, stale or foreign handle). The caller must already have told the thread to stop.
int aThread_Destroy(aThread* thread);
// Sleeps 5 microseconds.
void aThread_Yield();

// Millisecond tick for elapsed-time arithmetic by unsigned subtraction.
uint32_t aTime_GetMSTicks();
// Sleeps ms milliseconds; 0 returns at once. Always aErrNone.
aErr aTime_MSSleep(int32_t ms);

#endif
