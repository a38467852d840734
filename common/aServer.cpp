#include "common/aServer.h"

#include <czmq.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/aDebug.h"
#include "common/aDiscovery.h"
#include "common/aLinkPrivate.h"
#include "common/aServerBroker.h"
#include "common/aUEI.h"
#include "common/aZmqPair.h"
#include "common/linkSpec.h"
#include "unix/aDiscoveryOS.h"
#include "unix/aOS.h"

namespace {

constexpr uint16_t kServerCheck = 0x5E4E;
// Poll bound of every actor, so each notices its pipe within it, ms.
constexpr int kActorPollMs = 1000;
// Signal on the broker's pipe that empties its reply queue.
constexpr int kSignalFlush = 5;
// Stream batches: buffer size, and the fill past which a batch is sent (the
// largest packet still fits, so a batch is at most 4095 bytes).
constexpr size_t kStreamBuffer = 4096;
constexpr size_t kStreamFlushFill = kStreamBuffer - kMaxPacketBytes - 1;
// The beacon: how often the spec is published, ms, and how long after the
// last searcher the server keeps publishing, ms.
constexpr int kBeaconIntervalMs = 100;
constexpr int64_t kBeaconSilenceMs = 2000;
constexpr int kBeaconReceiveMs = 100;
constexpr size_t kBeaconTextSize = 20;
constexpr size_t kAddressText = 16;
// The frontend's monitor event: 16-bit event, 32-bit value (the fd).
constexpr size_t kMonitorEventSize = 6;
// A routing identity: the ROUTER makes 5-byte ones; a client may set its own.
constexpr size_t kMaxIdentity = 255;

}  // namespace

struct aServerRecord {
  uint16_t check = kServerCheck;
  aLinkRef device = 0;
  uint32_t serialNumber = 0;
  std::atomic<uint8_t> model{0};
  std::atomic<uint8_t> moduleAddress{0};
  uint32_t sharedType = 0;
  bool localOnly = true;
  uint32_t interfaceAddress = aDISCOVERY_LOOPBACK;
  int64_t announceTime = 0;
  bool announcing = false;
  zactor_t* broker = nullptr;
  zactor_t* command = nullptr;
  zactor_t* discovery = nullptr;
  bool beaconInUse = false;
  uint16_t frontendPort = 0;
  zsock_t* frontend = nullptr;
  zsock_t* commandBound = nullptr;
  zsock_t* commandConnected = nullptr;
  zsock_t* streamingBound = nullptr;
  zsock_t* streamingConnected = nullptr;
  uint32_t announcedAddress = aDISCOVERY_LOOPBACK;
  uint8_t streamBuffer[kStreamBuffer] = {};
  uint16_t streamFill = 0;
  // Broker-owned: clients, their pending replies, sequences and
  // subscriptions.
  aServerBroker book;
  zsock_t* monitor = nullptr;
  // The book's client state, published after each wake-up for anyone
  // watching.
  std::atomic<uint32_t> clientState{0};
  bool started = false;
};

