// Corvane::EntityClass: the base of every entity class. An entity object names one entity
// (command code and index) of one Module and reads, writes and calls its options as UEIs.
#pragma once

#include "Module.h"
#include "aUEI.h"

#include <cstdint>

namespace Corvane {

// Entity objects copy freely: a copy names the same entity of the same Module, which neither
// owns. Every call is one independent exchange; two threads that use the same entity and
// option at once can take each other's replies, so callers serialise such exchanges.
//
// Results: aErrResource without a module or link (init not called), aErrParam for a null
// output, aErrConnection when the link does not run, aErrTimeout without a reply within
// 1000 ms, and the module's code (aErrInvalidEntity, aErrInvalidOption, ...) for an error
// reply. Getters store nothing on failure, except a stale stream value (aErrStreamStale).
class CORVANE_API EntityClass {
  public:
    EntityClass();
    EntityClass(const EntityClass& other);
    EntityClass& operator=(const EntityClass& other);
    virtual ~EntityClass();

    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    aErr callUEI(uint8_t option);
    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    // Sends length bytes as one UEIBytes run and waits for the acknowledgement (4000 ms
    // above 1000 bytes).
    aErr setUEIBytes(uint8_t option, const uint8_t* data, uint32_t length);

    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    // With a parameter byte sent along with the request (a port, a channel, an attribute).
    aErr getUEI8(uint8_t option, uint8_t parameter, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t parameter, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t parameter, uint32_t* value);

    // Reads a byte array into buffer; *unloadedLength receives the bytes copied. A reply
    // longer than bufferLength is aErrMemory (the buffer holds what fitted; the rest of the
    // transfer is taken off the link). Packets out of sequence are ignored.
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, uint32_t bufferLength,
                     uint32_t* unloadedLength);
    // The reply filter of getUEIBytes; reference is its transfer record.
    static uint8_t sUEIBytesFilter(const aPacket* packet, const void* reference);
    // Bit 7 of a UEIBytes packet's last byte: more packets follow.
    static uint8_t getUEIBytesContinue(const aPacket* packet);
    // Turns a byte count into a count of unitSize elements: aErrMemory (length unchanged) when
    // it is no multiple of unitSize, aErrParam for a null length or a unitSize of 0.
    static aErr getUEIBytesCheck(uint32_t* length, uint32_t unitSize);

    // Removes stale replies of this entity's option from the incoming packets.
    aErr drainUEI(uint8_t option);

  protected:
    // The module this entity belongs to (null before init) and its class's command code.
    Module* getModule() const;
    uint8_t getCommand() const;

    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);
    // One get: the stream cache first, else a request to the module. *request's type and
    // value are sent along (typeByte: a parameter byte); the reply's value is left in it.
    aErr getUEI(uint8_t option, uei* request);
    aErr setUEI(uint8_t option, uei* request);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* request);
    // Waits (1000 ms) for a value the module sends unasked for this option, such as a
    // completion value after a call. timeoutMs does not lengthen the wait.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t timeoutMs);

  private:
    struct Impl;
    Impl* impl_;
};

} // namespace Corvane
