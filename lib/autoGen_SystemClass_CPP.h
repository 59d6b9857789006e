// SystemClass - the system entity (class 3): identity, addresses, power and housekeeping
#pragma once

#include <cstddef>
#include <cstdint>

#include "Entity.h"

namespace Pelmora::Corvane {

// Each option by name; the results are those of EntityClass.
class SystemClass : public EntityClass {
  public:
    void init(Module* module, uint8_t index) { EntityClass::init(module, 3, index); }

    aErr getModule(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getRouter(uint8_t* address);
    aErr setHBInterval(uint8_t tenths);
    aErr getHBInterval(uint8_t* tenths);
    aErr setLED(uint8_t on);
    aErr getLED(uint8_t* on);
    aErr setBootSlot(uint8_t slot);
    aErr getBootSlot(uint8_t* slot);
    aErr getVersion(uint32_t* packed);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serial);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* microvolts);
    aErr getModuleHardwareOffset(uint8_t* offset);
    aErr getModuleBaseAddress(uint8_t* address);
    aErr setModuleSoftwareOffset(uint8_t offset);
    aErr getModuleSoftwareOffset(uint8_t* offset);
    aErr getRouterAddressSetting(uint8_t* address);
    // 1 routes the module network's traffic to this host, 0 stops it.
    aErr routeToMe(uint8_t on);
    aErr getInputCurrent(uint32_t* microamps);
    aErr getUptime(uint32_t* value);
    aErr getMaximumTemperature(int32_t* value);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* value);
    aErr getUnregulatedCurrent(int32_t* value);
    aErr getTemperature(int32_t* value);
    aErr getMinimumTemperature(int32_t* value);
    aErr getInputPowerSource(uint8_t* source);
    aErr setInputPowerBehavior(uint8_t behavior);
    aErr getInputPowerBehavior(uint8_t* behavior);
    // count 32-bit values, bytes kept in the order the module uses. The getter answers
    // 1 when the bytes received are no multiple of 4, with *count the byte count.
    aErr setInputPowerBehaviorConfig(const uint32_t* values, size_t count);
    aErr getInputPowerBehaviorConfig(uint32_t* values, size_t capacity, size_t* count);
    // The name as bytes, without a terminator.
    aErr setName(const uint8_t* name, size_t length);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* length);
    aErr getPowerLimit(uint32_t* value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitMax(uint32_t* value);
    aErr getPowerLimitState(uint32_t* value);
    aErr resetDeviceToFactoryDefaults();
    aErr setLinkInterface(uint8_t value);
    aErr getLinkInterface(uint8_t* value);
    aErr getHardwareVersion(uint32_t* value);
    aErr getErrors(uint32_t* value);
    aErr setLEDMaxBrightness(uint8_t value);
    aErr getLEDMaxBrightness(uint8_t* value);
    aErr getBuild(uint32_t* build);
    aErr getProtocolFeatures(uint32_t* features);
};

} // namespace Pelmora::Corvane
