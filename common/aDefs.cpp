#include "common/aDefs.h"

namespace {

struct ModelName {
  uint32_t model;
  const char* name;
};

constexpr ModelName kModelNames[] = {
    {4, "HubLink 4"},   {5, "HubLink 8"},    {13, "PortSwitch"}, {14, "PortSwitch 2"}, {15, "DigiIO 16"},
    {16, "DigiIO 32"},  {17, "AnaIO 8"},     {18, "RelayPak 4"}, {19, "RelayPak 8"},   {20, "PowerRelay"},
    {21, "MeterPro"},   {22, "ThermoSense"}, {23, "VoltSense"},  {24, "CurrentSense"}, {25, "ModRouter"},
    {26, "HubLink 16"}, {27, "MixedIO 24"},
};

constexpr bool sNamesFit() {
  for (const ModelName& entry : kModelNames) {
    unsigned length = 0;
    while (entry.name[length] != '\0') ++length;
    if (length > kMaxModelNameLength) return false;
  }
  return true;
}
static_assert(sNamesFit(), "model names must fit the device table's name column");
static_assert(sizeof kModelNames / sizeof kModelNames[0] == 17,
              "one name per model number 4, 5 and 13 to 27");

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const ModelName& entry : kModelNames) {
    if (entry.model == model) return entry.name;
  }
  return "Unknown";
}
