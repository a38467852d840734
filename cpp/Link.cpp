#include "cpp/Link.h"

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "common/aDebug.h"
#include "common/aDiscovery.h"
#include "cpp/LinkImpl.h"
#include "unix/aOS.h"

namespace Tessaron {
namespace Corvalith {

namespace {

constexpr int kWaitForLinkRounds = 200;
constexpr int32_t kWaitForLinkPollMs = 10;
// Pause of the packet-log writer when nothing is buffered, in ms.
constexpr int32_t kPacketLogIdleMs = 5;
// Largest record the engine's packet debug buffer holds.
constexpr uint32_t kPacketLogRecordMax = 255;
constexpr uint8_t kPacketLogText = 3;
// Largest baud-rate port name, with room for the terminator.
constexpr size_t kPortNameBuffer = kLinkSpecPortNameSize + 1;

// Writes one buffered record of the link's packet debug buffer as a text
// line: "LENGTH > 0xAD 0x0 " for a sent packet, "<" for received ones and
// text, whose bytes are written as characters.
void sPacketLogProc(aFileRef file, uint32_t reference) {
  uint8_t kind = 0;
  uint32_t length = kPacketLogRecordMax;
  uint8_t buffer[kPacketLogRecordMax];
  const aErr err = aLink_PacketDebug_Read(reference, &kind, &length, buffer);
  if (err != aErrNone) {
    // Nothing buffered, or the link went away: idle instead of spinning.
    aTime_MSSleep(kPacketLogIdleMs);
    return;
  }
  (void)aFile_Printf(file, "%d %s ", static_cast<int>(length), kind == kLinkPacketLogOut ? ">" : "<");
  for (uint32_t i = 0; i < length; ++i) {
    if (kind == kPacketLogText) {
      (void)aFile_Printf(file, "%c", buffer[i]);
    } else {
      (void)aFile_Printf(file, "0x%X ", buffer[i]);
    }
  }
  (void)aFile_Printf(file, "\r\n");
}

struct MatchReference {
  const uint8_t* match;
  uint8_t length;
};

uint8_t sMatchFilter(const aPacket* packet, const void* reference) {
  const MatchReference* m = static_cast<const MatchReference*>(reference);
  if (packet->length < m->length) return 0;
  return m->length == 0 || std::memcmp(packet->data, m->match, m->length) == 0;
}

uint8_t sAddressReplyFilter(const aPacket* packet, const void*) {
  return packet->length == 0;
}

struct EnumerateReference {
  linkSpec* spec;
  uint8_t model;
};

// Takes the first device, of the filter model when that is not 0.
bool sTakeFirst(const linkSpec* found, uint8_t* counted, void* ref) {
  EnumerateReference* e = static_cast<EnumerateReference*>(ref);
  if (e->model != 0 && found->model != e->model) return true;
  std::memcpy(e->spec, found, sizeof(linkSpec));
  *counted = 1;
  return false;
}

bool sModuleAddressOk(uint8_t module) {
  return module != 0 && (module & 1) == 0;
}

bool sComingUp(linkStatus status) {
  return status == kLinkStatusStopped || status == kLinkStatusStarting || status == kLinkStatusSyncing;
}

}  // namespace

// ---- Link::impl

Link::impl::impl(Link* owner, const char* linkName) : link(owner) {
  if (linkName != nullptr) {
    name.assign(linkName, strnlen(linkName, kLinkMaxName));
    hasName = true;
  }
}

Link::impl::~impl() {
  // Before the engine link goes: the filter refers to this impl.
  stopStreaming(true);
  aLinkRef id = linkId.exchange(0);
  if (id != 0) (void)aLink_Destroy(&id);
  spec.reset();
  destroyLogger();
}

void Link::impl::destroyLogger() {
  std::lock_guard<std::mutex> lock(loggerMutex);
  if (logger != nullptr) (void)aLogger_Destroy(&logger);
}

bool Link::impl::connected() const {
  const aLinkRef id = linkId.load();
  return id != 0 && aLink_GetStatus(id) == kLinkStatusRunning;
}

aErr Link::impl::linkCreateHelper(const linkSpec& s, aLinkRef reference) {
  // No lock here: the engine serialises creation per device and connects
  // without holding its own lock, so one unreachable module cannot stall
  // links to other modules.
  if (s.type < USB || s.type > AWEFT_SERIAL) return aErrMode;
  const uint16_t port = static_cast<uint16_t>(s.t.ip.ipPort);
  if (isAWEFT(s.type)) {
    if (!config.enabled) return aErrConfiguration;
    linkId.store(aLink_CreateClient(s.t.ip.ipAddress, port, reference));
    return aErrNone;
  }
  aLinkRef id = 0;
  switch (s.type) {
    case USB:
      id = aLink_CreateUSB(s.serialNumber);
      break;
    case TCPIP:
      id = aLink_CreateTCPIP(s.serialNumber, s.t.ip.ipAddress, port);
      break;
    case SERIAL: {
      char portName[kPortNameBuffer] = {};
      std::memcpy(portName, s.t.serial.portName, kLinkSpecPortNameSize);
      id = aLink_CreateSerial(s.serialNumber, portName, s.t.serial.baudRate);
      break;
    }
    default:
      break;
  }
  if (id != 0 && config.enabled) {
    // Shared: the device link goes behind a device server and this link
    // talks to it as one more client.
    aCorvalithDebug_Printf(aDEBUG_LINK, "Creating Server: real_stem id: %d\n", static_cast<int>(id));
    aLinkRef client =
        aLink_CreateServer(id, &config.assignedPort, &config.networkInterface, config.localOnly);
    aCorvalithDebug_Printf(aDEBUG_LINK, "Creating Server: m_stem id: %d\n", static_cast<int>(client));
    if (client == 0) {
      aCorvalithDebug_Printf(aDEBUG_LINK, "Failed to create server\n");
      (void)aLink_Destroy(&id);
    }
    id = client;
  }
  linkId.store(id);
  return aErrNone;
}

aErr Link::impl::waitForLink(int rounds) const {
  const aLinkRef id = linkId.load();
  linkStatus status = aLink_GetStatus(id);
  switch (status) {
    case kLinkStatusRunning:
      return aErrNone;
    case kLinkStatusStopping:
      return aErrBusy;
    case kLinkStatusNoStream:
    case kLinkStatusIOError:
    case kLinkStatusError:
      return aErrConnection;
    case kLinkStatusStopped:
    case kLinkStatusStarting:
    case kLinkStatusSyncing:
      // Only a link still coming up is worth waiting for; one that fails on
      // the way (I/O error, stream gone) is given up at once.
      for (int i = 0; i < rounds && sComingUp(status); ++i) {
        aTime_MSSleep(kWaitForLinkPollMs);
        status = aLink_GetStatus(id);
      }
      return status == kLinkStatusRunning ? aErrNone : aErrConnection;
    default:
      return aErrDuplicate;
  }
}

aErr Link::impl::connectHelper(aLinkRef reference) {
  if (!spec) return aErrConfiguration;
  const aErr err = linkCreateHelper(*spec, reference);
  if (err != aErrNone) return err;
  if (linkId.load() == 0) return aErrConnection;
  return waitForLink(kWaitForLinkRounds);
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model) {
  linkSpec* found = nullptr;
  if (serialNumber != 0) {
    found = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
  } else {
    found = aLinkSpec_Create(type);
    if (found == nullptr) return aErrResource;
    found->model = model;
    EnumerateReference ref{found, model};
    if (aDiscovery_EnumerateModules(type, sTakeFirst, &ref, config.networkInterface) == 0) {
      (void)aLinkSpec_Destroy(&found);
    }
  }
  if (found == nullptr) return aErrNotFound;
  // A connected link keeps its spec; connect then refuses it.
  (void)link->setLinkSpecifier(*found);
  (void)aLinkSpec_Destroy(&found);
  return link->connect();
}

// ---- Link

Link::Link(const char* name) : m_impl(new (std::nothrow) impl(this, name)) {}

Link::Link(const linkSpec& spec, const char* name) : Link(name) {
  if (m_impl) m_impl->spec.reset(new (std::nothrow) linkSpec(spec));
}

Link::~Link() = default;

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  if (!m_impl) return aErrInitialization;
  aErr err = m_impl->discoveryAndConnectHelper(type, serialNumber, model);
  const bool retry = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
  const bool fallbackType = type == USB || type == TCPIP || isAWEFT(type);
  if (retry && fallbackType && m_impl->config.fallback) {
    const linkType other = isAWEFT(type) ? USB : AWEFT;
    aCorvalithDebug_Printf(aDEBUG_LINK, "Executing Fallback - old type: %d - new type: %d\n",
                           static_cast<int>(type), static_cast<int>(other));
    err = m_impl->discoveryAndConnectHelper(other, serialNumber, model);
  }
  return err;
}

aErr Link::connect() {
  if (!m_impl) return aErrInitialization;
  if (m_impl->linkId.load() != 0) return aErrConnection;
  return m_impl->connectHelper(0);
}

aErr Link::connectThroughLinkModule(Link* other) {
  if (!m_impl) return aErrInitialization;
  if (other == nullptr || !other->m_impl) return aErrInitialization;
  const aLinkRef otherId = other->m_impl->linkId.load();
  if (otherId == 0) return aErrInitialization;
  // This link never holds the other link's identifier without a use of its
  // own: a failed creation must not leave it able to release the other's.
  if (m_impl->linkId.load() != 0) return aErrConnection;
  return m_impl->connectHelper(otherId);
}

bool Link::isConnected() const {
  return m_impl && m_impl->connected();
}

linkStatus Link::getStatus() const {
  if (!m_impl) return kLinkStatusError;
  const aLinkRef id = m_impl->linkId.load();
  return id == 0 ? kLinkStatusError : aLink_GetStatus(id);
}

uint32_t Link::getDropCount() const {
  if (!m_impl) return 0;
  const aLinkRef id = m_impl->linkId.load();
  return id == 0 ? 0 : aLink_GetDropCount(id);
}

aErr Link::disconnect() {
  if (!m_impl) return aErrNone;
  // The packet log copies this engine link only; a new link starts afresh.
  m_impl->destroyLogger();
  // The values and callbacks belong to this engine link; a new one starts
  // without streams, as the module does.
  m_impl->stopStreaming(true);
  aLinkRef id = m_impl->linkId.exchange(0);
  if (id != 0) (void)aLink_Destroy(&id);
  return aErrNone;
}

aErr Link::reset() {
  if (!m_impl) return aErrNone;
  const aLinkRef id = m_impl->linkId.load();
  if (id != 0) {
    (void)aLink_Reset(id);
    m_impl->restoreStreamFilter();
  }
  return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
  if (address != nullptr) *address = 0;
  if (address == nullptr) return aErrParam;
  if (!isConnected()) return aErrNotReady;
  const aLinkRef id = m_impl->linkId.load();
  const uint8_t none = 0;
  aPacket* query = aPacket_CreateWithData(kLinkSyncAddress, 0, &none);
  if (query == nullptr) return aErrResource;
  aCorvalithDebug_Printf(aDEBUG_LINK, "getModuleAddress");
  const aErr err = aLink_PutPacket(id, query);
  (void)aPacket_Destroy(&query);
  if (err != aErrNone) return aErrNotReady;
  aCorvalithDebug_Printf(aDEBUG_LINK, "getModuleAddress wait");
  aPacket* reply = aLink_AwaitFirst(id, sAddressReplyFilter, nullptr, kLinkReplyTimeoutMs);
  if (reply == nullptr) return aErrNotReady;
  *address = reply->address;
  (void)aPacket_Destroy(&reply);
  return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!isConnected()) return aErrConnection;
  if (length > kLinkMaxCommandData || (length > 0 && data == nullptr)) return aErrParam;
  if (!sModuleAddressOk(module)) return aErrPacket;
  uint8_t bytes[kMaxPacketData];
  bytes[0] = command;
  if (length > 0) std::memcpy(bytes + 1, data, length);
  aPacket* packet = aPacket_CreateWithData(module, static_cast<uint8_t>(length + 1), bytes);
  if (packet == nullptr) return aErrResource;
  const aErr err = aLink_PutPacket(m_impl->linkId.load(), packet);
  (void)aPacket_Destroy(&packet);
  return err;
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* out) {
  // As receiveUEI: a reply queued before the link lost step is delivered.
  if (!m_impl || m_impl->linkId.load() == 0) return aErrConnection;
  if (length == nullptr || out == nullptr || *length > kMaxPacketData || (*length > 0 && match == nullptr)) {
    return aErrParam;
  }
  if (!sModuleAddressOk(module)) return aErrPacket;
  MatchReference ref{match, *length};
  const bool inStep = aLink_AwaitsReply(m_impl->linkId.load(), kLinkReplyTimeoutMs);
  aPacket* packet = aLink_AwaitFirst(m_impl->linkId.load(), sMatchFilter, &ref, kLinkReplyTimeoutMs);
  if (packet == nullptr) return inStep ? aErrTimeout : aErrConnection;
  *length = packet->length;
  std::memcpy(out, packet->data, packet->length);
  (void)aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const {
  if (spec == nullptr) return aErrParam;
  if (!m_impl || !m_impl->spec) return aErrNotFound;
  *spec = *m_impl->spec;
  return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& spec) {
  if (!m_impl) return aErrInitialization;
  if (isConnected()) return aErrBusy;
  std::unique_ptr<linkSpec> copy(new (std::nothrow) linkSpec(spec));
  if (!copy) return aErrResource;
  m_impl->spec = std::move(copy);
  return aErrNone;
}

const char* Link::getName() const {
  return m_impl && m_impl->hasName ? m_impl->name.c_str() : nullptr;
}

aErr Link::getConfig(aWeftConfig* config) const {
  if (config == nullptr) return aErrParam;
  if (!m_impl) return aErrInitialization;
  *config = m_impl->config;
  return aErrNone;
}

aErr Link::setConfig(const aWeftConfig& config) {
  if (!m_impl) return aErrInitialization;
  if (isConnected()) return aErrMode;
  m_impl->config = config;
  return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) {
  if (!m_impl) return aErrInitialization;
  return aLink_EnablePooledPackets(m_impl->linkId.load(), enable);
}

aErr Link::enablePacketLog(const char* path) {
  if (!m_impl) return aErrInitialization;
  const aLinkRef id = m_impl->linkId.load();
  if (id == 0) return aErrConfiguration;
  aErr err = aLink_PacketDebug_Enable(id);
  if (err != aErrNone) return err;
  std::lock_guard<std::mutex> lock(m_impl->loggerMutex);
  if (m_impl->logger == nullptr) {
    m_impl->logger = aLogger_Create(id, sPacketLogProc, path);
    if (m_impl->logger == nullptr) return aErrResource;
  }
  err = aLogger_Enable(m_impl->logger);
  if (err != aErrNone) return err;
  static const char kStart[] = "START";
  return aLink_PacketDebug_Write(id, kPacketLogText, sizeof kStart, reinterpret_cast<const uint8_t*>(kStart));
}

aErr Link::disablePacketLog() {
  if (!m_impl) return aErrInitialization;
  const aLinkRef id = m_impl->linkId.load();
  if (id == 0) return aErrConfiguration;
  const aErr err = aLink_PacketDebug_Disable(id);
  std::lock_guard<std::mutex> lock(m_impl->loggerMutex);
  const aErr loggerErr = m_impl->logger != nullptr ? aLogger_Disable(m_impl->logger) : aErrNone;
  return err != aErrNone ? err : loggerErr;
}

aLinkRef Link::getLinkRef() const {
  return m_impl ? m_impl->linkId.load() : 0;
}

}  // namespace Corvalith
}  // namespace Tessaron
