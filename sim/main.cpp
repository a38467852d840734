// corvalith-sim: simulated Corvalith modules for tests and demonstrations.
// See --help (sim/SimConfig.cpp) for the options and the startup lines.
#include <cstdio>
#include <string>

#include "sim/SimConfig.h"
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
  server.stopOnSignals();
  for (const std::string& line : server.listenLines()) std::printf("%s\n", line.c_str());
  std::printf("READY\n");
  std::fflush(stdout);
  return server.run();
}
