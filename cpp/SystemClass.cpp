#include "cpp/SystemClass.h"

#include <memory>
#include <new>

namespace Tessaron {
namespace Corvalith {

namespace {

constexpr size_t kWordBytes = 4;

aErr sGetSigned(SystemClass& s, uint8_t option, int32_t* out) {
  if (out == nullptr) return aErrParam;
  uint32_t value = 0;
  const aErr err = s.getUEI32(option, &value);
  if (err == aErrNone || err == aErrStreamStale) *out = static_cast<int32_t>(value);
  return err;
}

}  // namespace

SystemClass::~SystemClass() = default;

void SystemClass::init(Module* module, uint8_t index) {
  EntityClass::init(module, kSystemClass, index);
}

aErr SystemClass::getModule(uint8_t* address) {
  return getUEI8(kSystemModule, address);
}

aErr SystemClass::setRouter(uint8_t address) {
  return setUEI8(kSystemRouter, address);
}

aErr SystemClass::getRouter(uint8_t* address) {
  return getUEI8(kSystemRouter, address);
}

aErr SystemClass::setHBInterval(uint8_t interval) {
  return setUEI8(kSystemHBInterval, interval);
}

aErr SystemClass::getHBInterval(uint8_t* interval) {
  return getUEI8(kSystemHBInterval, interval);
}

aErr SystemClass::setLED(uint8_t state) {
  return setUEI8(kSystemLED, state);
}

aErr SystemClass::getLED(uint8_t* state) {
  return getUEI8(kSystemLED, state);
}

aErr SystemClass::setBootSlot(uint8_t slot) {
  return setUEI8(kSystemBootSlot, slot);
}

aErr SystemClass::getBootSlot(uint8_t* slot) {
  return getUEI8(kSystemBootSlot, slot);
}

aErr SystemClass::getVersion(uint32_t* version) {
  return getUEI32(kSystemVersion, version);
}

aErr SystemClass::getModel(uint8_t* model) {
  return getUEI8(kSystemModel, model);
}

aErr SystemClass::getSerialNumber(uint32_t* serialNumber) {
  return getUEI32(kSystemSerialNumber, serialNumber);
}

aErr SystemClass::save() {
  return callUEI(kSystemSave);
}

aErr SystemClass::reset() {
  return callUEI(kSystemReset);
}

aErr SystemClass::getInputVoltage(uint32_t* microvolts) {
  return getUEI32(kSystemInputVoltage, microvolts);
}

aErr SystemClass::getModuleHardwareOffset(uint8_t* offset) {
  return getUEI8(kSystemModuleHardwareOffset, offset);
}

aErr SystemClass::getModuleBaseAddress(uint8_t* address) {
  return getUEI8(kSystemModuleBaseAddress, address);
}

aErr SystemClass::setModuleSoftwareOffset(uint8_t offset) {
  return setUEI8(kSystemModuleSoftwareOffset, offset);
}

aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) {
  return getUEI8(kSystemModuleSoftwareOffset, offset);
}

aErr SystemClass::getRouterAddressSetting(uint8_t* address) {
  return getUEI8(kSystemRouterAddressSetting, address);
}

aErr SystemClass::routeToMe(uint8_t flag) {
  return setUEI8(kSystemRouteToMe, flag);
}

aErr SystemClass::getInputCurrent(uint32_t* microamps) {
  return getUEI32(kSystemInputCurrent, microamps);
}

aErr SystemClass::getUptime(uint32_t* uptime) {
  return getUEI32(kSystemUptime, uptime);
}

aErr SystemClass::getMaximumTemperature(int32_t* microdegrees) {
  return sGetSigned(*this, kSystemMaximumTemperature, microdegrees);
}

aErr SystemClass::logEvents() {
  return callUEI(kSystemLogEvents);
}

aErr SystemClass::getUnregulatedVoltage(int32_t* microvolts) {
  return sGetSigned(*this, kSystemUnregulatedVoltage, microvolts);
}

aErr SystemClass::getUnregulatedCurrent(int32_t* microamps) {
  return sGetSigned(*this, kSystemUnregulatedCurrent, microamps);
}

aErr SystemClass::getTemperature(int32_t* microdegrees) {
  return sGetSigned(*this, kSystemTemperature, microdegrees);
}

aErr SystemClass::getMinimumTemperature(int32_t* microdegrees) {
  return sGetSigned(*this, kSystemMinimumTemperature, microdegrees);
}

aErr SystemClass::getInputPowerSource(uint8_t* source) {
  return getUEI8(kSystemInputPowerSource, source);
}

aErr SystemClass::setInputPowerBehavior(uint8_t behavior) {
  return setUEI8(kSystemInputPowerBehavior, behavior);
}

aErr SystemClass::getInputPowerBehavior(uint8_t* behavior) {
  return getUEI8(kSystemInputPowerBehavior, behavior);
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t length) {
  if (words == nullptr && length > 0) return aErrParam;
  if (length > UINT32_MAX / kWordBytes) return aErrParam;
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[length * kWordBytes + 1]);
  if (!bytes) return aErrResource;
  for (size_t i = 0; i < length; ++i) aUEI_StoreInt(bytes.get() + i * kWordBytes, words[i]);
  return setUEIBytes(kSystemInputPowerBehaviorConfig, bytes.get(), length * kWordBytes);
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
  if (words == nullptr || count == nullptr || capacity == 0 || capacity > SIZE_MAX / kWordBytes) {
    return aErrParam;
  }
  aErr err = getUEIBytes(kSystemInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words),
                         capacity * kWordBytes, count);
  if (err == aErrNone) err = getUEIBytesCheck(count, kWordBytes);
  if (err == aErrNone) aUEI_ModifyIntBuffer(words, *count);
  return err;
}

