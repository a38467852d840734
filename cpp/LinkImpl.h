// The private part of a Link, shared by the files that implement Link.
#ifndef CORVALITH_CPP_LINKIMPL_H
#define CORVALITH_CPP_LINKIMPL_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "common/aLogger.h"
#include "cpp/Link.h"

namespace Tessaron {
namespace Corvalith {

// Library debug bit of the module-level traces.
constexpr uint32_t kDebugModule = 0x40;

struct Link::impl {
  impl(Link* owner, const char* linkName);
  ~impl();

  // Creates the engine link for spec and
  // stores its identifier, 0 when the engine could not make one. reference
  // is the link whose use a shared (client) link takes. With sharing on, a
  // direct link is wrapped in a device server and this link becomes its
  // client. aErrMode for a bad type, aErrConfiguration for a shared type
  // with sharing off.
  [[nodiscard]] aErr linkCreateHelper(const linkSpec& spec, aLinkRef reference);
  // Creates the link from the stored spec and waits for it (connect without
  // its first check).
  [[nodiscard]] aErr connectHelper(aLinkRef reference);
  // Polls the engine status every 10 ms, at most rounds times.
  [[nodiscard]] aErr waitForLink(int rounds) const;
  // Finds a spec for type and serial (or the first of the model) and
  // connects to it.
  [[nodiscard]] aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);
  [[nodiscard]] bool connected() const;
  void destroyLogger();

  Link* link;
  std::atomic<aLinkRef> linkId{0};
  aLogger* logger = nullptr;
  std::mutex loggerMutex;
  aWeftConfig config;
  std::string name;
  bool hasName = false;
  std::unique_ptr<linkSpec> spec;
};

}  // namespace Corvalith
}  // namespace Tessaron

#endif
