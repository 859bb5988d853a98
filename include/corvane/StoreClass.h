// Corvane::StoreClass: one store of the module and its slots.
// Its operations are the rows of corvane/entities/StoreClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API StoreClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(StoreClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/StoreClass.inc"
#include "corvane/entities/EntityDeclarations.inc"

    // Slot transfers through the module's store slot protocol; the object's index is the store.
    aErr getSlotCapacity(uint8_t slot, uint32_t* capacity);
    aErr getSlotSize(uint8_t slot, uint32_t* size);
    aErr loadSlot(uint8_t slot, const uint8_t* data, uint16_t length);
    // aErrOverrun when the slot holds more than bufferLength bytes (the buffer holds the first).
    aErr unloadSlot(uint8_t slot, uint32_t bufferLength, uint8_t* buffer, uint32_t* unloadedLength);
};

} // namespace Corvane