namespace {

bool sValid(const aServerRecord* server) {
  return server && server->check == kServerCheck;
}

zsock_t* sSocket(int type) {
  zsock_t* sock = zsock_new(type);
  // Closing never waits for frames a vanished peer will not take.
  if (sock) zsock_set_linger(sock, 0);
  return sock;
}

// A packet of a frame's bytes (address, length, data), or null. Address 0
// marks a packet still being read, so no complete packet has it.
aPacket* sPacketOf(const uint8_t* bytes, size_t size) {
  if (size < 2 || size > kMaxPacketBytes || bytes[0] == 0 || bytes[1] != size - 2) return nullptr;
  return aPacket_CreateWithData(bytes[0], bytes[1], bytes + 2);
}

std::string sImage(const aPacket* packet) {
  uint8_t bytes[kMaxPacketBytes];
  size_t n = 0;
  if (aPacket_GetBytes(packet, bytes, sizeof bytes, &n) != aErrNone) return std::string();
  return std::string(reinterpret_cast<const char*>(bytes), n);
}

bool sSend(zsock_t* sock, const std::string& bytes, int flags) {
  return zmq_send(zsock_resolve(sock), bytes.data(), bytes.size(), flags) >= 0;
}

// To the client with this identity, through the ROUTER.
bool sSendTo(aServerRecord* server, const std::string& identity, const std::string& bytes) {
  return sSend(server->frontend, identity, ZMQ_SNDMORE | ZMQ_DONTWAIT) &&
         sSend(server->frontend, bytes, ZMQ_DONTWAIT);
}

bool sSendCommand(zsock_t* sock, uint8_t command, uint16_t count) {
  const uint8_t frame[aSERVER_CMD_FRAME_SIZE] = {command, static_cast<uint8_t>(count >> 8),
                                                 static_cast<uint8_t>(count & 0xFF)};
  return zmq_send(zsock_resolve(sock), frame, sizeof frame, ZMQ_DONTWAIT) >= 0;
}

bool sReplyRequired(const aPacket* packet) {
  return packet->address != kLinkRouteAddress;
}

bool sFullAndContinues(const aPacket* packet) {
  return aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

void sAnnouncedSpec(const aServerRecord* server, bool localReply, uint8_t image[kLinkSpecSize]) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = static_cast<linkType>(server->sharedType);
  spec.serialNumber = server->serialNumber;
  spec.module = server->moduleAddress.load();
  spec.model = server->model.load();
  spec.t.ip.ipAddress = localReply ? aDISCOVERY_LOOPBACK : server->announcedAddress;
  spec.t.ip.ipPort = server->frontendPort;
  aCorvalithDebug_Printf(0x200, "Creating Network Spec: Address: %d, Port: %d\n",
                         static_cast<int>(spec.t.ip.ipAddress), static_cast<int>(spec.t.ip.ipPort));
  aLinkSpec_ToImage(spec, image);
}

// ---- Broker

// Takes every pending event of the frontend's monitor (accepted and
// disconnected connections).
void sMonitorEvents(aServerRecord* server) {
  for (;;) {
    zmsg_t* event = zmsg_recv_nowait(server->monitor);
    if (!event) return;
    zframe_t* head = zmsg_first(event);
    if (head && zframe_size(head) == kMonitorEventSize) {
      uint16_t kind = 0;
      int32_t fd = 0;
      std::memcpy(&kind, zframe_data(head), sizeof kind);
      std::memcpy(&fd, zframe_data(head) + sizeof kind, sizeof fd);
      if (kind == ZMQ_EVENT_ACCEPTED) {
        server->book.connectionAccepted(fd);
      } else if (kind == ZMQ_EVENT_DISCONNECTED) {
        server->book.connectionClosed(fd);
      }
    }
    zmsg_destroy(&event);
  }
}

// One message from a client: its identity and one packet frame. False when
// the frontend had no complete message.
bool sReceiveFromClient(aServerRecord* server, std::string* identity, std::string* frame, int* fd) {
  void* sock = zsock_resolve(server->frontend);
  zmq_msg_t part;
  zmq_msg_init(&part);
  if (zmq_msg_recv(&part, sock, ZMQ_DONTWAIT) < 0) {
    zmq_msg_close(&part);
    return false;
  }
  identity->assign(static_cast<const char*>(zmq_msg_data(&part)),
                   std::min(zmq_msg_size(&part), kMaxIdentity));
  int parts = 1;
  bool more = zmq_msg_more(&part) != 0;
  while (more) {
    if (zmq_msg_recv(&part, sock, ZMQ_DONTWAIT) < 0) break;
    // Only the first frame after the identity counts; the rest is dropped.
    if (++parts == 2) {
      // The fd of the connection the message came in on: the one way to tie
      // a routing identity to the monitor's disconnect events. (The ROUTER's
      // identity frame loses it once a poll has prefetched the message.)
      *fd = zmq_msg_get(&part, ZMQ_SRCFD);
      frame->assign(static_cast<const char*>(zmq_msg_data(&part)),
                    std::min<size_t>(zmq_msg_size(&part), kMaxPacketBytes + 1));
    }
    more = zmq_msg_more(&part) != 0;
  }
  zmq_msg_close(&part);
  return parts >= 2;
}

void sFrontendMessage(aServerRecord* server) {
  std::string identity;
  std::string frame;
  int fd = -1;
  if (!sReceiveFromClient(server, &identity, &frame, &fd)) return;
  // A disconnect is reported before its fd can be reused, so events taken
  // now tell whether this message's connection is still there.
  sMonitorEvents(server);
  std::vector<std::string> toDevice;
  server->book.clientFrame(identity, frame, fd, &toDevice);
  for (const std::string& out : toDevice) {
    if (!sSend(server->commandBound, out, ZMQ_DONTWAIT)) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "Failed to send packet out!\n");
    }
  }
}

