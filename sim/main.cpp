// corvalith-sim: simulated Corvalith modules for tests and demonstrations.
// See --help (sim/SimConfig.cpp) for the options and the startup lines.
#include <cstdio>
#include <memory>
#include <string>

#include "sim/SimConfig.h"
#include "sim/SimDiscovery.h"
#include "sim/SimServer.h"

int main(int argc, char** argv) {
  sim::SimOptions options;
  std::string error;
  if (!sim::parseCommandLine(argc, argv, options, error)) {
    std::fprintf(stderr, "corvalith-sim: %s\nTry corvalith-sim --help\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(sim::helpText(), stdout);
    return 0;
  }
  sim::SimServer server(options);
  if (!server.open(error)) {
    std::fprintf(stderr, "corvalith-sim: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<sim::DiscoveryResponder> discovery;
  if (!options.discovery.empty()) {
    std::vector<sim::DiscoveryModule> answering;
    for (size_t i = 0; i < options.modules.size(); ++i) {
      const sim::ModuleConfig& c = options.modules[i];
      if (c.tcpPort < 0) continue;
      answering.push_back(
          sim::DiscoveryModule{c.serial, c.address, c.model, server.tcpPort(i), c.version, c.discovery});
    }
    discovery = std::make_unique<sim::DiscoveryResponder>(options.discovery, answering, options.verbose);
    if (!discovery->start(error)) {
      std::fprintf(stderr, "corvalith-sim: %s\n", error.c_str());
      return 1;
    }
  }
  server.stopOnSignals();
  for (const std::string& line : server.listenLines()) std::printf("%s\n", line.c_str());
  std::printf("READY\n");
  std::fflush(stdout);
  const int code = server.run();
  if (discovery) discovery->stop();
  return code;
}
