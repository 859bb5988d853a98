// Corvane::I2CClass: one I2C bus of a module, driven with raw packets of command 8 (not a UEI).
// Bus addresses are 8-bit: the 7-bit address shifted left, bit 0 the read flag.
#pragma once

#include "EntityClass.h"

namespace Corvane {

class CORVANE_API I2CClass : public EntityClass {
  public:
    static constexpr uint8_t commandCode = 8;
    // Longest transfer one packet carries.
    static constexpr uint8_t maxTransferLength = 23;

    I2CClass() = default;
    I2CClass(const I2CClass&) = default;
    I2CClass& operator=(const I2CClass&) = default;
    ~I2CClass() override = default;
    // Binds the object to bus index of module and resets the speed to 0.
    void init(Module* module, uint8_t index);

    // Reads length bytes (at most 23, else aErrSize) from the device at address into buffer.
    // A status with bit 7 set returns its low 7 bits as the error.
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    // Writes length bytes (at most 23, else aErrSize) to the device at address.
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(bool enable);
    // The bus speed (0 to 3) sent with every transfer; no traffic. Above 3 is aErrParam and
    // keeps the previous speed.
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed) const;

  private:
    // Sends request and waits for a reply that starts with expected; aErrPacket when it is
    // shorter than command, index, address, count and status.
    aErr exchange(const uint8_t* request, uint8_t length, const uint8_t* expected,
                  uint8_t expectedLength, uint8_t* reply, uint8_t* replyLength);

    uint8_t speed_ = 0;
};

} // namespace Corvane