void sCommandMessage(aServerRecord* server) {
  zframe_t* frame = zframe_recv(server->commandBound);
  if (!frame) return;
  const std::string bytes(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
  zframe_destroy(&frame);
  std::string to;
  if (server->book.commandFrame(bytes, &to)) (void)sSendTo(server, to, bytes);
}

void sStreamingMessage(aServerRecord* server) {
  zframe_t* frame = zframe_recv(server->streamingBound);
  if (!frame) return;
  const std::string batch(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
  for (const std::string& subscriber : server->book.subscribers()) (void)sSendTo(server, subscriber, batch);
  zframe_destroy(&frame);
}

void sBeaconMessage(aServerRecord* server) {
  char* sender = zstr_recv(server->discovery);
  zframe_t* content = sender ? zframe_recv(server->discovery) : nullptr;
  if (server->model.load() == 0) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Discovery not allowed (beacon), model not set.\n");
  } else if (content && zframe_size(content) >= kBeaconTextSize &&
             std::memcmp(zframe_data(content), aSERVER_BEACON_TEXT, kBeaconTextSize) == 0 &&
             !server->announcing) {
    uint8_t image[kLinkSpecSize];
    sAnnouncedSpec(server, server->localOnly, image);
    zsock_send(server->discovery, "sbi", "PUBLISH", image, kLinkSpecSize, kBeaconIntervalMs);
    aCorvalithDebug_Printf(aDEBUG_SERVER, "PUBLISH\n");
    server->announceTime = zclock_mono();
    server->announcing = true;
  }
  zframe_destroy(&content);
  zstr_free(&sender);
}

void sBroker(zsock_t* pipe, void* args) {
  aServerRecord* server = static_cast<aServerRecord*>(args);
  zpoller_t* poller = zpoller_new(pipe, server->monitor, server->commandBound, server->frontend,
                                  server->streamingBound, nullptr);
  if (poller && server->beaconInUse) zpoller_add(poller, server->discovery);
  zsock_signal(pipe, 0);
  while (poller) {
    void* which = zpoller_wait(poller, kActorPollMs);
    if (which == pipe) {
      zmsg_t* msg = zmsg_recv(pipe);
      const int signal = msg ? zmsg_signal(msg) : -1;
      zmsg_destroy(&msg);
      if (signal != kSignalFlush) {
        aCorvalithDebug_Printf(aDEBUG_SERVER, "pre exit 1\n");
        break;
      }
      server->book.flush();
    } else if (which == server->monitor) {
      sMonitorEvents(server);
    } else if (which == server->frontend) {
      sFrontendMessage(server);
    } else if (which == server->commandBound) {
      sCommandMessage(server);
    } else if (which == server->streamingBound) {
      sStreamingMessage(server);
    } else if (which && which == server->discovery) {
      sBeaconMessage(server);
    } else if (zpoller_terminated(poller)) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "pre exit 2\n");
      break;
    }
    if (server->announcing && zclock_mono() - server->announceTime > kBeaconSilenceMs) {
      zstr_sendx(server->discovery, "SILENCE", nullptr);
      server->announcing = false;
      aCorvalithDebug_Printf(aDEBUG_SERVER, "Beacon silenced\n");
    }
    server->clientState.store(static_cast<uint32_t>(server->book.clientState()));
  }
  zpoller_destroy(&poller);
  server->book.clear();
  server->clientState.store(0);
  aCorvalithDebug_Printf(aDEBUG_SERVER, "broker task exit\n");
}

// ---- Command actor

uint8_t sAcceptAny(const aPacket*, const void*) {
  return 1;
}

