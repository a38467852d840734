// Command line and configuration file of corvalith-sim.
#ifndef CORVALITH_SIM_SIMCONFIG_H
#define CORVALITH_SIM_SIMCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimModule.h"

namespace sim {

struct SimOptions {
  std::vector<ModuleConfig> modules;
  std::string recordPath;  // empty: no record
  std::string devDir;      // kernel device directory; empty: $CORVALITH_DEV_DIR or /dev
  uint32_t lifetimeS = 3600;
  std::string discovery;  // empty: no discovery responder; "all" or addresses
  bool verbose = false;
  bool help = false;
};

// The --help text.
const char* helpText();

// Sets one module key ("serial", "tcp", ...). False with a reason on error.
bool applyModuleKey(ModuleConfig& m, const std::string& key, const std::string& value, std::string& error);
// "key=value,key=value" as given to --module.
bool parseModuleSpec(const std::string& spec, ModuleConfig& m, std::string& error);
// Appends the [module] sections of a configuration file's text; each section
// starts from defaults.
bool parseConfigText(const std::string& text, std::vector<ModuleConfig>& out, std::string& error,
                     const ModuleConfig& defaults = ModuleConfig());
// Parses argv; reads --config files. With no module given, one default module
// listening on a free TCP port. Checks that serial numbers and addresses are
// usable.
bool parseCommandLine(int argc, char** argv, SimOptions& options, std::string& error);

// The options every simulator of modules takes (--verbose, --module, --config,
// --record, --lifetime), filling these fields.
struct CommonSimFields {
  std::vector<ModuleConfig>& modules;
  std::string& recordPath;
  bool& verbose;
  uint32_t& lifetimeS;
};
enum class OptionTaken : uint8_t { No, Yes, Bad };
// Looks at argv[i] and, for an option with a value, advances i past it. New
// modules start from defaults. Bad comes with a reason in error.
[[nodiscard]] OptionTaken parseCommonOption(int argc, char** argv, int& i, const CommonSimFields& fields,
                                            const ModuleConfig& defaults, std::string& error);

}  // namespace sim

#endif
