// Runs the simulated modules: opens their endpoints (TCP listener, serial and
// kernel-device pseudo-terminals), moves packets between the endpoints and the
// SimModule objects, sends heartbeats and applies the configured faults. One
// thread, one poll loop; nothing here blocks.
#ifndef CORVALITH_SIM_SIMSERVER_H
#define CORVALITH_SIM_SIMSERVER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimConfig.h"

namespace sim {

class SimServer {
 public:
  explicit SimServer(const SimOptions& options);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Opens every endpoint. False with a reason when one cannot be opened.
  bool open(std::string& error);
  // The LISTEN lines, one per endpoint, in module order.
  std::vector<std::string> listenLines() const;
  // The TCP port of the module at this index in the options, 0 without one.
  uint16_t tcpPort(size_t module) const;
  // Serves until stop() or the lifetime ends; returns the exit code (0).
  int run();
  // Safe from a signal handler and from any thread.
  void stop();
  // Makes SIGTERM and SIGINT call stop() on this server.
  void stopOnSignals();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim

#endif
