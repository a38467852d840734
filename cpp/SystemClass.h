// The system entity (class 3): a module's identity, version, power, LEDs,
// name and routing settings. Every operation is one UEI exchange on the
// bound index and returns the exchange's aErr code (see EntityClass).
#ifndef CORVALITH_CPP_SYSTEMCLASS_H
#define CORVALITH_CPP_SYSTEMCLASS_H

#include <cstddef>
#include <cstdint>

#include "cpp/EntityClass.h"

namespace Tessaron {
namespace Corvalith {

constexpr uint8_t kSystemClass = 3;

// Option codes of the system class.
enum : uint8_t {
  kSystemModule = 1,
  kSystemRouter = 2,
  kSystemHBInterval = 3,
  kSystemLED = 4,
  kSystemBootSlot = 6,
  kSystemVersion = 7,
  kSystemModel = 8,
  kSystemSerialNumber = 9,
  kSystemSave = 10,
  kSystemReset = 11,
  kSystemInputVoltage = 12,
  kSystemModuleHardwareOffset = 13,
  kSystemModuleBaseAddress = 14,
  kSystemModuleSoftwareOffset = 15,
  kSystemRouterAddressSetting = 16,
  kSystemRouteToMe = 20,
  kSystemInputCurrent = 21,
  kSystemUptime = 22,
  kSystemMaximumTemperature = 23,
  kSystemLogEvents = 24,
  kSystemUnregulatedVoltage = 25,
  kSystemUnregulatedCurrent = 26,
  kSystemTemperature = 27,
  kSystemMinimumTemperature = 28,
  kSystemInputPowerSource = 29,
  kSystemInputPowerBehavior = 30,
  kSystemInputPowerBehaviorConfig = 31,
  kSystemName = 32,
  kSystemPowerLimit = 33,
  kSystemPowerLimitMax = 34,
  kSystemPowerLimitState = 35,
  kSystemResetDeviceToFactoryDefaults = 37,
  kSystemLinkInterface = 38,
  kSystemHardwareVersion = 40,
  kSystemErrors = 41,
  kSystemLEDMaxBrightness = 42,
  kSystemBuild = 43,
  kSystemProtocolFeatures = 45,
};

class SystemClass : public EntityClass {
 public:
  SystemClass() = default;
  ~SystemClass() override;

  void init(Module* module, uint8_t index);

  [[nodiscard]] aErr getModule(uint8_t* address);
  [[nodiscard]] aErr setRouter(uint8_t address);
  [[nodiscard]] aErr getRouter(uint8_t* address);
  [[nodiscard]] aErr setHBInterval(uint8_t interval);
  [[nodiscard]] aErr getHBInterval(uint8_t* interval);
  [[nodiscard]] aErr setLED(uint8_t state);
  [[nodiscard]] aErr getLED(uint8_t* state);
  [[nodiscard]] aErr setBootSlot(uint8_t slot);
  [[nodiscard]] aErr getBootSlot(uint8_t* slot);
  // The packed firmware version (aVersion_Parse*).
  [[nodiscard]] aErr getVersion(uint32_t* version);
  [[nodiscard]] aErr getModel(uint8_t* model);
  [[nodiscard]] aErr getSerialNumber(uint32_t* serialNumber);
  [[nodiscard]] aErr save();
  // The module answers, then restarts; its link drops.
  [[nodiscard]] aErr reset();
  [[nodiscard]] aErr getInputVoltage(uint32_t* microvolts);
  [[nodiscard]] aErr getModuleHardwareOffset(uint8_t* offset);
  [[nodiscard]] aErr getModuleBaseAddress(uint8_t* address);
  [[nodiscard]] aErr setModuleSoftwareOffset(uint8_t offset);
  [[nodiscard]] aErr getModuleSoftwareOffset(uint8_t* offset);
  [[nodiscard]] aErr getRouterAddressSetting(uint8_t* address);
  // Asks a routing module to route its module network's traffic to this
  // host (1) or not (0).
  [[nodiscard]] aErr routeToMe(uint8_t flag);
  [[nodiscard]] aErr getInputCurrent(uint32_t* microamps);
  [[nodiscard]] aErr getUptime(uint32_t* uptime);
  [[nodiscard]] aErr getMaximumTemperature(int32_t* microdegrees);
  [[nodiscard]] aErr logEvents();
  [[nodiscard]] aErr getUnregulatedVoltage(int32_t* microvolts);
  [[nodiscard]] aErr getUnregulatedCurrent(int32_t* microamps);
  [[nodiscard]] aErr getTemperature(int32_t* microdegrees);
  [[nodiscard]] aErr getMinimumTemperature(int32_t* microdegrees);
  [[nodiscard]] aErr getInputPowerSource(uint8_t* source);
  [[nodiscard]] aErr setInputPowerBehavior(uint8_t behavior);
  [[nodiscard]] aErr getInputPowerBehavior(uint8_t* behavior);
  // An array of 32-bit words, most significant byte first on the wire.
  [[nodiscard]] aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t length);
  // capacity and *count in words; code 1 (aErrMemory) when the reply does
  // not fit or is not a whole number of words.
  [[nodiscard]] aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
  [[nodiscard]] aErr setName(const uint8_t* name, size_t length);
  // The name's bytes (not terminated); capacity and *count in bytes.
  [[nodiscard]] aErr getName(uint8_t* buffer, size_t capacity, size_t* count);
  [[nodiscard]] aErr getPowerLimit(uint32_t* limit);
  [[nodiscard]] aErr setPowerLimitMax(uint32_t limit);
  [[nodiscard]] aErr getPowerLimitMax(uint32_t* limit);
  [[nodiscard]] aErr getPowerLimitState(uint32_t* state);
  [[nodiscard]] aErr resetDeviceToFactoryDefaults();
  [[nodiscard]] aErr setLinkInterface(uint8_t linkInterface);
  [[nodiscard]] aErr getLinkInterface(uint8_t* linkInterface);
  [[nodiscard]] aErr getHardwareVersion(uint32_t* version);
  [[nodiscard]] aErr getErrors(uint32_t* errors);
  [[nodiscard]] aErr setLEDMaxBrightness(uint8_t brightness);
  [[nodiscard]] aErr getLEDMaxBrightness(uint8_t* brightness);
  [[nodiscard]] aErr getBuild(uint32_t* build);
  [[nodiscard]] aErr getProtocolFeatures(uint32_t* features);
};

}  // namespace Corvalith
}  // namespace Tessaron

#endif
