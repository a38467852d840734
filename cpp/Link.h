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

  // The last value of an enabled stream. Streams are not kept yet, so the
  // answer is always aErrNotFound.
  [[nodiscard]] aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex, uint32_t* value);

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
