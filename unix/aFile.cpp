#include "unix/aFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kFileValid = 0xFEED;

}  // namespace

struct aFileRecord {
  FILE* stream;
  int32_t mode;
  // kFileValid while open; cleared on close so a copy of a closed handle is refused.
  uint32_t validity;
};

namespace {

bool sValid(const aFileRecord* file) {
  return file != nullptr && file->validity == kFileValid;
}

bool sCanRead(const aFileRecord* file) {
  return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

bool sCanWrite(const aFileRecord* file) {
  return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

// An update stream must not switch between reading and writing without a
// positioning call in between; a zero move keeps the position (writes still
// land at the end because of O_APPEND).
void sPrepareUpdate(aFileRecord* file) {
  if (file->mode == aFileModeAppend) {
    (void)fseek(file->stream, 0, SEEK_CUR);
  }
}

bool sPathTooLong(const char* path) {
  return strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH;
}

// Size by moving to the end and back; false when a move fails.
bool sSize(FILE* stream, long* size) {
  const long here = ftell(stream);
  if (here < 0 || fseek(stream, 0, SEEK_END) != 0) {
    return false;
  }
  const long end = ftell(stream);
  if (fseek(stream, here, SEEK_SET) != 0 || end < 0) {
    return false;
  }
  *size = end;
  return true;
}

// Opens without blocking, so a FIFO or a device with no peer cannot hang
// the caller, and keeps the stream only for a file of an accepted type
// (errno EINVAL otherwise).
FILE* sOpenRegular(const char* path, aFileMode mode, const char* how) {
  int flags = O_CLOEXEC | O_NONBLOCK;
  if (mode == aFileModeReadOnly) {
    flags |= O_RDONLY;
  } else if (mode == aFileModeWriteOnly) {
    flags |= O_WRONLY | O_CREAT;
  } else {
    flags |= O_RDWR | O_CREAT | O_APPEND;
  }
  const int fd = open(path, flags, 0666);
  if (fd < 0) {
    return nullptr;
  }
  // Writes may also go to a character device (a log on /dev/null or a
  // terminal); reads only ever come from a regular file.
  struct stat st;
  const bool accepted =
      fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || (mode != aFileModeReadOnly && S_ISCHR(st.st_mode)));
  if (!accepted) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  // Truncated only once its type is known.
  const int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0 ||
      (mode == aFileModeWriteOnly && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return nullptr;
  }
  FILE* stream = fdopen(fd, how);
  if (stream == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
  return stream;
}

}  // namespace

bool aFile_Exists(const char* path) {
  if (path == nullptr || sPathTooLong(path)) {
    return false;
  }
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode) {
  if (path == nullptr || path[0] == '\0' || sPathTooLong(path)) {
    return nullptr;
  }
  const char* how = nullptr;
  switch (mode) {
    case aFileModeReadOnly:
      how = "rb";
      break;
    case aFileModeWriteOnly:
      how = "wb";
      break;
    case aFileModeAppend:
      how = "a+b";
      break;
    default:
      return nullptr;
  }
  auto* file = new (std::nothrow) aFileRecord{nullptr, mode, 0};
  if (file == nullptr) {
    return nullptr;
  }
  file->stream = sOpenRegular(path, mode, how);
  if (file->stream == nullptr) {
    delete file;
    return nullptr;
  }
  // "a+" reads from the start by default; callers expect to be at the end.
  if (mode == aFileModeAppend && fseek(file->stream, 0, SEEK_END) != 0) {
    fclose(file->stream);
    delete file;
    return nullptr;
  }
  file->validity = kFileValid;
  return file;
}

aErr aFile_Close(aFileRef* file) {
  if (file == nullptr) {
    return aErrParam;
  }
  aFileRecord* record = *file;
  *file = nullptr;
  if (!sValid(record)) {
    return aErrParam;
  }
  // A failing close means buffered data never reached the file.
  const bool flushed = fclose(record->stream) == 0;
  record->validity = 0;
  record->stream = nullptr;
  delete record;
  return flushed ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, void* buffer, size_t count, size_t* read) {
  if (read != nullptr) {
    *read = 0;
  }
  if (!sValid(file) || buffer == nullptr) {
    return aErrParam;
  }
  if (!sCanRead(file)) {
    return aErrMode;
  }
  sPrepareUpdate(file);
  const size_t got = fread(buffer, 1, count, file->stream);
  if (read != nullptr) {
    *read = got;
  }
  return (got == 0 && count > 0) ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFileRef file, const void* data, size_t count, size_t* written) {
  if (written != nullptr) {
    *written = 0;
  }
  if (!sValid(file) || data == nullptr) {
    return aErrParam;
  }
  if (!sCanWrite(file)) {
    return aErrMode;
  }
  sPrepareUpdate(file);
  const size_t put = fwrite(data, 1, count, file->stream);
  if (written != nullptr) {
    *written = put;
  }
  return (put == 0 && count > 0) ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFileRef file, long offset, int origin) {
  if (!sValid(file)) {
    return aErrParam;
  }
  long size = 0;
  if (!sSize(file->stream, &size)) {
    return aErrIO;
  }
  long base = 0;
  switch (origin) {
    case 0:
      base = 0;
      break;
    case 1:
      base = ftell(file->stream);
      if (base < 0) {
        return aErrIO;
      }
      break;
    case 2:
      base = size;
      break;
    default:
      return aErrParam;
  }
  // base and size are both in [0, LONG_MAX], so these comparisons cannot overflow.
  if (offset < -base || offset > size - base) {
    return aErrRange;
  }
  return fseek(file->stream, base + offset, SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_GetSize(aFileRef file, size_t* size) {
  if (!sValid(file) || size == nullptr) {
    return aErrParam;
  }
  *size = 0;
  long end = 0;
  if (!sSize(file->stream, &end)) {
    return aErrIO;
  }
  *size = static_cast<size_t>(end);
  return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
  if (length != nullptr) {
    *length = 0;
  }
  if (buffer == nullptr || size == 0) {
    return aErrParam;
  }
  buffer[0] = '\0';
  if (!sValid(file)) {
    return aErrParam;
  }
  if (!sCanRead(file)) {
    return aErrMode;
  }
  sPrepareUpdate(file);
  FILE* stream = file->stream;
  size_t used = 0;
  aErr err = aErrNone;
  for (;;) {
    if (used + 1 >= size) {
      // Full: a complete last line (nothing follows) is not an overrun.
      const int next = getc(stream);
      if (next != EOF) {
        ungetc(next, stream);
        err = aErrOverrun;
      } else if (ferror(stream)) {
        err = aErrIO;
      } else if (used == 0) {
        err = aErrEOF;
      }
      break;
    }
    const int c = getc(stream);
    if (c == EOF) {
      if (ferror(stream)) {
        err = aErrIO;
      } else if (used == 0) {
        err = aErrEOF;
      }
      break;
    }
    buffer[used++] = static_cast<char>(c);
    if (c == '\n') {
      break;
    }
  }
  buffer[used] = '\0';
  if (length != nullptr) {
    *length = used;
  }
  return err;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
  if (!sValid(file) || format == nullptr) {
    return aErrParam;
  }
  if (!sCanWrite(file)) {
    return aErrMode;
  }
  sPrepareUpdate(file);
  va_list args;
  va_start(args, format);
  const int n = vfprintf(file->stream, format, args);
  va_end(args);
  return n < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
  if (!sValid(file)) {
    return aErrParam;
  }
  if (!sCanWrite(file) || setvbuf(file->stream, nullptr, _IONBF, 0) != 0) {
    return aErrMode;
  }
  return aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) {
    return aErrParam;
  }
  if (sPathTooLong(path)) {
    return aErrFileNameLength;
  }
  // unlink, not remove: this must never take an (empty) directory with it.
  if (unlink(path) == 0) {
    return aErrNone;
  }
  switch (errno) {
    case ENOENT:
      return aErrNotFound;
    case EACCES:
    case EPERM:
      return aErrPermission;
    default:
      return aErrIO;
  }
}
