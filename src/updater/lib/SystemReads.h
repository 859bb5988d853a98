// The system entity (command 3) and I2C bus (command 8) operations the updater's flows use, named
// as the object layer's entity classes name them, so the flows read the same either way.
#pragma once

#include "corvane/EntityClass.h"

#include <cstdint>

class SystemReads : public Corvane::EntityClass {
  public:
    static constexpr uint8_t kCommand = 3;

    void init(Corvane::Module* module, uint8_t index) {
        EntityClass::init(module, kCommand, index);
    }

    aErr getModule(uint8_t* address) { return getUEI8(1, address); }
    aErr getRouter(uint8_t* address) { return getUEI8(2, address); }
    aErr getVersion(uint32_t* version) { return getUEI32(7, version); }
    aErr getModel(uint8_t* model) { return getUEI8(8, model); }
    aErr getSerialNumber(uint32_t* serial) { return getUEI32(9, serial); }
    aErr routeToMe(uint8_t enable) { return setUEI8(20, enable); }
    aErr getName(uint8_t* buffer, uint32_t capacity, uint32_t* length) {
        return getUEIBytes(32, buffer, capacity, length);
    }
    aErr getProtocolFeatures(uint32_t* features) { return getUEI32(45, features); }
};

// Writes on the module network behind a router: bus addresses are 7-bit addresses shifted left.
class I2CBus : public Corvane::EntityClass {
  public:
    static constexpr uint8_t kCommand = 8;
    static constexpr uint8_t kMaxTransfer = 23;

    void init(Corvane::Module* module, uint8_t index) {
        EntityClass::init(module, kCommand, index);
        speed_ = 0;
    }
    aErr setSpeed(uint8_t speed);
    // Sends length bytes to the bus address and waits for the bus's status.
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);

  private:
    uint8_t speed_ = 0;
};
