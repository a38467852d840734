#include "unix/aDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

const char* aDIR_PATH_SEP = "/";

namespace {

constexpr size_t kMaxPathParts = 10;

bool sIsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The listed directory and an entry name, without doubling the separator.
std::string sJoin(const char* dir, const char* name) {
  std::string full(dir);
  if (full.empty() || full.back() != aDIR_PATH_SEP[0]) {
    full += aDIR_PATH_SEP;
  }
  full += name;
  return full;
}

bool sIsDotEntry(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Creates one directory; an entry that is already there is not a failure
// here (a file in the way shows up at the next level or the final check).
bool sMakeDirectory(const std::string& path, unsigned mode) {
  return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

// Whether [part, part + strlen] touches [buffer, buffer + size).
bool sOverlaps(const char* buffer, size_t size, const char* part) {
  const auto b = reinterpret_cast<uintptr_t>(buffer);
  const auto p = reinterpret_cast<uintptr_t>(part);
  return p < b + size && b <= p + strlen(part);
}

aErr sBuildPath(char* buffer, size_t size, const char* const* parts, size_t count) {
  buffer[0] = '\0';
  const char sep = aDIR_PATH_SEP[0];
  const size_t firstLength = strlen(parts[0]);
  // Refused at size - 1 already: one byte is kept spare, as callers expect.
  if (firstLength >= size - 1) {
    return aErrOverrun;
  }
  memcpy(buffer, parts[0], firstLength + 1);
  size_t length = firstLength;
  for (size_t i = 1; i < count; ++i) {
    const char* part = parts[i];
    size_t room = size - length - 1;
    const bool endsWithSep = length > 0 && buffer[length - 1] == sep;
    if (room > 1 && !endsWithSep && part[0] != sep) {
      buffer[length++] = sep;
      buffer[length] = '\0';
      --room;
    }
    const size_t partLength = strlen(part);
    if (partLength >= room) {
      buffer[0] = '\0';
      return aErrOverrun;
    }
    memcpy(buffer + length, part, partLength + 1);
    length += partLength;
  }
  return aErrNone;
}

aErr sDeleteTree(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    return aErrNotFound;
  }
  aErr err = aErrNone;
  while (err == aErrNone) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      break;
    }
    if (sIsDotEntry(entry->d_name)) {
      continue;
    }
    const std::string full = sJoin(path, entry->d_name);
    struct stat st;
    // lstat: a link to a directory is removed as a link, never followed out of the tree.
    if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      err = sDeleteTree(full.c_str());
      continue;
    }
    if (unlink(full.c_str()) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", full.c_str());
      err = aErrUnknown;
    }
  }
  closedir(dir);
  const aErr removed = rmdir(path) == 0 ? aErrNone : aErrUnknown;
  return err != aErrNone ? err : removed;
}

}  // namespace

bool aDirectory_Exists(const char* path) {
  return path != nullptr && sIsDirectory(path);
}

aErr aDirectory_Ensure(const char* path, unsigned mode) {
  if (path == nullptr || path[0] == '\0') {
    return aErrParam;
  }
  if (aDirectory_Exists(path)) {
    return aErrNone;
  }
  const std::string copy(path);
  const char sep = aDIR_PATH_SEP[0];

  // The deepest ancestor that is already a directory; the walk starts there.
  size_t start = 0;
  for (size_t i = copy.size(); i-- > 0;) {
    if (copy[i] != sep) {
      continue;
    }
    if (sIsDirectory(i == 0 ? copy.substr(0, 1) : copy.substr(0, i))) {
      start = i;
      break;
    }
  }

  aErr err = aErrNone;
  for (size_t i = start + 1; i < copy.size(); ++i) {
    if (copy[i] != sep || copy[i - 1] == sep) {
      continue;
    }
    const std::string prefix = copy.substr(0, i);
    if (!sIsDirectory(prefix) && !sMakeDirectory(prefix, mode)) {
      err = aErrPermission;
      break;
    }
  }

  if (!sIsDirectory(copy) && !sMakeDirectory(copy, mode)) {
    return aErrPermission;
  }
  // A file of that name makes mkdir say "exists"; that is no directory.
  if (!sIsDirectory(copy)) {
    return aErrPermission;
  }
  return err;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref) {
  if (path == nullptr || proc == nullptr) {
    return aErrParam;
  }
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    return aErrNotFound;
  }
  for (const dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    const std::string full = sJoin(path, entry->d_name);
    struct stat st;
    if (stat(full.c_str(), &st) != 0) {
      continue;
    }
    const aDirectoryListData data{full.c_str(), static_cast<uint32_t>(st.st_size),
                                  static_cast<uint8_t>(S_ISDIR(st.st_mode) ? 1 : 0)};
    if (!proc(&data, ref)) {
      break;
    }
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) {
    return aErrParam;
  }
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) {
    return aErrParam;
  }
  return sDeleteTree(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0 || getcwd(buffer, size) == nullptr) {
    return aErrParam;
  }
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  const ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[n] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  buffer[0] = '\0';
  const char* home = nullptr;
  struct passwd entry;
  struct passwd* found = nullptr;
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
  if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    home = found->pw_dir;
  } else {
    home = getenv("HOME");
  }
  if (home != nullptr) {
    // Always terminated, so at most size - 1 characters of a longer path.
    snprintf(buffer, size, "%s", home);
  }
  return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(buffer, size, first, second, nullptr);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  buffer[0] = '\0';
  if (first == nullptr) {
    return aErrParam;
  }
  // One slot more than allowed, so an eleventh part is seen and refused.
  const char* parts[kMaxPathParts + 1] = {first};
  size_t count = 1;
  va_list args;
  va_start(args, first);
  while (count <= kMaxPathParts) {
    const char* part = va_arg(args, const char*);
    if (part == nullptr) {
      break;
    }
    parts[count++] = part;
  }
  va_end(args);
  if (count > kMaxPathParts) {
    return aErrParam;
  }
  for (size_t i = 0; i < count; ++i) {
    if (sOverlaps(buffer, size, parts[i])) {
      return aErrParam;
    }
  }
  return sBuildPath(buffer, size, parts, count);
}
