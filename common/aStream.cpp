#include "common/aStream.h"

#include <cstdlib>
#include <cstring>
#include <new>

struct aStreamRecord {
  uint16_t check;
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  aStreamInterruptProc interrupt;
  void* ref;
  // Push-back ring; allocated on first use.
  uint8_t* buffer;
  uint32_t buffered;
  uint32_t capacity;
  uint32_t readIndex;
  uint32_t writeIndex;
};

namespace {

// Reads of up to this many bytes gather on the stack: the link engine reads
// one byte per call, so a heap buffer per call would allocate per byte.
constexpr size_t kStackGather = 256;

bool sValid(const aStreamRecord* stream) {
  return stream != nullptr && stream->check == aSTREAMCHECK;
}

bool sTakeBuffered(aStreamRecord* stream, uint8_t* byte) {
  if (stream->buffered == 0) return false;
  *byte = stream->buffer[stream->readIndex];
  stream->readIndex = (stream->readIndex + 1) % stream->capacity;
  --stream->buffered;
  return true;
}

// Push-back buffer first, then the transport.
aErr sNextByte(aStreamRecord* stream, uint8_t* byte) {
  if (sTakeBuffered(stream, byte)) return aErrNone;
  return stream->get(byte, stream->ref);
}

aErr sBufferBytes(aStreamRecord* stream, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    aErr err = aStreamBufferChar(stream, bytes[i]);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

// Scratch space for count bytes: the caller's stack block when it is big
// enough, else the heap (owned by the holder).
class Scratch {
 public:
  explicit Scratch(size_t count) {
    if (count > kStackGather) {
      heap_ = static_cast<uint8_t*>(std::malloc(count));
      data_ = heap_;
    } else {
      data_ = stack_;
    }
  }
  ~Scratch() { std::free(heap_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  uint8_t* data() const { return data_; }

 private:
  uint8_t stack_[kStackGather];
  uint8_t* heap_ = nullptr;
  uint8_t* data_ = nullptr;
};

}  // namespace

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref) {
  auto* stream = new (std::nothrow) aStreamRecord{};
  if (!stream) return nullptr;
  stream->check = aSTREAMCHECK;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->del = del;
  stream->ref = ref;
  return stream;
}

aErr aStream_SetInterrupt(aStreamRef stream, aStreamInterruptProc interrupt) {
  if (!sValid(stream)) return aErrParam;
  stream->interrupt = interrupt;
  return aErrNone;
}

void aStream_Interrupt(aStreamRef stream) {
  if (sValid(stream) && stream->interrupt) stream->interrupt(stream->ref);
}

aErr aStream_Destroy(aStreamRef* stream) {
  if (!stream || !sValid(*stream)) return aErrParam;
  aStreamRecord* s = *stream;
  aErr err = s->del ? s->del(s->ref) : aErrNone;
  std::free(s->buffer);
  s->check = 0;
  delete s;
  *stream = nullptr;
  return err;
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte) {
  if (!sValid(stream)) return aErrParam;
  if (!stream->buffer) {
    stream->buffer = static_cast<uint8_t*>(std::malloc(aSTREAMBUFCHUNK));
    if (!stream->buffer) return aErrMemory;
    stream->capacity = aSTREAMBUFCHUNK;
    stream->buffered = stream->readIndex = stream->writeIndex = 0;
  }
  // One slot always stays free, so a ring at capacity - 1 grows first.
  if (stream->buffered >= stream->capacity - 1) {
    uint32_t grown = stream->capacity + aSTREAMBUFCHUNK;
    auto* bigger = static_cast<uint8_t*>(std::malloc(grown));
    if (!bigger) return aErrMemory;
    uint32_t n = 0;
    while (sTakeBuffered(stream, &bigger[n])) ++n;
    std::free(stream->buffer);
    stream->buffer = bigger;
    stream->capacity = grown;
    stream->buffered = n;
    stream->readIndex = 0;
    stream->writeIndex = n;
  }
  stream->buffer[stream->writeIndex] = byte;
  stream->writeIndex = (stream->writeIndex + 1) % stream->capacity;
  ++stream->buffered;
  return aErrNone;
}

uint32_t aStream_BufferCapacity(aStreamRef stream) {
  return sValid(stream) ? stream->capacity : 0;
}

aErr aStream_Read(aStreamRef stream, uint8_t* dest, size_t count) {
  if (!sValid(stream) || !dest) return aErrParam;
  if (!stream->get) return aErrMode;
  Scratch gathered(count);
  if (!gathered.data()) return aErrResource;
  uint8_t* bytes = gathered.data();
  size_t n = 0;
  aErr err = aErrNone;
  while (n < count) {
    err = sNextByte(stream, &bytes[n]);
    if (err != aErrNone) break;
    ++n;
  }
  if (err == aErrNotReady) {
    aErr pushed = sBufferBytes(stream, bytes, n);
    return pushed == aErrNone ? aErrNotReady : pushed;
  }
  if (err == aErrNone || err == aErrEOF) {
    if (n) std::memcpy(dest, bytes, n);
  }
  return err;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t count) {
  if (!sValid(stream) || !bytes) return aErrParam;
  if (!stream->put && !stream->write) return aErrMode;
  if (stream->write && (count > 1 || !stream->put)) return stream->write(bytes, count, stream->ref);
  for (size_t i = 0; i < count; ++i) {
    aErr err = stream->put(&bytes[i], stream->ref);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength) {
  if (!sValid(stream) || !buffer || size == 0 || !terminator || terminatorLength == 0) return aErrParam;
  if (!stream->get) return aErrMode;
  Scratch stored(size);
  if (!stored.data()) return aErrResource;
  uint8_t* bytes = stored.data();
  size_t n = 0;
  size_t matched = 0;
  aErr err = aErrNone;
  // A byte off the terminator is stored without restarting the match, so
  // the terminator's bytes are recognised even when data sits between them.
  while (matched < terminatorLength && n < size) {
    uint8_t byte = 0;
    err = sNextByte(stream, &byte);
    if (err == aErrNotReady) {
      aErr pushed = sBufferBytes(stream, bytes, n);
      return pushed == aErrNone ? aErrNotReady : pushed;
    }
    if (err == aErrEOF) {
      if (n == 0) return aErrEOF;
      err = aErrNone;
      break;
    }
    if (err != aErrNone) return err;
    if (byte == terminator[matched]) {
      ++matched;
    } else {
      bytes[n++] = byte;
    }
  }
  std::memcpy(buffer, bytes, n);
  if (length) *length = n;
  return aErrNone;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, size_t count, const uint8_t* terminator,
                         size_t terminatorLength) {
  if (!terminator || terminatorLength == 0) return aErrParam;
  aErr err = aStream_Write(stream, bytes, count);
  if (err != aErrNone) return err;
  return aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size) {
  static const uint8_t kZero = 0;
  if (!buffer || size == 0) return aErrParam;
  size_t n = 0;
  aErr err = size > 1
                 ? aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &n, size - 1, &kZero, 1)
                 : aErrNone;
  if (err == aErrNone) buffer[n] = '\0';
  return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
  if (!text) return aErrParam;
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size, const char* terminator) {
  if (!buffer || size == 0 || !terminator) return aErrParam;
  size_t n = 0;
  aErr err = size > 1
                 ? aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &n, size - 1,
                                      reinterpret_cast<const uint8_t*>(terminator), std::strlen(terminator))
                 : aErrNone;
  if (err == aErrNone) buffer[n] = '\0';
  return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminator) {
  if (!text || !terminator) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text),
                             reinterpret_cast<const uint8_t*>(terminator), std::strlen(terminator) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination) {
  if (!sValid(source) || !sValid(destination)) return aErrParam;
  if (!source->get || !destination->put) return aErrMode;
  for (;;) {
    uint8_t byte = 0;
    aErr err = sNextByte(source, &byte);
    if (err == aErrEOF) return aErrNone;
    if (err != aErrNone) return err;
    err = destination->put(&byte, destination->ref);
    if (err != aErrNone) return err;
  }
}
