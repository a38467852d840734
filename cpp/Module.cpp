#include "cpp/Module.h"

#include <cstring>
#include <new>

#include "common/aDebug.h"
#include "common/aUEI.h"
#include "cpp/LinkImpl.h"
#include "unix/aOS.h"

namespace Tessaron {
namespace Corvalith {

namespace {

constexpr int kAutoNetworkAttempts = 4;
constexpr int32_t kAutoNetworkPauseMs = 5;

}  // namespace

Module::Module(uint8_t address, uint8_t modelFilter) : Module(address, true, modelFilter) {}

Module::Module(uint8_t address, bool mode, uint8_t modelFilter)
    : m_link(new (std::nothrow) Link("Link")),
      moduleAddress(address),
      networkingMode(mode),
      model(modelFilter) {}

Module::~Module() = default;

aErr Module::_autoNetwork() {
  if (!networkingMode || !m_link) return aErrNone;
  uint8_t address = 0;
  aErr err = aErrNotReady;
  int attempts = 0;
  while (err == aErrNotReady && attempts < kAutoNetworkAttempts) {
    err = m_link->getModuleAddress(&address);
    ++attempts;
    if (err == aErrNotReady) aTime_MSSleep(kAutoNetworkPauseMs);
  }
  if (err == aErrNotReady) aCorvalithDebug_Printf(kDebugModule, "BOO! Failed to autoNetwork");
  if (address != 0 && address != moduleAddress) moduleAddress = address;
  return err;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (!m_link) return aErrInitialization;
  const aErr err = m_link->discoverAndConnect(type, serialNumber, model);
  if (err != aErrNone) return err;
  return _autoNetwork();
}

aErr Module::connectFromSpec(const linkSpec& spec) {
  if (!m_link) return aErrInitialization;
  if (m_link->isConnected()) return aErrBusy;
  aErr err = m_link->setLinkSpecifier(spec);
  if (err == aErrNone) err = m_link->connect();
  if (err != aErrNone) return err;
  err = _autoNetwork();
  aCorvalithDebug_Printf(kDebugModule, "Post autoNetwork err: %d\n", err);
  return err;
}

aErr Module::connectThroughLinkModule(Module* router) {
  if (!m_link) return aErrInitialization;
  if (m_link->isConnected()) return aErrNone;
  if (router == nullptr || !router->m_link) return aErrInitialization;
  linkSpec spec;
  aErr err = router->m_link->getLinkSpecifier(&spec);
  aWeftConfig config;
  if (err == aErrNone) err = router->m_link->getConfig(&config);
  if (err == aErrNone) err = m_link->setConfig(config);
  if (err != aErrNone) return err;
  if (config.enabled) {
    // Through the router's device server.
    spec.type = AWEFT;
    spec.t.ip.ipAddress = config.networkInterface;
    spec.t.ip.ipPort = config.assignedPort;
  }
  err = m_link->setLinkSpecifier(spec);
  if (err == aErrNone) err = m_link->connectThroughLinkModule(router->m_link.get());
  // The router answers the address query for the whole network, so the
  // address the caller gave must not be "learnt" over.
  if (err == aErrNone) networkingMode = false;
  return err;
}

aErr Module::reconnect() {
  if (!m_link) return aErrInitialization;
  const aErr err = m_link->connect();
  if (err != aErrNone) return err;
  return _autoNetwork();
}

bool Module::isConnected() const {
  return m_link && m_link->isConnected();
}

linkStatus Module::getStatus() const {
  return m_link ? m_link->getStatus() : kLinkStatusError;
}

uint32_t Module::getDropCount() const {
  return m_link ? m_link->getDropCount() : 0;
}

aErr Module::disconnect() {
  return m_link ? m_link->disconnect() : aErrInitialization;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const {
  return m_link ? m_link->getLinkSpecifier(spec) : aErrNotReady;
}

aErr Module::getConfig(aWeftConfig* config) const {
  if (config == nullptr) return aErrParam;
  return m_link ? m_link->getConfig(config) : aErrNotReady;
}

aErr Module::setConfig(const aWeftConfig& config) {
  return m_link ? m_link->setConfig(config) : aErrNotReady;
}

aErr Module::enablePacketLog(const char* path) {
  return m_link ? m_link->enablePacketLog(path) : aErrInitialization;
}

aErr Module::disablePacketLog() {
  return m_link ? m_link->disablePacketLog() : aErrInitialization;
}

aErr Module::query(uint8_t command, uint8_t length, const uint8_t* data, uint8_t matchLength,
                   uint8_t* replyLength, uint8_t* reply) {
  if (!m_link) return aErrInitialization;
  if (!m_link->isConnected()) return aErrConnection;
  aErr err = m_link->sendPacket(moduleAddress, command, length, data);
  if (err != aErrNone) return err;
  uint8_t match[kMaxPacketData];
  match[0] = command;
  if (matchLength > 1) std::memcpy(match + 1, data, matchLength - 1u);
  *replyLength = matchLength;
  return m_link->receivePacket(moduleAddress, match, replyLength, reply);
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
  if (length > kLinkMaxCommandData || (length > 0 && data == nullptr)) return aErrParam;
  uint8_t reply[kMaxPacketData];
  uint8_t replyLength = 0;
  const aErr err = query(kModuleDebugCommand, length, data, 1, &replyLength, reply);
  if (err != aErrNone) return err;
  if (replyLength != length + 1u || (length > 0 && std::memcmp(reply + 1, data, length) != 0)) return aErrIO;
  return aErrNone;
}

aErr Module::getBuild(uint32_t* build) {
  if (build == nullptr) return aErrParam;
  const uint8_t request[] = {kModuleQueryBuild};
  uint8_t reply[kMaxPacketData];
  uint8_t replyLength = 0;
  const aErr err = query(kModuleQueryCommand, sizeof request, request, 2, &replyLength, reply);
  if (err != aErrNone) return err;
  if (replyLength != 6) return aErrSize;
  *build = aUEI_RetrieveInt(reply + 2);
  return aErrNone;
}

aErr Module::queryEchoed(const uint8_t* request, uint8_t length, uint8_t echoLength, uint8_t* answer) {
  uint8_t reply[kMaxPacketData];
  uint8_t replyLength = 0;
  const aErr err = query(kModuleQueryCommand, length, request, 1, &replyLength, reply);
  if (err != aErrNone) return err;
  // reply[0] is the query command, then the echo, then the answer.
  if (replyLength != echoLength + 2u || std::memcmp(reply + 1, request, echoLength) != 0) return aErrUnknown;
  *answer = reply[echoLength + 1];
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags, uint8_t* answer) {
  if (answer == nullptr || (flags & 0x3F) != 0 ||
      (flags & (kHasUEIGet | kHasUEISet)) == (kHasUEIGet | kHasUEISet)) {
    return aErrParam;
  }
  const uint8_t request[] = {kModuleQueryHasUEI, command, option, index, flags};
  // The flags are not echoed: the answer takes their place.
  return queryEchoed(request, sizeof request, sizeof request - 1, answer);
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  *out = 0;
  const uint8_t request[] = {kModuleQueryClassQuantity, entityClass};
  return queryEchoed(request, sizeof request, sizeof request, out);
}

aErr Module::subClassQuantity(uint8_t entityClass, uint8_t entity, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  *out = 0;
  const uint8_t request[] = {kModuleQuerySubClassQuantity, entityClass, entity};
  return queryEchoed(request, sizeof request, sizeof request, out);
}

aErr Module::entityGroup(uint8_t entityClass, uint8_t index, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  *out = 0;
  const uint8_t request[] = {kModuleQueryEntityGroup, entityClass, index};
  return queryEchoed(request, sizeof request, sizeof request, out);
}

}  // namespace Corvalith
}  // namespace Tessaron
