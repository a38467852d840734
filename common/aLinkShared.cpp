// Client links of shared devices and the device server wrap of a device link.
#include <atomic>

#include "common/aDebug.h"
#include "common/aLink.h"
#include "common/aLinkTable.h"
#include "common/aServer.h"
#include "common/aStreamClient.h"
#include "common/linkSpec.h"
#include "unix/aOS.h"

namespace {

// Makes every client link distinct in the table.
std::atomic<uint32_t> gClientCount{0};
constexpr int kDeviceInfoTries = 5;
constexpr int32_t kDeviceInfoRetryMs = 10;
constexpr int32_t kDeviceInfoWaitMs = 1000;
// The model query: a UEI get of the system class's model option.
constexpr uint8_t kModelQuery[3] = {0x03, 0x48, 0x20};
constexpr uint8_t kModelReplyLength = 4;

void sDestroyServer(void** server) {
  aServerRef handle = static_cast<aServerRef>(*server);
  (void)aServer_Destroy(&handle);
  *server = nullptr;
}

struct AddressFilter {
  uint8_t address;
};

uint8_t sAddressReply(const aPacket* packet, const void*) {
  return packet->length == 0;
}

uint8_t sFromModule(const aPacket* packet, const void* reference) {
  return packet->address == static_cast<const AddressFilter*>(reference)->address;
}

aErr sAsk(aLinkRef link, uint8_t address, uint8_t length, const uint8_t* data, aPacketFilter filter,
          const void* reference, aPacket** reply) {
  static const uint8_t kNone = 0;
  aPacket* query = aPacket_CreateWithData(address, length, length ? data : &kNone);
  if (!query) return aErrMemory;
  const aErr err = aLink_PutPacket(link, query);
  (void)aPacket_Destroy(&query);
  if (err != aErrNone) return err;
  *reply = aLink_AwaitFirst(link, filter, reference, kDeviceInfoWaitMs);
  return *reply ? aErrNone : aErrTimeout;
}

// Asks the device, through the server, for its module address and model and
// hands them to the server for discovery.
aErr sGetDeviceInfo(aLinkRef client, aServerRef server) {
  aPacket* reply = nullptr;
  aErr err = sAsk(client, kLinkSyncAddress, 0, nullptr, sAddressReply, nullptr, &reply);
  uint8_t module = 0;
  if (err == aErrNone) {
    if (reply->address != 0) {
      module = reply->address;
    } else {
      err = aErrIO;
    }
    (void)aPacket_Destroy(&reply);
  }
  aCorvalithDebug_Printf(aDEBUG_LINK, "_getDeviceInfo: moduleAddress:%d\n", module);
  (void)aServer_SetModuleAddress(server, module);
  if (err == aErrNone) {
    const AddressFilter from{module};
    uint8_t model = 0;
    err = sAsk(client, module, sizeof kModelQuery, kModelQuery, sFromModule, &from, &reply);
    if (err == aErrNone) {
      if (reply->length == kModelReplyLength && reply->data[0] == kModelQuery[0]) {
        model = reply->data[3];
      } else {
        err = aErrIO;
      }
      (void)aPacket_Destroy(&reply);
    }
    aCorvalithDebug_Printf(aDEBUG_LINK, "_getDeviceInfo: model:%d - err: %d\n", model, err);
    if (err == aErrNone) (void)aServer_SetModel(server, model);
  }
  if (err != aErrNone) {
    aCorvalithDebug_Printf(aDEBUG_LINK, "_getDeviceInfo: Flush FIFO\n");
    (void)aServer_FlushFIFO(server);
  }
  return err;
}

aLinkRef sFail(const char* step, aLinkRef client) {
  aCorvalithDebug_Printf(aDEBUG_LINK, "FAIL: %s\n", step);
  aCorvalithDebug_Printf(aDEBUG_SERVER, "Failed to create server\n");
  if (client) {
    // The caller destroys the device link itself.
    (void)aLink_SetParent(client, 0);
    (void)aLink_Destroy(&client);
  }
  return 0;
}

}  // namespace

aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef reference) {
  aCorvalithDebug_Printf(aDEBUG_LINK, "aLink_CreateClient - Address: %d, Port: %d, ref: %d)\n",
                         static_cast<int>(address), port, static_cast<int>(reference));
  if (reference != 0) {
    if (aLink_AddUse(reference) != aErrNone) {
      aCorvalithDebug_Printf(aDEBUG_LINK, "The provided ref is invalid.\n");
      return 0;
    }
    aCorvalithDebug_Printf(aDEBUG_LINK, "Using existing link - ConnectThroughLinkModule\n");
    return reference;
  }
  // Resets recreate client streams through this.
  aLink_SetClientStreamProc(aStream_CreateClient);
  aStreamRef stream = nullptr;
  if (aStream_CreateClient(address, port, &stream) != aErrNone) return 0;
  const uint32_t count = gClientCount.fetch_add(1);
  aLinkRef id = aLink_CreateEntry(AWEFT, address, port, count);
  aCorvalithDebug_Printf(aDEBUG_LINK, "Client sCreate2 - Address: %d, port: %d, id: %d, _clientCount: %d\n",
                         static_cast<int>(address), port, static_cast<int>(id), static_cast<int>(count));
  if (id == 0) {
    (void)aStream_Destroy(&stream);
    return 0;
  }
  const bool initialised = aLink_Init(id, stream) == id;
  if (!initialised) (void)aStream_Destroy(&stream);
  // The use first, so a failure below tears the entry down through Destroy.
  if (aLink_AddUse(id) != aErrNone) return 0;
  if (!initialised || aLink_Start(id) != aErrNone) {
    (void)aLink_Destroy(&id);
    return 0;
  }
  return id;
}

aLinkRef aLink_CreateServer(aLinkRef device, uint16_t* port, uint32_t* address, bool localOnly) {
  if (!port || !address || aLink_GetUseCount(device) < 0) return sFail("sLookupEntryByID:", 0);
  aServerRef server = aServer_Create(device, *address, localOnly);
  if (!server) return sFail("aServer_Create:", 0);
  if (aLink_AttachServer(device, server, sDestroyServer) != aErrNone) {
    (void)aServer_Destroy(&server);
    return sFail("NULL != clientItem:", 0);
  }
  // From here the device link owns the server and destroys it with itself.
  if (aServer_Start(server) != aErrNone) return sFail("aServer_Start:", 0);
  uint16_t serverPort = 0;
  uint32_t serverAddress = 0;
  if (aServer_GetPort(server, &serverPort) != aErrNone) return sFail("aServer_GetPort:", 0);
  aCorvalithDebug_Printf(aDEBUG_LINK, "aServer_GetPort: port: %d\n", serverPort);
  if (aServer_GetInterface(server, &serverAddress) != aErrNone) return sFail("aServer_GetInterface:", 0);
  aCorvalithDebug_Printf(aDEBUG_LINK, "aServer_GetInterface: interface: %d\n",
                         static_cast<int>(serverAddress));
  aLinkRef client = aLink_CreateClient(serverAddress, serverPort, 0);
  if (!client) return sFail("aLink_CreateClient:", 0);
  if (aLink_SetParent(client, device) != aErrNone) return sFail("NULL != clientItem:", client);
  aErr err = aErrNotReady;
  for (int i = 0; i < kDeviceInfoTries && err != aErrNone; ++i) {
    if (i > 0) {
      aCorvalithDebug_Printf(aDEBUG_LINK, "FAIL: for _getDeviceInfo will try again. :\n");
      aTime_MSSleep(kDeviceInfoRetryMs);
    }
    err = sGetDeviceInfo(client, server);
  }
  if (err != aErrNone) return sFail("NULL != _getDeviceInfo:", client);
  *port = serverPort;
  *address = serverAddress;
  return client;
}