void sPrintPacket(const aPacket* packet) {
  if (!aCorvalithDebug_On(aDEBUG_SERVER)) return;
  if (packet->length < 2) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Weird Packet: Address: %d, Size: %d\n", packet->address,
                           packet->length);
    return;
  }
  std::string text;
  char hex[8];
  for (uint8_t i = 0; i < packet->length; ++i) {
    std::snprintf(hex, sizeof hex, "0x%X ", packet->data[i]);
    text += hex;
  }
  aCorvalithDebug_Printf(aDEBUG_SERVER, "Address: %d, Size: %d Data: %s\n", packet->address, packet->length,
                         text.c_str());
}

// inSequence: the last request was a UEI byte packet that continues, so the
// device may already be answering the sequence this packet belongs to.
void sRequest(aServerRecord* server, const aPacket* packet, bool* inSequence) {
  // Whatever waits before a new exchange is a late reply to a request whose
  // wait ended (a module that was gone and came back); taken as this one's
  // reply it would shift every later reply to the wrong client.
  if (!*inSequence) (void)aLink_DrainPackets(server->device, sAcceptAny, nullptr);
  *inSequence = aUEI_isUEIPayload(packet) && sFullAndContinues(packet);
  const aErr err = aLink_PutPacket(server->device, packet);
  if (err != aErrNone) {
    if (!sSendCommand(server->commandConnected, aSERVER_CMD_DROPPED_PACKET, 0)) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "Failed to SEND SERVER_CMD_DROPPED_PACKET!\n");
    }
    sPrintPacket(packet);
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Failed to PUT packet: err: %d\n", err);
    return;
  }
  if (!sReplyRequired(packet) || (aUEI_isUEIPayload(packet) && sFullAndContinues(packet))) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "don't wait on this packet\n");
    return;
  }
  std::vector<aPacket*> replies;
  while (static_cast<int>(replies.size()) < aSERVER_MAX_REPLY_PACKETS) {
    aPacket* reply = aLink_AwaitFirst(server->device, sAcceptAny, nullptr, aSERVER_REPLY_WAIT_MS);
    if (!reply) break;
    replies.push_back(reply);
    if (!aUEI_isUEIPayload(reply) || !sFullAndContinues(reply)) break;
  }
  if (replies.empty()) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "DROPPED PACKET!\n");
    if (!sSendCommand(server->commandConnected, aSERVER_CMD_DROPPED_PACKET, 0)) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "Failed to SEND SERVER_CMD_DROPPED_PACKET!\n");
    }
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Failed to AWAIT packet\n");
    return;
  }
  if (!sSendCommand(server->commandConnected, aSERVER_CMD_INCOMING_PACKETS,
                    static_cast<uint16_t>(replies.size()))) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Failed to SEND SERVER_CMD_INCOMING_PACKETS\n");
  }
  for (aPacket*& reply : replies) {
    if (!sSend(server->commandConnected, sImage(reply), ZMQ_DONTWAIT)) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "Failed to SENDY-SEND!\n");
    }
    (void)aPacket_Destroy(&reply);
  }
}

void sCommand(zsock_t* pipe, void* args) {
  aServerRecord* server = static_cast<aServerRecord*>(args);
  aCorvalithDebug_Printf(aDEBUG_SERVER, "sync task start\n");
  zpoller_t* poller = zpoller_new(pipe, server->commandConnected, nullptr);
  zsock_signal(pipe, 0);
  bool inSequence = false;
  while (poller) {
    void* which = zpoller_wait(poller, kActorPollMs);
    if (which == pipe || (!which && zpoller_terminated(poller))) break;
    if (!which) continue;
    zframe_t* frame = zframe_recv(server->commandConnected);
    if (!frame) continue;
    const uint8_t* bytes = zframe_data(frame);
    const size_t size = zframe_size(frame);
    if (size > 0 && bytes[0] == aSERVER_LOCAL_REPLY) {
      // The broker's own answer, in its place among the device's replies.
      const std::string reply(reinterpret_cast<const char*>(bytes) + 1, size - 1);
      const bool sent = sSendCommand(server->commandConnected, aSERVER_CMD_INCOMING_PACKETS, 1) &&
                        sSend(server->commandConnected, reply, ZMQ_DONTWAIT);
      if (!sent) aCorvalithDebug_Printf(aDEBUG_SERVER, "Failed to SENDY-SEND!\n");
      zframe_destroy(&frame);
      continue;
    }
    aPacket* packet = sPacketOf(bytes, size);
    zframe_destroy(&frame);
    if (!packet) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "bad-packet\n");
      continue;
    }
    sRequest(server, packet, &inSequence);
    (void)aPacket_Destroy(&packet);
  }
  zpoller_destroy(&poller);
  aCorvalithDebug_Printf(aDEBUG_SERVER, "sync task exit\n");
}

