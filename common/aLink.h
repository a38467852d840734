// The link engine: turns a byte stream into a packet connection to one device.
// Each link has a reading thread (the in-pipe) that assembles packets, keeps
// packet synchronisation with the device, answers its heartbeats and queues
// the rest on the link's inbound FIFO, and a writing thread (the out-pipe)
// that writes what callers queue on the outbound FIFO. Links live in one
// process-wide table, are named by 32-bit identifiers that are never reused
// (0 names none) and are shared by use count between users of one device.
//
// Odd addresses are never sent by a device, so the host uses them to control
// the link: (0xAD, 0) asks the device for its module address, which also
// lines host and device up on packet boundaries; (0xAF, 1, [on]) switches
// routing on or off. Heartbeats (A, 2, [0, h]) are answered with
// (A, 2, [0, h + 2]) and never reach the inbound FIFO.
#ifndef CORVALITH_COMMON_ALINK_H
#define CORVALITH_COMMON_ALINK_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"
#include "common/aPacket.h"
#include "common/aStream.h"

typedef uint32_t aLinkRef;
typedef uint8_t linkStatus;

// Plain constants rather than an enumeration, so they mix with linkStatus
// values in expressions without conversions.
constexpr linkStatus kLinkStatusStopped = 0;   // initialised with a stream, threads not running
constexpr linkStatus kLinkStatusStarting = 1;  // aLink_Start is bringing the threads up
constexpr linkStatus kLinkStatusRunning = 2;   // threads running and in step with the device
constexpr linkStatus kLinkStatusStopping = 3;  // aLink_Stop in progress
constexpr linkStatus kLinkStatusSyncing = 4;   // synchronisation handshake in progress
constexpr linkStatus kLinkStatusNoStream = 5;  // no stream; also the status of an unknown link
constexpr linkStatus kLinkStatusIOError = 6;   // the stream reported a read error
constexpr linkStatus kLinkStatusError = 8;     // a received packet could not be queued

constexpr uint8_t kLinkSyncAddress = 0xAD;
constexpr uint8_t kLinkRouteAddress = 0xAF;
// Packet debug buffer: default and largest capacity in bytes.
constexpr int32_t kLinkPacketLogDefaultSize = 0x10000;
constexpr int32_t kLinkPacketLogMaxSize = 0x4000000;
// Record kinds the pipes write to the packet debug buffer.
constexpr uint8_t kLinkPacketLogOut = 1;
constexpr uint8_t kLinkPacketLogIn = 2;

// ---- Creation. Each returns the link identifier, or 0 when no link could be
// made (the reason is a library debug trace, bit 0x01). A link that exists for
// the same device gains one use and keeps its identifier.

// USB link to the module with this serial number; started and synchronised.
// 0 also when the device is shared by a device server (connect as a client).
[[nodiscard]] aLinkRef aLink_CreateUSB(uint32_t serialNumber);
// TCP link to a module at an IPv4 address (network byte order) and port.
[[nodiscard]] aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// Serial link (COBS framing, 8N1). baudRate must be 2400, 4800, 9600, 19200,
// 38400, 57600, 115200 or 230400; any other rate makes no link.
[[nodiscard]] aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* path, uint32_t baudRate);
// A client link of a shared device: a network client stream to the device
// server at address (IPv4, network byte order) and port. With a non-zero
// reference, that link gains one use and is returned instead (0 when it is
// unknown). Every other call makes a new, distinct link.
[[nodiscard]] aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef reference);
// Shares the device link through a new device server on *address (0 or
// 127.0.0.1: loopback; the address used is written back) and returns a client
// link to it, which holds the device link's use from then on; *port receives
// the server's port. 0 when the server or its client could not be made. From
// then on aLink_CreateUSB and aLink_CreateTCPIP refuse the device.
[[nodiscard]] aLinkRef aLink_CreateServer(aLinkRef device, uint16_t* port, uint32_t* address, bool localOnly);
// A link over the caller's stream, which the link owns from then on (also
// when 0 is returned). Every call makes a new link.
[[nodiscard]] aLinkRef aLink_Create(aStreamRef stream);

// ---- Control. Unknown identifiers give aErrParam unless stated.

