// One addressed module on a link. A Module owns its Link, knows the module
// address that every packet to it carries, and adds discover-and-connect,
// indirect connection through a routing module, automatic learning of its
// module address after connecting, and a few information queries.
#ifndef CORVALITH_CPP_MODULE_H
#define CORVALITH_CPP_MODULE_H

#include <cstdint>
#include <memory>

#include "common/aErr.h"
#include "common/aWeftConfig.h"
#include "common/linkSpec.h"
#include "cpp/Link.h"

namespace Tessaron {
namespace Corvalith {

// Module-query command and its sub-commands.
constexpr uint8_t kModuleQueryCommand = 0x49;
constexpr uint8_t kModuleQueryBuild = 0xFF;
constexpr uint8_t kModuleQueryHasUEI = 0x01;
constexpr uint8_t kModuleQueryClassQuantity = 0x04;
constexpr uint8_t kModuleQuerySubClassQuantity = 0x05;
constexpr uint8_t kModuleQueryEntityGroup = 0x06;
// The debug echo command.
constexpr uint8_t kModuleDebugCommand = 0x17;
// hasUEI flags: ask about the get or the set form of the option.
constexpr uint8_t kHasUEIGet = 0x40;
constexpr uint8_t kHasUEISet = 0x80;

class Module {
 public:
  // networkingMode on: the module address is learnt after connecting.
  Module(uint8_t moduleAddress, uint8_t model);
  Module(uint8_t moduleAddress, bool networkingMode, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // aErrParam for serial 0; else discoverAndConnect.
  [[nodiscard]] aErr connect(linkType type, uint32_t serialNumber);
  // Finds (serial 0: the first of the module's model) and connects, then
  // learns the module address. aErrInitialization without a link.
  [[nodiscard]] aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  // Connects to the device spec names, then learns the module address.
  // aErrInitialization without a link, aErrBusy when connected.
  [[nodiscard]] aErr connectFromSpec(const linkSpec& spec);
  // Reaches this module (at its own module address) over the router's
  // connection; the module address stays as set. aErrNone when already
  // connected; aErrInitialization when either module has no link or the
  // router is not connected.
  [[nodiscard]] aErr connectThroughLinkModule(Module* router);
  // Connects the link again from its spec, then learns the address.
  [[nodiscard]] aErr reconnect();
  [[nodiscard]] bool isConnected() const;
  linkStatus getStatus() const;
  uint32_t getDropCount() const;
  [[nodiscard]] aErr disconnect();

  uint8_t getModuleAddress() const { return moduleAddress; }
  void setModuleAddress(uint8_t address) { moduleAddress = address; }
  void setNetworkingMode(bool mode) { networkingMode = mode; }
  [[nodiscard]] bool getNetworkingMode() const { return networkingMode; }

  // aErrNotReady without a link.
  [[nodiscard]] aErr getLinkSpecifier(linkSpec* spec) const;
  [[nodiscard]] aErr getConfig(aWeftConfig* config) const;
  [[nodiscard]] aErr setConfig(const aWeftConfig& config);
  Link* getLink() { return m_link.get(); }
  [[nodiscard]] aErr enablePacketLog(const char* path);
  [[nodiscard]] aErr disablePacketLog();

  // Module queries. Each gives aErrConnection when not connected,
  // aErrInitialization without a link, aErrTimeout when no reply comes
  // within 1000 ms, and the send's errors.
  //
  // Echoes length bytes (at most 27); aErrIO when the echo differs.
  [[nodiscard]] aErr debug(const uint8_t* data, uint8_t length);
  // The firmware build number. aErrSize for a reply of the wrong length.
  [[nodiscard]] aErr getBuild(uint32_t* build);
  // Whether the module has the UEI; flags kHasUEIGet or kHasUEISet (or 0).
  // aErrNone when the module answered: *answer is then its answer byte, 0
  // when it has the UEI, else its code. aErrUnknown for an unexpected reply;
  // aErrParam for other flag bits, both, or a null answer.
  [[nodiscard]] aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags, uint8_t* answer);
  // Entities in a class, sub-entities of one entity, the group of one
  // entity. *out is 0 unless the reply matches; aErrUnknown otherwise.
  [[nodiscard]] aErr classQuantity(uint8_t entityClass, uint8_t* out);
  [[nodiscard]] aErr subClassQuantity(uint8_t entityClass, uint8_t entity, uint8_t* out);
  [[nodiscard]] aErr entityGroup(uint8_t entityClass, uint8_t index, uint8_t* out);

 private:
  // Learns the module address after a connection when networkingMode is on.
  [[nodiscard]] aErr _autoNetwork();
  // Sends one module query and takes the first reply on its command byte.
  [[nodiscard]] aErr query(uint8_t command, uint8_t length, const uint8_t* data, uint8_t matchLength,
                           uint8_t* replyLength, uint8_t* reply);
  // A module query whose reply repeats the first echoLength request bytes and
  // then carries a one-byte answer: the result of query, or aErrUnknown for a
  // reply of another length or echo.
  [[nodiscard]] aErr queryEchoed(const uint8_t* request, uint8_t length, uint8_t echoLength, uint8_t* answer);

  std::unique_ptr<Link> m_link;
  uint8_t moduleAddress;
  bool networkingMode;
  uint8_t model;
};

}  // namespace Corvalith
}  // namespace Tessaron

#endif
