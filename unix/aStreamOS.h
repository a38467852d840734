// The device library's concrete streams on this operating system: files, a
// TCP client, USB and serial ports. Each returns the new stream through its
// last argument, which is left untouched on failure.
#ifndef CORVALITH_UNIX_ASTREAMOS_H
#define CORVALITH_UNIX_ASTREAMOS_H

#include <cstdint>

#include "common/aStream.h"

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

// The baud index of a rate, UINT32_MAX for a rate the ports do not offer.
[[nodiscard]] uint32_t aStream_SerialBaudIndex(uint32_t baudRate);
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
