// Packet logger: a file and a writer thread that calls the caller's callback
// over and over while the logger is enabled. The link object uses it to copy
// its packet debug buffer into a packet log file; the callback is expected to
// pause itself when there is nothing to write.
#ifndef CORVALITH_COMMON_ALOGGER_H
#define CORVALITH_COMMON_ALOGGER_H

#include <cstdint>

#include "common/aErr.h"
#include "unix/aFile.h"

typedef struct aLoggerRecord aLogger;
// Called on the logger's thread with the open log file and the reference given
// to aLogger_Create (the link identifier).
typedef void (*aLoggerProc)(aFileRef file, uint32_t reference);

// Opens path for reading and appending (created when missing), unbuffered.
// Null when callback or path is null, the file cannot be opened, or out of
// memory.
[[nodiscard]] aLogger* aLogger_Create(uint32_t reference, aLoggerProc callback, const char* path);
// Starts the writer thread; an enabled logger stays as it is.
// aErrParam: invalid logger. aErrResource: the thread could not be started.
[[nodiscard]] aErr aLogger_Enable(aLogger* logger);
// Stops the writer thread and waits for it. Does nothing when called from the
// callback. aErrParam: invalid logger. aErrUnknown: the join failed.
[[nodiscard]] aErr aLogger_Disable(aLogger* logger);
// Disables the logger, closes the file, frees it and nulls *logger.
// aErrParam: null address. aErrNone for a null or invalid logger (nothing
// done). When the logger cannot be stopped (aErrUnknown from the join, aErrBusy
// from the callback itself) nothing is closed or freed.
[[nodiscard]] aErr aLogger_Destroy(aLogger** logger);

#endif
