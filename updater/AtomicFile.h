// Replacing a file so that a crash, a full disk or a failed write never leaves
// it truncated or half-written: the bytes go to a hidden temporary file in the
// same directory, reach the disk, and are then renamed over the old file.
#ifndef CORVALITH_UPDATER_ATOMICFILE_H
#define CORVALITH_UPDATER_ATOMICFILE_H

#include <cstddef>
#include <string>

#include "common/aErr.h"

// Results: aErrNone; aErrParam (null data with a non-zero size, or a path
// without a file name); aErrNotFound when the temporary file cannot be
// created or the existing file may not be written (like an open for writing
// that fails); aErrIO when writing or flushing fails; aErrWrite when the
// rename fails. On failure the old file is untouched and no temporary file is
// left. *sysError (optional) receives the system error number of the failure.
[[nodiscard]] aErr ReplaceFileAtomically(const std::string& path, const void* data, size_t size,
                                         int* sysError = nullptr);

#endif
