// TCP/IP discovery for the simulated modules: listens for the 16-byte
// request multicast to 232.2.2.2:9888 on the chosen interfaces and answers
// for every module with a TCP endpoint, by unicast to the requester's address
// on port 9889. The reply is sent from 127.0.0.1, where the module's TCP
// endpoint listens, so the address a searcher records is one it can connect
// to.
//
// Joining a multicast group sends membership reports on the interface, so
// the responder only opens inside a private network namespace
// (NETNS_PRIVATE=1, scripts/netns-run).
#ifndef CORVALITH_SIM_SIMDISCOVERY_H
#define CORVALITH_SIM_SIMDISCOVERY_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Per-module discovery behaviour (module keys discovery-*).
struct DiscoveryConfig {
  bool answer = true;    // discovery=no keeps the module silent
  uint32_t delayMs = 0;  // discovery-delay-ms: answer this late
  uint32_t replies = 1;  // discovery-replies: answer this many times
  uint32_t length = 16;  // discovery-length: bytes of the reply, 1 to 16
};

// Handles a discovery-* module key. False with a reason for a bad value or
// an unknown discovery key.
bool applyDiscoveryKey(DiscoveryConfig& config, const std::string& key, const std::string& value,
                       std::string& error);
// True for the keys applyDiscoveryKey handles.
bool isDiscoveryKey(const std::string& key);

// What a reply says about one module.
struct DiscoveryModule {
  uint32_t serial = 0;
  uint8_t address = 0;
  uint8_t model = 0;
  uint16_t tcpPort = 0;
  uint32_t version = 0;
  DiscoveryConfig config;
};

// The reply bytes: 1 module address, 2-3 TCP port and 4-7 serial number
// (little-endian), 12 model; the rest carries the reply marker and the
// firmware version. Cut to config.length bytes.
std::vector<uint8_t> discoveryReply(const DiscoveryModule& module);

class DiscoveryResponder {
 public:
  // where: "all" for every IPv4 interface, or dotted addresses separated by
  // commas.
  DiscoveryResponder(std::string where, std::vector<DiscoveryModule> modules, bool verbose);
  ~DiscoveryResponder();
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  // Binds port 9888 and joins the group on the interfaces, then answers on
  // a thread of its own until stop(). False with a reason outside a private
  // namespace, for a bad interface list, or when no group could be joined.
  bool start(std::string& error);
  void stop();
  // Requests answered so far.
  uint32_t requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim

#endif
