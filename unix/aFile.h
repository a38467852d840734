// File access for the device library and the updater's file handling. Every
// function reports through its aErr result and has no other effect on failure.
#ifndef CORVALITH_UNIX_AFILE_H
#define CORVALITH_UNIX_AFILE_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

constexpr size_t aFILE_MAX_PATH = 4096;

typedef enum {
  aFileModeReadOnly = 0,   // binary read
  aFileModeWriteOnly = 1,  // binary write, created or truncated
  aFileModeAppend = 2,     // binary read and append, created when missing
  aFileModeUnknown = 3,    // refused
} aFileMode;

typedef struct aFileRecord* aFileRef;

// True when path names an existing entry that is not a directory.
[[nodiscard]] bool aFile_Exists(const char* path);
// A new handle, or null (null/empty/too long path, mode 3, open failure, or
// errno EINVAL for a path that is not a regular file; writes also accept a
// character device). A FIFO is refused without blocking.
[[nodiscard]] aFileRef aFile_Open(const char* path, aFileMode mode);
// Closes and nulls *file. aErrParam for a null or invalid handle; aErrIO when
// buffered data could not be written out.
[[nodiscard]] aErr aFile_Close(aFileRef* file);
// aErrParam, aErrMode, aErrEOF (nothing read though bytes were asked for).
[[nodiscard]] aErr aFile_Read(aFileRef file, void* buffer, size_t count, size_t* read);
// aErrParam, aErrMode, aErrIO (nothing written though bytes were given).
[[nodiscard]] aErr aFile_Write(aFileRef file, const void* data, size_t count, size_t* written);
// origin: 0 start, 1 current, 2 end (else aErrParam). aErrRange outside
// [0, size], the position unchanged; aErrIO.
[[nodiscard]] aErr aFile_Seek(aFileRef file, long offset, int origin);
// aErrParam for a null address, aErrIO on a failed move (size 0).
[[nodiscard]] aErr aFile_GetSize(aFileRef file, size_t* size);
// One line with its newline, always terminated. aErrMode, aErrEOF, aErrIO,
// aErrOverrun (the buffer filled before the newline; the part read stays).
[[nodiscard]] aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);
// aErrMode, aErrIO.
[[nodiscard]] aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));
// aErrMode unless write or append, or when the stream refuses.
[[nodiscard]] aErr aFile_SetUnbuffered(aFileRef file);
// aErrParam, aErrFileNameLength, aErrNotFound, aErrPermission, aErrIO.
[[nodiscard]] aErr aFile_Delete(const char* path);

// Replaces the file with size bytes of data so that a crash, a full disk or a
// failed write never leaves it truncated or half-written: the bytes go to a
// hidden temporary file in the same directory, reach the disk, and are then
// renamed over the old file, whose permissions they keep.
// Results: aErrNone; aErrParam (null path, null data with a non-zero size, or
// a path without a file name); aErrNotFound when the temporary file cannot be
// created or the existing file may not be written (like an open for writing
// that fails); aErrIO when writing or flushing fails; aErrWrite when the
// rename fails. On failure the old file is untouched and no temporary file is
// left. *sysError (optional) receives the system error number of the failure.
[[nodiscard]] aErr aFile_Replace(const char* path, const void* data, size_t size, int* sysError = nullptr);

#endif