// ---- Multicast actor

void sMulticast(zsock_t* pipe, void* args) {
  aServerRecord* server = static_cast<aServerRecord*>(args);
  aCorvalithDebug_Printf(aDEBUG_SERVER, "multicast task start\n");
  aMulticastRef receiver = nullptr;
  aMulticastRef sender = nullptr;
  for (int i = 0; i < aSERVER_MULTICAST_OFFSETS && !sender; ++i) {
    receiver = aMulticast_Create(server->interfaceAddress, aSERVER_MULTICAST_GROUP,
                                 static_cast<uint16_t>(aSERVER_MULTICAST_REQUEST_PORT + i), false);
    if (!receiver) continue;
    sender = aMulticast_Create(server->interfaceAddress, aSERVER_MULTICAST_GROUP,
                               static_cast<uint16_t>(aSERVER_MULTICAST_REPLY_PORT + i), true);
    if (!sender) {
      (void)aMulticast_Destroy(&receiver);
    } else {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "Discovery port offset: %d\n", i);
    }
  }
  // The pipe and the request socket are waited on together, so a stop is
  // seen at once and a probe is answered as soon as it arrives.
  zmq_pollitem_t items[2] = {{zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
                             {nullptr, receiver ? aMulticast_GetDescriptor(receiver) : -1, ZMQ_POLLIN, 0}};
  const int watched = receiver ? 2 : 1;
  zsock_signal(pipe, 0);
  for (;;) {
    if (zmq_poll(items, watched, kActorPollMs) < 0 && zmq_errno() != EINTR) break;
    if (items[0].revents & ZMQ_POLLIN) break;
    if (watched < 2 || !(items[1].revents & ZMQ_POLLIN)) continue;
    uint8_t request[4];
    const int n = aMulticast_Receive(receiver, request, sizeof request);
    if (n == 4) {
      const uint32_t word = static_cast<uint32_t>(request[0]) | static_cast<uint32_t>(request[1]) << 8 |
                            static_cast<uint32_t>(request[2]) << 16 | static_cast<uint32_t>(request[3]) << 24;
      if (word == aSERVER_MULTICAST_MAGIC) {
        aCorvalithDebug_Printf(aDEBUG_SERVER, "We got the multicast magic value\n");
        if (server->model.load() != 0) {
          uint8_t image[kLinkSpecSize];
          sAnnouncedSpec(server, false, image);
          const int sent = aMulticast_Send(sender, image, sizeof image);
          aCorvalithDebug_Printf(aDEBUG_SERVER, "Sent: %d to the reply port\n", sent);
        } else {
          aCorvalithDebug_Printf(aDEBUG_SERVER, "Discovery not allowed (Multicast), model not set.\n");
        }
      } else {
        aCorvalithDebug_Printf(aDEBUG_SERVER, "We something else on multicast\n");
      }
    } else if (n > 0) {
      aCorvalithDebug_Printf(aDEBUG_SERVER, "We something else on multicast\n");
    }
  }
  if (receiver) (void)aMulticast_Destroy(&receiver);
  if (sender) (void)aMulticast_Destroy(&sender);
  aCorvalithDebug_Printf(aDEBUG_SERVER, "multicast task exit\n");
}

// ---- Stream filter, on the device link's in-pipe thread

uint8_t sStreamFilter(const aPacket* packet, const void* reference) {
  aServerRecord* server = static_cast<aServerRecord*>(const_cast<void*>(reference));
  bool consumed = false;
  if (aUEI_isStreamPacket(packet)) {
    size_t n = 0;
    if (aPacket_GetBytes(packet, server->streamBuffer + server->streamFill,
                         kStreamBuffer - server->streamFill, &n) == aErrNone) {
      server->streamFill = static_cast<uint16_t>(server->streamFill + n);
    }
    consumed = true;
  }
  // A heartbeat (2 data bytes, the first 0) ends a batch early, so a slow
  // stream still reaches its subscribers.
  const bool heartbeat = packet->length == 2 && packet->data[0] == 0;
  if ((heartbeat || server->streamFill > kStreamFlushFill) && server->streamFill > 0) {
    (void)zmq_send(zsock_resolve(server->streamingConnected), server->streamBuffer, server->streamFill,
                   ZMQ_DONTWAIT);
    server->streamFill = 0;
  }
  return consumed ? 1 : 0;
}