// (Re)initialises a link's record around the stream (null: status 5): fresh
// FIFOs, no filter, no packet log, pooling off. A running link is stopped
// first and a replaced stream destroyed. The identifier, or 0 when unknown.
[[nodiscard]] aLinkRef aLink_Init(aLinkRef link, aStreamRef stream);
// Starts both pipes and queues route-on. aErrNone also when already running.
// aErrNotReady: no stream. aErrResource: a thread could not be made.
// aErrIndexRange: the pipes did not both come up in step within 2 s.
[[nodiscard]] aErr aLink_Start(aLinkRef link);
// Queues route-off and stops both pipes (status 0). aErrUnknown when a join
// fails.
[[nodiscard]] aErr aLink_Stop(aLinkRef link);
// Releases one use and sets *link to 0; the last use stops the link and frees
// it with its FIFOs and stream. aErrParam for a null address or an unknown
// link.
[[nodiscard]] aErr aLink_Destroy(aLinkRef* link);
// Recreates the stream (USB and TCP links only), clears FIFOs, filter and
// packet log, and restarts. Up to 20 attempts 100 ms apart; when none
// succeeds the link stays stopped without a stream (status 5) and the
// stream's error is returned (aErrParam for links that cannot be recreated:
// serial and caller's-stream links). Otherwise the start's result.
[[nodiscard]] aErr aLink_Reset(aLinkRef link);
[[nodiscard]] aErr aLink_ResetLink(aLinkRef link);
// Runs the synchronisation handshake: aErrNone once in step, aErrNotReady
// when not within 2 s. Both FIFOs are emptied afterwards.
[[nodiscard]] aErr aLink_Sync(aLinkRef link);
// Queues a route packet. aErrNotFound: unknown link. aErrParam: link not
// initialised. aErrMemory: no packet. Else the FIFO's result.
[[nodiscard]] aErr aLink_ForceRoute(aLinkRef link, bool on);
// The link's status; kLinkStatusNoStream for an unknown link.
linkStatus aLink_GetStatus(aLinkRef link);
// How often the link's stream failed while the link ran (the module went
// away); 0 for an unknown link. Counts drops too short to see in the status.
uint32_t aLink_GetDropCount(aLinkRef link);

// ---- Packets. Returned packets belong to the caller (aPacket_Destroy).

// Queues a copy for the out-pipe (aPacketFifo_Put's results).
[[nodiscard]] aErr aLink_PutPacket(aLinkRef link, const aPacket* packet);
// Packets queued for the out-pipe and not yet written; 0 for an unknown link.
size_t aLink_GetOutboundLength(aLinkRef link);
[[nodiscard]] aPacket* aLink_GetPacket(aLinkRef link);
[[nodiscard]] aPacket* aLink_AwaitPacket(aLinkRef link, int32_t timeoutMs);
[[nodiscard]] aPacket* aLink_GetFirst(aLinkRef link, aPacketFilter filter, const void* reference);
// Waits up to timeoutMs for the first inbound packet the filter accepts.
// A link that is not running in step is not waited on (only a packet already
// queued is returned), unless it is resynchronising and put a packet in step
// within the last timeoutMs. Once waiting, a resynchronisation does not end
// the wait (the reply may still come once the link is back in step); the
// wait ends within 100 ms of the link stopping, and at once when its inbound
// FIFO is destroyed.
[[nodiscard]] aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilter filter, const void* reference,
                                        int32_t timeoutMs);
// Whether aLink_AwaitFirst with this time-out would wait: the link runs in
// step, or it resynchronises and a packet went out in step within the last
// timeoutMs (a request whose reply may follow the handshake).
bool aLink_AwaitsReply(aLinkRef link, int32_t timeoutMs);
size_t aLink_DrainPackets(aLinkRef link, aPacketFilter filter, const void* reference);

// A filter the in-pipe offers every received packet to before anything else;
// a packet it accepts is consumed. It runs on the in-pipe thread and must not
// block. Null removes it.
[[nodiscard]] aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilter filter, const void* reference);
// Lets the out-pipe gather queued packets into one stream write of up to
// 4096 bytes.
[[nodiscard]] aErr aLink_EnablePooledPackets(aLinkRef link, bool pooled);

// ---- Packet debug buffer: a byte ring of records (kind, length, bytes); the
// pipes write kind 1 (sent) and 2 (received) while it exists. When full, the
// oldest records make room.

// aErrParam above kLinkPacketLogMaxSize; aErrBusy once the buffer exists;
// negative counts as 0 (default size).
[[nodiscard]] aErr aLink_PacketDebug_SetLogSize(aLinkRef link, int32_t size);
// Creates the buffer if needed and marks it enabled. aErrResource.
[[nodiscard]] aErr aLink_PacketDebug_Enable(aLinkRef link);
// aErrNotReady when there is no buffer. The pipes keep recording.
[[nodiscard]] aErr aLink_PacketDebug_Disable(aLinkRef link);
// Takes the oldest record; *length gives the buffer's capacity and returns
// the record's length. aErrNotFound: empty. aErrOverrun: buffer too small
// (record kept, *length tells the size needed). aErrNotReady: no buffer.
[[nodiscard]] aErr aLink_PacketDebug_Read(aLinkRef link, uint8_t* kind, uint32_t* length, uint8_t* buffer);
// Appends a record. aErrNotReady: no buffer. aErrOverrun: length + 2 does not
// fit the whole buffer. aErrParam: length above 255 or null bytes.
[[nodiscard]] aErr aLink_PacketDebug_Write(aLinkRef link, uint8_t kind, uint32_t length,
                                           const uint8_t* bytes);

#endif
