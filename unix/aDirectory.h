// Directories, path building and well-known locations.
#ifndef CORVALITH_UNIX_ADIRECTORY_H
#define CORVALITH_UNIX_ADIRECTORY_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/aErr.h"

extern const char* aDIR_PATH_SEP;

// Handed to a listing callback; fullPath is valid only during the call.
typedef struct {
  const char* fullPath;
  uint32_t size;
  uint8_t isDirectory;
} aDirectoryListData;

// Return true to go on, false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* ref);

[[nodiscard]] bool aDirectory_Exists(const char* path);
// Creates every missing ancestor and the directory itself with mode.
// aErrNone when it exists or was created; aErrPermission otherwise.
[[nodiscard]] aErr aDirectory_Ensure(const char* path, unsigned mode);
// Every entry, "." and ".." included. aErrNotFound when it cannot be opened.
[[nodiscard]] aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);
// Removes an empty directory; aErrUnknown on failure.
[[nodiscard]] aErr aDirectory_Delete(const char* path);
// Removes a tree depth first. aErrNotFound, aErrUnknown.
[[nodiscard]] aErr aDirectory_DeleteTree(const char* path);
// aErrParam when it does not fit or cannot be read.
[[nodiscard]] aErr aDirectory_CWD(char* buffer, size_t size);
// Target of /proc/self/exe; aErrRead when unreadable.
[[nodiscard]] aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
// Password entry of the current user, else $HOME; always aErrNone.
[[nodiscard]] aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
// aDirectory_BuildPath with two parts.
[[nodiscard]] aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins up to 10 parts (the list ends with a null) with single separators.
// aErrParam (null buffer, buffer aliasing a part, too many parts), aErrOverrun.
[[nodiscard]] aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

#endif
