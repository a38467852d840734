#include "common/aStreamClient.h"

#include <czmq.h>

#include <cstdio>
#include <mutex>
#include <new>

#include "common/aDebug.h"
#include "common/aZmqPair.h"
#include "unix/aDiscoveryOS.h"
#include "unix/aOS.h"

namespace {

// Wait of the relay actor's poller, so it notices its pipe promptly, ms.
constexpr int kRelayPollMs = 1000;
// A frame that cannot be queued at once is tried this often, 1 ms apart.
constexpr int kSendTries = 100;
constexpr int32_t kSendRetryMs = 1;
// Room for a dotted IPv4 address and its terminator.
constexpr size_t kAddressText = 16;

struct Client {
  zsock_t* server = nullptr;        // DEALER to the server's frontend; relay actor only
  zsock_t* outBound = nullptr;      // written by the stream (link out-pipe)
  zsock_t* outConnected = nullptr;  // read by the relay actor
  zsock_t* inBound = nullptr;       // read by the stream (link in-pipe)
  zsock_t* inConnected = nullptr;   // written by the relay actor
  // An interrupt ends the get's wait: wakeSender writes (any thread, under
  // wakeMutex), wakeReceiver is polled with inBound.
  std::mutex wakeMutex;
  zsock_t* wakeSender = nullptr;
  zsock_t* wakeReceiver = nullptr;
  zactor_t* relay = nullptr;
  zpoller_t* poller = nullptr;  // on inBound and wakeReceiver
  zframe_t* current = nullptr;
  size_t position = 0;
  size_t size = 0;
};

// Sends the frame's bytes without waiting, retrying while the socket's queue
// is full. True when it went out.
bool sSendRetrying(zsock_t* sock, zframe_t* frame, const char* failure) {
  for (int i = 0; i < kSendTries; ++i) {
    if (zmq_send(zsock_resolve(sock), zframe_data(frame), zframe_size(frame), ZMQ_DONTWAIT) >= 0) return true;
    aCorvalithDebug_Printf(aDEBUG_CLIENT, failure, zmq_errno());
    aTime_MSSleep(kSendRetryMs);
  }
  return false;
}

void sRelay(zsock_t* pipe, void* args) {
  Client* client = static_cast<Client*>(args);
  zpoller_t* poller = zpoller_new(pipe, client->server, client->outConnected, nullptr);
  zsock_signal(pipe, 0);
  // CZMQ's own SIGINT handler is never installed in this library
  // (aDiscovery_PrepareCzmq), so an interrupt keeps its default action and
  // needs no relaying here.
  while (poller) {
    void* which = zpoller_wait(poller, kRelayPollMs);
    if (which == pipe) break;
    if (!which) {
      if (zpoller_terminated(poller)) break;
      continue;
    }
    zframe_t* frame = zframe_recv(which);
    if (!frame) continue;
    if (which == client->server) {
      (void)sSendRetrying(client->inConnected, frame, "Client send error Frontend->incomming: %d\n");
    } else if (zmq_send(zsock_resolve(client->server), zframe_data(frame), zframe_size(frame), ZMQ_DONTWAIT) <
               0) {
      aCorvalithDebug_Printf(aDEBUG_CLIENT, "Client send error Frontend->client: %d\n", zmq_errno());
    }
    zframe_destroy(&frame);
  }
  zpoller_destroy(&poller);
  aCorvalithDebug_Printf(aDEBUG_CLIENT, "Client task exit\n");
}

void sFree(Client* client) {
  zactor_destroy(&client->relay);
  zpoller_destroy(&client->poller);
  zsock_destroy(&client->server);
  zsock_destroy(&client->wakeSender);
  zsock_destroy(&client->wakeReceiver);
  zsock_destroy(&client->inConnected);
  zsock_destroy(&client->inBound);
  zsock_destroy(&client->outConnected);
  zsock_destroy(&client->outBound);
  zframe_destroy(&client->current);
  delete client;
}

aErr sGet(uint8_t* byte, void* ref) {
  Client* client = static_cast<Client*>(ref);
  if (!client->current) {
    void* which = zpoller_wait(client->poller, aCLIENT_GET_WAIT_MS);
    if (!which) return zpoller_expired(client->poller) ? aErrNotReady : aErrUnknown;
    if (which == client->wakeReceiver) {
      zframe_t* wake = zframe_recv(which);
      zframe_destroy(&wake);
      return aErrNotReady;
    }
    client->current = zframe_recv(which);
    if (!client->current) return aErrIO;
    client->position = 0;
    client->size = zframe_size(client->current);
  }
  if (client->position >= client->size) {
    zframe_destroy(&client->current);
    return aErrIndexRange;
  }
  *byte = zframe_data(client->current)[client->position++];
  if (client->position >= client->size) zframe_destroy(&client->current);
  return aErrNone;
}

void sInterrupt(void* ref) {
  Client* client = static_cast<Client*>(ref);
  std::lock_guard<std::mutex> lock(client->wakeMutex);
  // One pending wake is enough; a full pipe already holds one.
  (void)zmq_send(zsock_resolve(client->wakeSender), "", 0, ZMQ_DONTWAIT);
}

aErr sPut(const uint8_t*, void*) {
  return aErrUnimplemented;
}

aErr sWrite(const uint8_t* bytes, size_t count, void* ref) {
  Client* client = static_cast<Client*>(ref);
  zframe_t* frame = zframe_new(bytes, count);
  if (!frame) return aErrNone;
  (void)sSendRetrying(client->outBound, frame, "--Client send error outgoing->frontend: %d\n");
  zframe_destroy(&frame);
  return aErrNone;
}

aErr sDelete(void* ref) {
  aCorvalithDebug_Printf(aDEBUG_CLIENT, "Client delete: start\n");
  Client* client = static_cast<Client*>(ref);
  if (!client || !client->server) return aErrIO;
  sFree(client);
  aCorvalithDebug_Printf(aDEBUG_CLIENT, "Client delete: end\n");
  return aErrNone;
}

// A pair between the stream and its relay actor, with its traces.
aErr sMakePair(const char* role, zsock_t** bound, zsock_t** connected, const char* failure) {
  const aErr err = aZmq_InprocPair("client", role, bound, connected);
  if (err == aErrConnection) aCorvalithDebug_Printf(aDEBUG_CLIENT, "%s\n", failure);
  if (err == aErrNone) aCorvalithDebug_Printf(aDEBUG_CLIENT, "%s pair connected\n", role);
  return err;
}

aErr sBuild(Client* client, uint32_t address, uint16_t port) {
  aErr err =
      sMakePair("outgoing", &client->outBound, &client->outConnected, "client: outgoing connecting fail");
  if (err != aErrNone) return err;
  err = sMakePair("incoming", &client->inBound, &client->inConnected, "client: incoming connecting fail");
  if (err != aErrNone) return err;
  client->server = aZmq_Dealer();
  if (!client->server) return aErrMemory;
  char text[kAddressText] = {};
  if (aDiscovery_ConvertIPv4Interface(address, text, sizeof text) == 0) return aErrConnection;
  aCorvalithDebug_Printf(aDEBUG_CLIENT, "aStream_CreateClient address: %s\n", text);
  const int rc = zsock_connect(client->server, "tcp://%s:%d", text, static_cast<int>(port));
  if (rc != 0) {
    aCorvalithDebug_Printf(aDEBUG_CLIENT, "Error connecting to socket: %d(rc)\n", rc);
    return aErrConnection;
  }
  aCorvalithDebug_Printf(aDEBUG_CLIENT, "Client connected to port: %d - rc: %d\n", static_cast<int>(port),
                         rc);
  err = sMakePair("wake", &client->wakeReceiver, &client->wakeSender, "client: wake connecting fail");
  if (err != aErrNone) return err;
  client->poller = zpoller_new(client->inBound, client->wakeReceiver, nullptr);
  if (!client->poller) return aErrMemory;
  // zactor_new returns once the actor has signalled that its poller runs.
  client->relay = zactor_new(sRelay, client);
  return client->relay ? aErrNone : aErrMemory;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  aDiscovery_PrepareCzmq();
  Client* client = new (std::nothrow) Client;
  if (!client) return aErrMemory;
  aErr err = sBuild(client, address, port);
  if (err == aErrNone) {
    *stream = aStream_Create(sGet, sPut, sWrite, sDelete, client);
    if (!*stream) {
      err = aErrResource;
    } else if (aStream_SetInterrupt(*stream, sInterrupt) != aErrNone) {
      (void)aStream_Destroy(stream);  // frees the client too
      return aErrResource;
    }
  }
  if (err != aErrNone) sFree(client);
  return err;
}
