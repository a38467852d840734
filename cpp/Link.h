// One connection to one physical device. A Link keeps the device's transport
// specifier, creates the link-engine link for it, waits for it to come up and
// offers packet-level services on it: raw command packets, the UEI exchange,
// the module-address query and a packet log. Links made for the same device
// share one link-engine link (the engine counts its users), which is how a
// module behind a router is reached over the router's connection.
//
// Every operation returns an aErr code and none throws. A link is connected
// while it has a link-engine link that is running in step with the device.
#ifndef CORVALITH_CPP_LINK_H
#define CORVALITH_CPP_LINK_H

#include <cstdint>
#include <memory>
#include <vector>

#include "common/aErr.h"
#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/aUEI.h"
#include "common/aWeftConfig.h"
#include "common/linkSpec.h"

namespace Tessaron {
namespace Corvalith {

// Wait for one reply, in ms.
constexpr int32_t kLinkReplyTimeoutMs = 1000;
// Wait for the reply to a UEI that carries more than kLinkLargePayload bytes.
constexpr int32_t kLinkLargeReplyTimeoutMs = 4000;
constexpr uint32_t kLinkLargePayload = 1000;
// Longest name a link keeps, in characters.
constexpr size_t kLinkMaxName = 1024;
// Data bytes after the command byte of a raw packet.
constexpr uint8_t kLinkMaxCommandData = kMaxPacketData - 1;

class Link {
 public:
  struct impl;

  explicit Link(const char* name);
  Link(const linkSpec& spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Finds the device (serial 0: the first one, of the model when model is
  // not 0) and connects; may fall back once to the other kind of transport
  // when config.fallback is set. aErrNotFound, or connect's results.
  [[nodiscard]] aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
  // Creates the link from the stored spec and waits up to 2 s for it.
  // aErrConnection: a link exists already (even a failed one; disconnect
  // first), or none could be made. aErrConfiguration: no spec, or a shared
  // link without sharing enabled. aErrMode: bad transport type. aErrBusy:
  // the link is stopping.
  [[nodiscard]] aErr connect();
  // Shares the other link's connection (same device, one more user) and
  // connects from this link's own spec. aErrInitialization when the other
  // link has no link-engine link; else as connect.
  [[nodiscard]] aErr connectThroughLinkModule(Link* other);
  [[nodiscard]] bool isConnected() const;
  // The link-engine status; kLinkStatusError without a link.
  linkStatus getStatus() const;
  // Drops of the engine link's stream since it was created (aLink_GetDropCount).
  uint32_t getDropCount() const;
  // Releases this link's use of the link-engine link. Always aErrNone.
  [[nodiscard]] aErr disconnect();
  // Asks the engine to recreate the stream. Always aErrNone.
  [[nodiscard]] aErr reset();

  // The module address of the device at the other end, 0 on failure.
  // aErrNotReady: not connected, or no answer within 1000 ms.
  [[nodiscard]] aErr getModuleAddress(uint8_t* address);

  // One packet to the module: data command, then length bytes. aErrConnection
  // (not connected), aErrParam (length above 27, or bytes missing),
  // aErrPacket (module 0 or odd).
  [[nodiscard]] aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  // Waits up to 1000 ms for a packet whose first *length data bytes equal
  // match; then *length is its data length and out (28 bytes) holds all its
  // data bytes. aErrTimeout, and the checks of sendPacket.
  [[nodiscard]] aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* out);

  // Sends a UEI: one packet, or a UEI-bytes series for BYTES.
  // aErrConnection, aErrPacket (module 0 or odd), aErrResource (no packet),
  // aErrParam (a byte array without data), or the engine's put error.
  [[nodiscard]] aErr sendUEI(const uei& u);
  // Sends a UEI with a subindex byte before the value (scalar types only;
  // BYTES sends command, option, index and the subindex without data).
  [[nodiscard]] aErr sendUEI(const uei& u, uint8_t subindex);
  // Waits for the reply that u describes (module, command, option,
  // specifier) and fills u from it. aErrTimeout after 1000 ms (4000 ms when
  // u is a byte array above 1000 bytes); the module argument is only checked.
  [[nodiscard]] aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* u);
  // The same with the caller's filter, which gets u as its reference.
  [[nodiscard]] aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* u,
                                aPacketFilter filter);
  // The same with the caller's filter and its own reference; u still sets
  // the time-out.
  [[nodiscard]] aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* u,
                                aPacketFilter filter, void* filterReference);
  // Removes every queued packet that the UEI filter accepts for this reply.
  [[nodiscard]] aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
  // The UEI filter: accepts the reply that the uei reference describes and
  // fills the reference from it.
  static uint8_t ueiFilter(const aPacket* packet, const void* reference);

