#include "common/aLogger.h"

#include <atomic>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

constexpr uint16_t kLoggerCheck = 0xDEED;

struct aLoggerRecord {
  uint16_t check = kLoggerCheck;
  uint32_t reference = 0;
  aLoggerProc callback = nullptr;
  aFileRef file = nullptr;
  std::thread thread;
  // Read by the writer thread; cleared by the disabling thread before the join.
  std::atomic<bool> enabled{false};
  // Serialises Enable and Disable so two callers never start or join twice.
  std::mutex control;
};

namespace {

// The logger whose callback runs on this thread, so that a callback calling
// Disable or Destroy on its own logger does not join itself.
thread_local const aLoggerRecord* tCurrentLogger = nullptr;

bool sValid(const aLogger* logger) {
  return logger != nullptr && logger->check == kLoggerCheck;
}

void sRun(aLoggerRecord* logger) {
  tCurrentLogger = logger;
  while (logger->enabled.load()) logger->callback(logger->file, logger->reference);
  tCurrentLogger = nullptr;
}

// aErrBusy when called from the logger's own thread.
aErr sDisable(aLogger* logger) {
  if (tCurrentLogger == logger) return aErrBusy;
  try {
    std::lock_guard<std::mutex> lock(logger->control);
    logger->enabled = false;
    if (logger->thread.joinable()) logger->thread.join();
    return aErrNone;
  } catch (const std::system_error&) {
    return aErrUnknown;
  }
}

}  // namespace

aLogger* aLogger_Create(uint32_t reference, aLoggerProc callback, const char* path) {
  if (callback == nullptr || path == nullptr) return nullptr;
  aLogger* logger = new (std::nothrow) aLoggerRecord;
  if (logger == nullptr) return nullptr;
  logger->reference = reference;
  logger->callback = callback;
  logger->file = aFile_Open(path, aFileModeAppend);
  if (logger->file == nullptr) {
    delete logger;
    return nullptr;
  }
  // Unbuffered so that the log is complete even when the process dies.
  (void)aFile_SetUnbuffered(logger->file);
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!sValid(logger)) return aErrParam;
  if (tCurrentLogger == logger) return aErrNone;
  try {
    std::lock_guard<std::mutex> lock(logger->control);
    if (logger->enabled) return aErrNone;
    try {
      // Left joinable only by a join that failed earlier.
      if (logger->thread.joinable()) logger->thread.join();
      logger->enabled = true;
      logger->thread = std::thread(sRun, logger);
    } catch (const std::system_error&) {
      logger->enabled = false;
      return aErrResource;
    }
    return aErrNone;
  } catch (const std::system_error&) {
    return aErrResource;
  }
}

aErr aLogger_Disable(aLogger* logger) {
  if (!sValid(logger)) return aErrParam;
  const aErr err = sDisable(logger);
  if (err == aErrBusy) return aErrNone;
  return err;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (logger == nullptr) return aErrParam;
  if (!sValid(*logger)) return aErrNone;
  const aErr err = sDisable(*logger);
  if (err != aErrNone) return err;
  (void)aFile_Close(&(*logger)->file);
  (*logger)->check = 0;
  delete *logger;
  *logger = nullptr;
  return aErrNone;
}
