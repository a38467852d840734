// File streams over aFile: input reads one byte per get, output writes
// straight through. The stream's reference is the file handle itself.
#include "common/aStream.h"
#include "unix/aFile.h"
#include "unix/aStreamOS.h"

namespace {

aErr sFileGet(uint8_t* byte, void* ref) {
  size_t n = 0;
  aErr err = aFile_Read(static_cast<aFileRef>(ref), byte, 1, &n);
  if (err == aErrNone && n != 1) return aErrEOF;
  return err;
}

aErr sFilePut(const uint8_t* byte, void* ref) {
  size_t n = 0;
  aErr err = aFile_Write(static_cast<aFileRef>(ref), byte, 1, &n);
  if (err == aErrNone && n != 1) return aErrIO;
  return err;
}

aErr sFileWrite(const uint8_t* bytes, size_t count, void* ref) {
  size_t n = 0;
  aErr err = aFile_Write(static_cast<aFileRef>(ref), bytes, count, &n);
  if (err == aErrNone && n != count) return aErrIO;
  return err;
}

aErr sFileDelete(void* ref) {
  aFileRef file = static_cast<aFileRef>(ref);
  return aFile_Close(&file);
}

aErr sCreate(const char* path, aFileMode mode, bool input, aStreamRef* stream) {
  if (!path || !stream) return aErrResource;
  aFileRef file = aFile_Open(path, mode);
  if (!file) return aErrResource;
  aStreamRef s = input ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                       : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (!s) {
    (void)aFile_Close(&file);  // the failed creation is what the caller hears of
    return aErrResource;
  }
  *stream = s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
  return sCreate(path, aFileModeReadOnly, true, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
  return sCreate(path, aFileModeWriteOnly, false, stream);
}
