// The device server: shares one device link with any number of client
// processes over ZeroMQ, the creating process included (aLink_CreateServer
// talks to the device through a client link like everybody else).
//
// Clients send packet frames to the server's frontend (a ROUTER). A broker
// actor queues the asking client for each request and hands the request to a
// command actor, which puts it on the device link and awaits the reply, one
// request at a time, so replies leave in request order and each goes back to
// the client that asked. A multi-packet UEI byte sequence of one client is
// held until it is complete and then sent back to back. Route packets from
// clients never reach the device. Streaming packets from the device are
// batched on the link's in-pipe and fanned out to every client that enabled
// streaming; a client's stream disable that would also end a stream another
// client enabled is answered by the server and not passed on. Discovery (loopback multicast, or the CZMQ
// beacon when the server listens on a network interface) is answered only once the device's model is known.
//
// Traces: library debug bit 0x04.
#ifndef CORVALITH_COMMON_ASERVER_H
#define CORVALITH_COMMON_ASERVER_H

#include <cstdint>

#include "common/aErr.h"
#include "common/aLink.h"

typedef struct aServerRecord* aServerRef;

// Loopback multicast of the server search: group, the server's first request
// port and reply port (a server takes the first free offset), and how many
// offsets there are.
constexpr const char* aSERVER_MULTICAST_GROUP = "224.0.0.7";
constexpr uint16_t aSERVER_MULTICAST_REQUEST_PORT = 9850;
constexpr uint16_t aSERVER_MULTICAST_REPLY_PORT = 9950;
constexpr int aSERVER_MULTICAST_OFFSETS = 50;
// The probe: this word in little-endian order.
constexpr uint32_t aSERVER_MULTICAST_MAGIC = 0xABCDDCBA;
// The beacon search: UDP port and the searchers' announcement.
constexpr int aSERVER_BEACON_PORT = 8585;
constexpr const char* aSERVER_BEACON_TEXT = "Corvalith2-Discovery";
// How long the command actor awaits the device's reply to one request, ms.
constexpr int32_t aSERVER_REPLY_WAIT_MS = 2000;

// A server for the device link (USB, TCPIP or SERIAL) on the interface
// (IPv4, network byte order; 0 means 127.0.0.1). Null for an unknown link or
// another transport.
[[nodiscard]] aServerRef aServer_Create(aLinkRef device, uint32_t interfaceAddress, bool localOnly);
// Binds the sockets, starts the actors and takes the device link's user
// filter. aErrParam: null. aErrResource: a socket, port, actor or list could
// not be made (the server stays unstarted; destroy it).
[[nodiscard]] aErr aServer_Start(aServerRef server);
// Stops the actors and frees everything; nulls *server. aErrParam for null.
// Returns within the actors' poll bounds (about 2 s at most).
[[nodiscard]] aErr aServer_Destroy(aServerRef* server);
// The frontend's TCP port. aErrParam for null arguments.
[[nodiscard]] aErr aServer_GetPort(aServerRef server, uint16_t* port);
// The address the frontend listens on. aErrParam for null arguments.
[[nodiscard]] aErr aServer_GetInterface(aServerRef server, uint32_t* address);
// What discovery announces; discovery is answered only once the model is
// non-zero. aErrParam for null.
[[nodiscard]] aErr aServer_SetModuleAddress(aServerRef server, uint8_t address);
[[nodiscard]] aErr aServer_SetModel(aServerRef server, uint8_t model);
// How many entries the server holds for its clients: connections it has
// heard from, pending UEI byte sequences, stream subscriptions, clients with
// enabled streams and queued replies. Everything of a client whose connection closes is freed at once
// (a reply still owed to it is dropped when it comes), so this falls back
// when clients go away. aErrParam for null arguments.
[[nodiscard]] aErr aServer_GetClientStateCount(aServerRef server, uint32_t* count);
// Forgets every client waiting for a reply; their replies are dropped.
// aErrParam for null or an unstarted server.
[[nodiscard]] aErr aServer_FlushFIFO(aServerRef server);

#endif