  // ---- Store slots: numbered storage areas in numbered stores on a module.
  // Every operation: aErrConnection when not connected, aErrPacket for a
  // module address of 0 or odd, aErrTimeout when the module does not answer
  // within its wait, or the module's own code from an error reply.

  // The capacity or the used size of a slot, in bytes. aErrParam for a null
  // out pointer; aErrUnknown for a reply of the wrong shape.
  [[nodiscard]] aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, uint32_t* capacity);
  [[nodiscard]] aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, uint32_t* size);
  // Writes length bytes into the slot, 25 bytes a packet. aErrParam for null
  // data; aErrMedia when the slot will not open; aErrIO when the module's sum
  // of a chunk differs from ours or its answer has the wrong shape. The slot
  // is closed whatever happened after it opened. *written (optional): the
  // bytes the module acknowledged with a matching sum.
  [[nodiscard]] aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                                   size_t length, size_t* written = nullptr);
  // Reads the slot into buffer; *count is the number of bytes read.
  // aErrParam for null pointers; aErrMedia when the slot will not open;
  // aErrOverrun when the slot holds more than the buffer (the buffer is then
  // full and *count is its length); aErrUnknown for a reply without data.
  [[nodiscard]] aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                                     size_t bufferLength, size_t* count);

  // ---- Factory data: one byte array per factory command (0 to 15).
  // aErrParam for null pointers or a command above 15; aErrOverrun when the
  // data do not fit the buffer (a transfer that exactly fills it is taken);
  // aErrUnknown for a reply too short to say anything; aErrConnection,
  // aErrPacket, aErrTimeout and module codes as for the store slots.
  [[nodiscard]] aErr getFactoryData(uint8_t module, uint8_t command, uint8_t* buffer, size_t bufferLength,
                                    size_t* count);
  // Writes the data 26 bytes a packet, then closes with the count.
  // aErrSize for more than 65535 bytes or a write answer that is not 2 bytes.
  [[nodiscard]] aErr setFactoryData(uint8_t module, uint8_t command, const uint8_t* data, size_t length);

  // ---- Stream samples: values a module sends on its own once a stream is
  // enabled. Each link keeps the last value per stream key and may hand every
  // sample to a callback, which runs on the link's stream worker thread, one
  // call at a time, in arrival order. A callback must not block for long: the
  // queue to the worker has 500 slots, and samples that find it full are not
  // handed to their callback but counted (getStreamDropCount). Their values
  // are still kept.
  typedef void (*streamCallback)(const aPacket* packet, void* reference);

  // A stream key: bits 24-31 module, 16-23 command, 8-15 option, 0-7 index,
  // 32-39 subindex. 255 in any element but the module means "any".
  static constexpr uint8_t kStreamAny = 0xFF;
  enum StreamKeyElement : uint8_t {
    kStreamKeyModule = 0,
    kStreamKeyCommand = 1,
    kStreamKeyOption = 2,
    kStreamKeyIndex = 3,
    kStreamKeySubindex = 4,
  };
  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  uint8_t subindex);
  // One element of a key; 0 for an element number above 4.
  static uint8_t getStreamKeyElement(uint64_t key, uint8_t element);

  // A sample's parts. type 1, 2, 3: 8, 16, 32 bits; 5, 6, 7 the same with a
  // subindex (0 for the others).
  struct StreamSample {
    uint8_t type = 0;
    uint8_t subindex = 0;
    uint64_t timestamp = 0;
    uint32_t value = 0;
  };
  // A UEI payload with more than 4 data bytes, an option below 64 and the
  // stream bit in the index byte.
  [[nodiscard]] static bool isStreamPacket(const aPacket* packet);
  // The sample type of a stream packet: byte 3, or 4 (a value spread over
  // several packets) when the trailing sequence byte is not 0; 0 for a packet
  // that is not a stream packet.
  [[nodiscard]] static uint8_t getStreamPacketType(const aPacket* packet);
  [[nodiscard]] static bool isSubindexType(uint8_t type);
  // A stream packet of type 1, 2, 3, 5, 6 or 7 with exactly 14, 15, 17, 15,
  // 16 or 18 data bytes.
  [[nodiscard]] static bool isStreamSample(const aPacket* packet);
  // aErrParam for null pointers; aErrPacket for a packet that is not a stream
  // packet; aErrSize for type 4 and for a length that does not fit its type.
  [[nodiscard]] static aErr getStreamSample(const aPacket* packet, StreamSample* sample);
  static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

  // Enables or disables the stream (module, command, option, index) on the
  // module and keeps its values; option or index 255 selects every option or
  // index of the command, and samples of every subindex are taken. Enabling
  // registers callback (optional) with reference; disabling removes every
  // entry it covers. aErrParam for module 255 or odd; aErrConnection;
  // aErrTimeout or the module's code, after which an enabled entry is removed
  // again; aErrResource when the worker thread cannot be started.
  [[nodiscard]] aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  bool enable);
  [[nodiscard]] aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                            bool enable, streamCallback callback, void* reference);
  // The last value of a stream: aErrNone the first time after a sample came,
  // aErrStreamStale after that, aErrNotFound when the link keeps no value for
  // the key. aErrParam for a null pointer, aErrConnection.
  [[nodiscard]] aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex, uint32_t* value);
  // The keys in the table, in key order, whose elements equal the arguments
  // (255 matches anything). lock false only for a caller that already holds
  // the stream mutex (the link's own code).
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                               uint8_t subindex, bool lock = true);
  struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
  };
  // The matching keys with their last values; entries with 255 in any
  // element are not reported. aErrParam for null pointers or capacity 0;
  // aErrSize when there are more than capacity (the first capacity are
  // given); aErrConnection.
  [[nodiscard]] aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                     uint8_t subindex, StreamStatusEntry* entries, size_t capacity,
                                     size_t* count);
  // Asks the module whether it sends samples on this link (*streaming 0 or
  // not). aErrParam, aErrConnection, aErrPacket, aErrTimeout, aErrSize for a
  // reply without a byte value, or the module's code.
  [[nodiscard]] aErr isLinkStreaming(uint8_t module, uint8_t* streaming);
  // Samples not handed to their callback because the worker's queue was full,
  // since the link was made.
  [[nodiscard]] uint64_t getStreamDropCount() const;

  // aErrNotFound when no spec is set.
  [[nodiscard]] aErr getLinkSpecifier(linkSpec* spec) const;
  // aErrBusy while connected; aErrResource when out of memory.
  [[nodiscard]] aErr setLinkSpecifier(const linkSpec& spec);
  const char* getName() const;
  // aErrParam for a null pointer.
  [[nodiscard]] aErr getConfig(aWeftConfig* config) const;
  // aErrMode while connected.
  [[nodiscard]] aErr setConfig(const aWeftConfig& config);
  // The engine's aLink_EnablePooledPackets result (aErrParam without link).
  [[nodiscard]] aErr enablePooledPackets(bool enable);

  // Copies the link's packet traffic into a text file, one record a line.
  // aErrConfiguration without a link; aErrResource when the file or the
  // writer cannot be made; else the engine's errors.
  [[nodiscard]] aErr enablePacketLog(const char* path);
  // aErrConfiguration without a link; else the engine's result.
  [[nodiscard]] aErr disablePacketLog();

  // The link-engine identifier, 0 when there is none.
  [[nodiscard]] aLinkRef getLinkRef() const;

 private:
  std::unique_ptr<impl> m_impl;
};

}  // namespace Corvalith
}  // namespace Tessaron

#endif