aErr SystemClass::setName(const uint8_t* name, size_t length) {
  return setUEIBytes(kSystemName, name, length);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* count) {
  aErr err = getUEIBytes(kSystemName, buffer, capacity, count);
  if (err == aErrNone) err = getUEIBytesCheck(count, 1);
  return err;
}

aErr SystemClass::getPowerLimit(uint32_t* limit) {
  return getUEI32(kSystemPowerLimit, limit);
}

aErr SystemClass::setPowerLimitMax(uint32_t limit) {
  return setUEI32(kSystemPowerLimitMax, limit);
}

aErr SystemClass::getPowerLimitMax(uint32_t* limit) {
  return getUEI32(kSystemPowerLimitMax, limit);
}

aErr SystemClass::getPowerLimitState(uint32_t* state) {
  return getUEI32(kSystemPowerLimitState, state);
}

aErr SystemClass::resetDeviceToFactoryDefaults() {
  return callUEI(kSystemResetDeviceToFactoryDefaults);
}

aErr SystemClass::setLinkInterface(uint8_t linkInterface) {
  return setUEI8(kSystemLinkInterface, linkInterface);
}

aErr SystemClass::getLinkInterface(uint8_t* linkInterface) {
  return getUEI8(kSystemLinkInterface, linkInterface);
}

aErr SystemClass::getHardwareVersion(uint32_t* version) {
  return getUEI32(kSystemHardwareVersion, version);
}

aErr SystemClass::getErrors(uint32_t* errors) {
  return getUEI32(kSystemErrors, errors);
}

aErr SystemClass::setLEDMaxBrightness(uint8_t brightness) {
  return setUEI8(kSystemLEDMaxBrightness, brightness);
}

aErr SystemClass::getLEDMaxBrightness(uint8_t* brightness) {
  return getUEI8(kSystemLEDMaxBrightness, brightness);
}

aErr SystemClass::getBuild(uint32_t* build) {
  return getUEI32(kSystemBuild, build);
}

aErr SystemClass::getProtocolFeatures(uint32_t* features) {
  return getUEI32(kSystemProtocolFeatures, features);
}

}  // namespace Corvalith
}  // namespace Tessaron
