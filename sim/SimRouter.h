// The module network of a simulated routing module: other simulated modules
// sit on its I2C bus at even addresses. The router acknowledges I2C writes
// to addresses where a module sits and refuses the others, and, while its
// route is on (set by the host's route packet when a link starts and by the
// system option routeToMe), passes packets addressed to a module behind it
// to that module and sends the module's replies back over its own link.
#ifndef CORVALITH_SIM_SIMROUTER_H
#define CORVALITH_SIM_SIMROUTER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/SimModule.h"

namespace sim {

// Checks the module networks of a configuration: every behind= serial names
// a module with an endpoint of its own, and the modules on one bus have
// distinct addresses other than the router's. False with a reason.
bool checkModuleNetworks(const std::vector<ModuleConfig>& modules, std::string& error);

class SimRouter {
 public:
  static constexpr uint8_t kI2CClass = 8;
  // Address byte that selects the pull-up setting instead of a device.
  static constexpr uint8_t kPullupSelect = 1;
  // Most bytes one I2C transfer carries.
  static constexpr uint8_t kMaxTransfer = 23;
  // Status byte of an I2C reply: bit 7 marks an error, bits 0-6 its code.
  static constexpr uint8_t kStatusError = 0x80;

  explicit SimRouter(uint8_t routerAddress) : address_(routerAddress) {}

  // Puts a module on the bus at its configured address; not owned.
  void attach(SimModule* module);
  bool empty() const { return bus_.empty(); }

  // Takes the packets that belong to the network: I2C transfers addressed to
  // the router itself and every packet addressed to a module on the bus.
  // False when the router's own module should handle the packet.
  bool handle(const Packet& in, bool routeOn, uint64_t nowMs, Response& r);

  // Stream samples the modules behind the router have due; they reach the
  // host only while the route is on.
  void takeSamples(bool routeOn, uint64_t nowMs, std::vector<Packet>& out);
  // When a module behind it next has samples due; UINT64_MAX for none.
  uint64_t nextSampleMs() const;
  // The router's link has gone: the streams through it end.
  void stopStreams();

  // Packets passed to the modules behind the router.
  uint64_t forwarded() const { return forwarded_; }

 private:
  struct Device {
    SimModule* module = nullptr;
    uint64_t awayUntilMs = 0;        // rebooting after a reset
    std::vector<uint8_t> lastWrite;  // what an I2C read returns
  };

  void handleI2C(const Packet& in, uint64_t nowMs, Response& r);
  Device* present(uint8_t address, uint64_t nowMs);
  void reply(uint8_t index, uint8_t address, uint8_t count, uint8_t status, const std::vector<uint8_t>& data,
             Response& r) const;

  uint8_t address_;
  bool pullup_ = false;
  std::map<uint8_t, Device> bus_;
  uint64_t forwarded_ = 0;
};

}  // namespace sim

#endif
