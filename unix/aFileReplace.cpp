// Replacing a file by writing a temporary sibling and renaming it over the
// old one; see aFile_Replace in aFile.h.
#include "unix/aFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace {

constexpr int kMaxNameAttempts = 16;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask like any new file

std::atomic<unsigned> sTempCounter{0};

void sSetError(int* sysError, int value) {
  if (sysError != nullptr) *sysError = value;
}

// Flushes the directory entry of the rename; best effort, since some file
// systems refuse fsync on directories.
void sSyncDirectory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  (void)close(fd);
}

bool sWriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

aErr aFile_Replace(const char* target, const void* data, size_t size, int* sysError) {
  sSetError(sysError, 0);
  if (target == nullptr) {
    sSetError(sysError, EINVAL);
    return aErrParam;
  }
  const std::string path(target);
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if ((data == nullptr && size != 0) || base.empty() || base == "." || base == "..") {
    sSetError(sysError, EINVAL);
    return aErrParam;
  }

  // Keep the old file's permissions, and refuse what an open for writing
  // would refuse: renaming would otherwise bypass the file's own mode.
  struct stat old;
  const bool exists = stat(path.c_str(), &old) == 0;
  if (exists) {
    if (S_ISDIR(old.st_mode)) {
      sSetError(sysError, EISDIR);
      return aErrNotFound;
    }
    if (access(path.c_str(), W_OK) != 0) {
      sSetError(sysError, errno);
      return aErrNotFound;
    }
  }

  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < kMaxNameAttempts && fd < 0; ++attempt) {
    temp = dir + "/." + base + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(sTempCounter++);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    sSetError(sysError, errno);
    return aErrNotFound;
  }

  aErr result = aErrNone;
  if (exists && fchmod(fd, old.st_mode & 07777) != 0) {
    result = aErrIO;
  } else if (!sWriteAll(fd, static_cast<const unsigned char*>(data), size) || fsync(fd) != 0) {
    result = aErrIO;
  }
  int saved = result != aErrNone ? errno : 0;
  if (close(fd) != 0 && result == aErrNone) {
    saved = errno;
    result = aErrIO;
  }
  if (result == aErrNone && rename(temp.c_str(), path.c_str()) != 0) {
    saved = errno;
    result = aErrWrite;
  }
  if (result != aErrNone) {
    (void)unlink(temp.c_str());
    sSetError(sysError, saved);
    return result;
  }
  sSyncDirectory(dir);
  return aErrNone;
}
