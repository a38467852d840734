// The network client stream: the byte stream under a client link of a shared
// device. It talks to a device server's frontend over ZeroMQ: every write is
// one frame (the link engine writes one packet at a time), and the frames the
// server sends back (reply packets, stream batches) are read back one byte at
// a time. A relay actor owns the network socket; the stream's own calls only
// touch in-process socket pairs, so the link's reading and writing threads
// never share a socket.
//
// Losing the server shows only as reads that find nothing (aErrNotReady); a
// link reset makes a fresh stream, whose new identity the server treats as a
// new client.
#ifndef CORVALITH_COMMON_ASTREAMCLIENT_H
#define CORVALITH_COMMON_ASTREAMCLIENT_H

#include <cstdint>

#include "common/aErr.h"
#include "common/aStream.h"

// How long one get waits for a frame from the server, ms.
constexpr int aCLIENT_GET_WAIT_MS = 1000;

// A stream to the device server at address (IPv4, network byte order) and
// port. ZeroMQ connects lazily, so a server that is not there yet is no error.
// aErrParam: null out pointer. aErrMemory: a socket or the record could not be
// made. aErrConnection: a connect failed. aErrResource: the stream object
// could not be made. On failure nothing is left behind and *stream is null.
[[nodiscard]] aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream);

#endif