// ---- Start

// The beacon on a network interface; false when none could be had, and the
// multicast actor is used instead.
bool sStartBeacon(aServerRecord* server) {
  uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
  const uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES);
  aCorvalithDebug_Printf(aDEBUG_DISCOVERY, "_configureInterface found count: %d\n", static_cast<int>(count));
  if (server->localOnly || count == 0) return false;
  uint32_t address = server->interfaceAddress;
  if (aDiscovery_IsAnyInterface(address)) address = interfaces[0];
  char text[kAddressText];
  if (aDiscovery_ConvertIPv4Interface(address, text, sizeof text) == 0) return false;
  if (!zBeaconInterface_setAndLock(text)) return false;
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  char* host = nullptr;
  if (beacon) {
    zsock_send(beacon, "si", "CONFIGURE", aSERVER_BEACON_PORT);
    aCorvalithDebug_Printf(aDEBUG_SERVER, "CONFIGURE\n");
    host = zstr_recv(beacon);
  }
  (void)zBeaconInterface_unlock();
  uint32_t announced = 0;
  if (!host || !*host || !aDiscovery_ParseIPv4(host, &announced)) {
    zstr_free(&host);
    zactor_destroy(&beacon);
    return false;
  }
  aCorvalithDebug_Printf(aDEBUG_SERVER, "Beacon hostname(Server): %s - Port: %d\n", host,
                         aSERVER_BEACON_PORT);
  zstr_free(&host);
  server->announcedAddress = announced;
  // The frontend listens where the beacon announces it.
  server->interfaceAddress = address;
  zsock_send(beacon, "sb", "SUBSCRIBE", aSERVER_BEACON_TEXT, kBeaconTextSize);
  aCorvalithDebug_Printf(aDEBUG_SERVER, "SUBSCRIBE\n");
  zsock_set_rcvtimeo(beacon, kBeaconReceiveMs);
  server->discovery = beacon;
  server->beaconInUse = true;
  return true;
}

}  // namespace

aServerRef aServer_Create(aLinkRef device, uint32_t interfaceAddress, bool localOnly) {
  aLinkDetail::LinkPtr link = aLinkDetail::lookupLive(device);
  if (!link) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Could not find device Item\n");
    return nullptr;
  }
  uint32_t shared = 0;
  switch (link->type) {
    case USB:
      shared = AWEFT_USB;
      break;
    case TCPIP:
      shared = AWEFT_TCPIP;
      break;
    case SERIAL:
      shared = AWEFT_SERIAL;
      break;
    default:
      aCorvalithDebug_Printf(aDEBUG_SERVER, "Unhandled linkType: %d\n", static_cast<int>(link->type));
      return nullptr;
  }
  aServerRecord* server = new (std::nothrow) aServerRecord;
  if (!server) return nullptr;
  server->device = device;
  server->serialNumber = link->words[0];
  server->sharedType = shared;
  server->localOnly = localOnly;
  server->interfaceAddress = interfaceAddress == 0 ? aDISCOVERY_LOOPBACK : interfaceAddress;
  return server;
}

