#include "unix/aOS.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "unix/aOSDetail.h"

namespace {

// A name of at most 255 characters plus its terminating zero.
constexpr size_t kMutexNameSize = 256;
// Check values of live handles; cleared on destroy so a stale handle is refused.
constexpr uint32_t kMutexCheck = 0x4D555458;
constexpr uint32_t kThreadCheck = 0x54485244;

}  // namespace

struct aMutexRecord {
  uint32_t check;
  pthread_mutex_t mutex;
  char name[kMutexNameSize];
};

struct aThreadRecord {
  uint32_t check;
  pthread_t id;
};

namespace {

bool sLive(const aMutexRecord* mutex) {
  return mutex != nullptr && mutex->check == kMutexCheck;
}

// Error-checking rather than the plain default kind: still not recursive, but
// an unlock by a thread that does not hold the mutex fails with EPERM instead
// of silently releasing someone else's lock, and relocking by the holder
// reports EDEADLK instead of hanging.
bool sInitMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) {
    return false;
  }
  const bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                  pthread_mutex_init(mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

void sSleepMicroseconds(uint32_t microseconds, void*) {
  timespec wanted{static_cast<time_t>(microseconds / 1000000),
                  static_cast<long>(microseconds % 1000000) * 1000};
  timespec left{};
  // A signal must not cut the sleep short.
  while (nanosleep(&wanted, &left) != 0 && errno == EINTR) {
    wanted = left;
  }
}

}  // namespace

aMutex aMutex_Create(const char* name) {
  if (name == nullptr) {
    name = "";
  }
  const size_t length = strnlen(name, kMutexNameSize);
  if (length >= kMutexNameSize) {
    return nullptr;
  }
  auto* record = new (std::nothrow) aMutexRecord;
  if (record == nullptr) {
    return nullptr;
  }
  memcpy(record->name, name, length);
  record->name[length] = '\0';
  if (!sInitMutex(&record->mutex)) {
    delete record;
    return nullptr;
  }
  record->check = kMutexCheck;
  return record;
}

const char* aMutex_Identifier(aMutex mutex) {
  return sLive(mutex) ? mutex->name : "";
}

aErr aMutex_Destroy(aMutex* mutex) {
  if (mutex == nullptr || !sLive(*mutex)) {
    return aErrParam;
  }
  aMutexRecord* record = *mutex;
  *mutex = nullptr;
  record->check = 0;
  const int rc = pthread_mutex_destroy(&record->mutex);
  delete record;
  switch (rc) {
    case 0:
      return aErrNone;
    case EINVAL:
      return aErrParam;
    case EBUSY:
      return aErrBusy;
    case EAGAIN:
      return aErrResource;
    default:
      return aErrUnknown;
  }
}

aErr aMutex_Lock(aMutex mutex) {
  if (!sLive(mutex)) {
    return aErrParam;
  }
  switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0:
      return aErrNone;
    case EINVAL:
      return aErrParam;
    case EDEADLK:
      return aErrDuplicate;
    default:
      return aErrUnknown;
  }
}

aErr aMutex_TryLock(aMutex mutex) {
  if (!sLive(mutex)) {
    return aErrParam;
  }
  switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0:
      return aErrNone;
    case EBUSY:
      return aErrBusy;
    case EINVAL:
      return aErrParam;
    default:
      return aErrUnknown;
  }
}

aErr aMutex_Unlock(aMutex mutex) {
  if (!sLive(mutex)) {
    return aErrParam;
  }
  switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0:
      return aErrNone;
    case EPERM:
      return aErrPermission;
    case EINVAL:
      return aErrParam;
    default:
      return aErrUnknown;
  }
}

aThread aThread_Create(aThreadProc proc, void* ref) {
  if (proc == nullptr) {
    return nullptr;
  }
  auto* record = new (std::nothrow) aThreadRecord;
  if (record == nullptr) {
    return nullptr;
  }
  record->check = kThreadCheck;
  if (pthread_create(&record->id, nullptr, proc, ref) != 0) {
    delete record;
    return nullptr;
  }
  return record;
}

int aThread_Destroy(aThread* thread) {
  if (thread == nullptr || *thread == nullptr || (*thread)->check != kThreadCheck) {
    return EINVAL;
  }
  aThreadRecord* record = *thread;
  *thread = nullptr;
  record->check = 0;
  // A thread releasing its own handle cannot wait for itself: answer what the
  // join would (EDEADLK) without calling it, and detach so the thread's
  // resources go back when it ends.
  if (pthread_equal(record->id, pthread_self())) {
    pthread_detach(record->id);
    delete record;
    return EDEADLK;
  }
  const int rc = pthread_join(record->id, nullptr);
  delete record;
  return rc;
}

void aThread_Yield() {
  timespec pause{0, 5000};
  nanosleep(&pause, nullptr);
}

uint32_t aTime_TicksFromClock(int64_t seconds, int64_t microseconds) {
  // Wrapping 32-bit arithmetic is intended: callers subtract ticks.
  const uint32_t ms = static_cast<uint32_t>(seconds) * 1000u + static_cast<uint32_t>(microseconds / 1000);
  return ms % 0xFFFFFFFFu;
}

uint32_t aTime_GetMSTicks() {
  // Monotonic, so a change of the system clock cannot stretch or cut a time-out.
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return 0;
  }
  return aTime_TicksFromClock(now.tv_sec, now.tv_nsec / 1000);
}

aErr aTime_MSSleepWith(int32_t ms, aTimeSleepProc proc, void* ref) {
  if (ms <= 0 || proc == nullptr) {
    return aErrNone;
  }
  // 64-bit so that every positive delay converts without overflow.
  uint64_t remaining = static_cast<uint64_t>(ms) * 1000u;
  while (remaining > 0) {
    const uint32_t chunk =
        remaining > aTIME_MAX_SLEEP_CHUNK_US ? aTIME_MAX_SLEEP_CHUNK_US : static_cast<uint32_t>(remaining);
    proc(chunk, ref);
    remaining -= chunk;
  }
  return aErrNone;
}

aErr aTime_MSSleep(int32_t ms) {
  return aTime_MSSleepWith(ms, sSleepMicroseconds, nullptr);
}
