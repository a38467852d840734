// Byte streams: one small object with four procedures (get a byte, put a
// byte, write a block, delete) and the transport's own reference, through
// which the link engine and the recovery clients talk to every transport
// without knowing it. The generic operations live in common/aStream.cpp; the
// concrete transports (file, TCP socket, USB, serial and packetised serial)
// in unix/.
//
// Get procedures answer with fixed meanings that the generic operations rely
// on: aErrNone (a byte was delivered), aErrNotReady (nothing now; try again),
// aErrEOF (the source has ended), anything else a failure.
#ifndef CORVALITH_COMMON_ASTREAM_H
#define CORVALITH_COMMON_ASTREAM_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

constexpr uint16_t aSTREAMCHECK = 0x4321;
// Push-back buffer size and growth step in bytes.
constexpr uint32_t aSTREAMBUFCHUNK = 512;

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t count, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);
typedef void (*aStreamInterruptProc)(void* ref);

typedef struct aStreamRecord* aStreamRef;

// A new stream over ref with an empty push-back buffer; null when out of
// memory. Any procedure may be null.
[[nodiscard]] aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                        aStreamDeleteProc del, void* ref);
// Calls the delete procedure (its result is the result), frees the stream and
// nulls *stream. aErrParam for a null address or an invalid stream.
[[nodiscard]] aErr aStream_Destroy(aStreamRef* stream);

// Sets the procedure that ends a get now waiting in the transport (it then
// answers aErrNotReady), for transports whose gets wait long. aErrParam for
// an invalid stream.
[[nodiscard]] aErr aStream_SetInterrupt(aStreamRef stream, aStreamInterruptProc interrupt);
// Ends a get now waiting, or the next one, where the transport can; from
// any thread while the stream exists. The link engine calls it when it
// stops, so a stop does not wait out a transport's long read.
void aStream_Interrupt(aStreamRef stream);

// Reads exactly count bytes, push-back buffer first. aErrNone or aErrEOF copy
// what was gathered to dest; aErrNotReady copies nothing and gives the
// gathered bytes back so the next read sees them first; other errors drop
// them. aErrParam (invalid stream, null dest), aErrMode (no get procedure),
// aErrResource (no working buffer).
[[nodiscard]] aErr aStream_Read(aStreamRef stream, uint8_t* dest, size_t count);
// One write-procedure call for more than one byte when there is one, else one
// put per byte, stopping at the first error. aErrParam (invalid stream, null
// bytes), aErrMode (neither put nor write).
[[nodiscard]] aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t count);
// Gives one byte back at the tail of the push-back buffer.
// aErrParam (invalid stream), aErrMemory (buffer cannot be made or grown).
[[nodiscard]] aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);
// Current capacity of the push-back buffer in bytes (0 before first use or for
// an invalid stream); for diagnostics.
uint32_t aStream_BufferCapacity(aStreamRef stream);

// Reads one record ended by the terminator sequence into buffer (at most size
// bytes, terminator not stored); a full buffer also ends the record. The
// stored length goes to *length when given. aErrNotReady gives the stored
// bytes back; aErrEOF after stored bytes completes the record (aErrNone).
// aErrParam (invalid stream, null buffer, size 0, missing terminator),
// aErrMode (no get), aErrResource (no working buffer), or the get's error.
[[nodiscard]] aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t size,
                                      const uint8_t* terminator, size_t terminatorLength);
// Writes the bytes, then the terminator. aErrParam also for a missing or
// empty terminator.
[[nodiscard]] aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, size_t count,
                                       const uint8_t* terminator, size_t terminatorLength);
// A record ended by a zero byte, at most size - 1 bytes, zero-terminated.
[[nodiscard]] aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);
// The text and its zero byte.
[[nodiscard]] aErr aStream_WriteCString(aStreamRef stream, const char* text);
// A record ended by the terminator text, at most size - 1 bytes,
// zero-terminated.
[[nodiscard]] aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                                             const char* terminator);
// The text without its zero, then the terminator text with its zero.
[[nodiscard]] aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminator);
// Copies source to destination byte by byte until the source ends (aErrNone)
// or fails (its error), or the destination's put fails (its error).
// aErrParam (invalid stream), aErrMode (source without get or destination
// without put).
[[nodiscard]] aErr aStream_Flush(aStreamRef source, aStreamRef destination);

#endif