aErr aServer_Start(aServerRef server) {
  if (!sValid(server)) return aErrParam;
  if (server->started) return aErrNone;
  aDiscovery_PrepareCzmq();
  server->frontend = sSocket(ZMQ_ROUTER);
  if (!server->frontend) return aErrResource;
  // Watched from before the bind, so every connection's end is seen.
  char monitorEndpoint[64];
  std::snprintf(monitorEndpoint, sizeof monitorEndpoint, "inproc://corvalith-server-%p",
                static_cast<void*>(server));
  server->monitor = sSocket(ZMQ_PAIR);
  if (!server->monitor ||
      zmq_socket_monitor(zsock_resolve(server->frontend), monitorEndpoint,
                         ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED) != 0 ||
      zsock_connect(server->monitor, "%s", monitorEndpoint) != 0) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Could not find open port\n");
    return aErrResource;
  }
  if (!sStartBeacon(server)) {
    server->announcedAddress = aDISCOVERY_LOOPBACK;
    server->beaconInUse = false;
  }
  int port = -1;
  if (server->localOnly) {
    port = zsock_bind(server->frontend, "tcp://127.0.0.1:*");
  } else {
    char text[kAddressText];
    if (aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof text) != 0) {
      port = zsock_bind(server->frontend, "tcp://%s:*", text);
    }
  }
  aCorvalithDebug_Printf(aDEBUG_SERVER, "_initServer: server->frontendPort: %d\n", port);
  const bool pairs =
      port > 0 &&
      aZmq_InprocPair("server", "streaming", &server->streamingBound, &server->streamingConnected) ==
          aErrNone &&
      aZmq_InprocPair("server", "command", &server->commandBound, &server->commandConnected) == aErrNone;
  if (!pairs) {
    aCorvalithDebug_Printf(aDEBUG_SERVER, "Could not find open port\n");
    return aErrResource;
  }
  server->frontendPort = static_cast<uint16_t>(port);
  if (!server->beaconInUse) server->discovery = zactor_new(sMulticast, server);
  // zactor_new returns once the actor has signalled that its poller runs.
  server->broker = zactor_new(sBroker, server);
  server->command = zactor_new(sCommand, server);
  if (!server->discovery || !server->broker || !server->command) return aErrResource;
  if (aLink_InstallUserPacketFilter(server->device, sStreamFilter, server) != aErrNone) return aErrResource;
  (void)aLink_DrainPackets(server->device, sAcceptAny, nullptr);
  server->started = true;
  return aErrNone;
}

aErr aServer_Destroy(aServerRef* handle) {
  if (!handle || !sValid(*handle)) return aErrParam;
  aServerRecord* server = *handle;
  *handle = nullptr;
  aCorvalithDebug_Printf(aDEBUG_SERVER, "PIPE! - Task\n");
  // The filter writes the streaming socket from the in-pipe; it goes first.
  (void)aLink_InstallUserPacketFilter(server->device, nullptr, nullptr);
  zactor_destroy(&server->command);
  zactor_destroy(&server->broker);
  zactor_destroy(&server->discovery);
  zsock_destroy(&server->commandConnected);
  zsock_destroy(&server->commandBound);
  zsock_destroy(&server->streamingConnected);
  zsock_destroy(&server->streamingBound);
  if (server->frontend) (void)zmq_socket_monitor(zsock_resolve(server->frontend), nullptr, 0);
  zsock_destroy(&server->monitor);
  zsock_destroy(&server->frontend);
  server->check = 0;
  delete server;
  aCorvalithDebug_Printf(aDEBUG_SERVER, "server task exit\n");
  return aErrNone;
}

aErr aServer_GetPort(aServerRef server, uint16_t* port) {
  if (!sValid(server) || !port) return aErrParam;
  *port = server->frontendPort;
  return aErrNone;
}

aErr aServer_GetInterface(aServerRef server, uint32_t* address) {
  if (!sValid(server) || !address) return aErrParam;
  *address = server->localOnly ? aDISCOVERY_LOOPBACK : server->interfaceAddress;
  return aErrNone;
}

aErr aServer_SetModuleAddress(aServerRef server, uint8_t address) {
  if (!sValid(server)) return aErrParam;
  server->moduleAddress.store(address);
  return aErrNone;
}

aErr aServer_SetModel(aServerRef server, uint8_t model) {
  if (!sValid(server)) return aErrParam;
  server->model.store(model);
  return aErrNone;
}

aErr aServer_GetClientStateCount(aServerRef server, uint32_t* count) {
  if (!sValid(server) || !count) return aErrParam;
  *count = server->clientState.load();
  return aErrNone;
}

aErr aServer_FlushFIFO(aServerRef server) {
  if (!sValid(server) || !server->broker) return aErrParam;
  aCorvalithDebug_Printf(aDEBUG_SERVER, "aServer_FlushFIFO\n");
  return zsock_signal(server->broker, kSignalFlush) == 0 ? aErrNone : aErrIO;
}
