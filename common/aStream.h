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

typedef struct aStreamRecord* aStreamRef;

// A new stream over ref with an empty push-back buffer; null when out of
// memory. Any procedure may be null.
[[nodiscard]] aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                        aStreamDeleteProc del, void* ref);
// Calls the delete procedure (its result is the result), frees the stream and
// nulls *stream. aErrParam for a null address or an invalid stream.
[[nodiscard]] aErr aStream_Destroy(aStreamRef* stream);

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

// ---- Concrete transports (unix/). Each returns the new stream through its
// last argument, which is left untouched on failure.

// A file read one byte per get. aErrResource for any failure.
[[nodiscard]] aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
// A file created or truncated; put and write go straight through.
// aErrResource for any failure.
[[nodiscard]] aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

// Retry budget of a socket write and the wait between tries in ms.
constexpr int aSOCKET_MAX_SEND_RETRY = 10;
constexpr int aSOCKET_RETRY_DELAY_MS = 60;
// The first connect gives up after this long instead of the kernel's minutes
// of SYN retries, so an unreachable module fails in bounded time, in ms.
constexpr int kConnectTimeoutMs = 5000;
// A TCP client connection to an IPv4 address (network byte order) and port.
// Gets wait up to 50 ms for input before answering aErrNotReady; a peer that
// went away is reconnected by the next get or write. aErrConnection when the
// connect is not answered within kConnectTimeoutMs; aErrResource for any
// other failure, a refused connection included.
[[nodiscard]] aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);

// The USB bulk connection to the module with this serial number, through its
// kernel device file when one exists, else libusb (unix/cvusb.h). aErrParam
// (serial 0, null out), aErrMemory, aErrResource (no driver object), or the
// driver's open error (aErrNotFound when no such module is attached).
[[nodiscard]] aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);

// Baud index: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 57600, 6 115200,
// 7 230400; anything else sets speed 0 (hang up). dataBits 0 = 8 bits,
// 1 = 7 bits; stopBits 0 = one, 1 = two.
// A raw serial port whose get answers at once. aErrParam (missing path or out
// argument, selector above 1), aErrMemory, aErrResource, aErrNotFound (no
// such device), aErrPermission, aErrIO.
[[nodiscard]] aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                                        uint32_t stopBits, aStreamRef* stream);
// The same port carrying packets in COBS frames with a CRC-8 (common/aCOBS.h).
// Writes frame every complete packet; gets deliver the bytes of received
// packets, waiting up to 50 ms for input, and aErrPacket for a damaged frame.
[[nodiscard]] aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity,
                                                   uint32_t dataBits, uint32_t stopBits, aStreamRef* stream);

#endif
