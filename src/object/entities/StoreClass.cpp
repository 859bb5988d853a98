// Corvane::StoreClass, expanded from its operation table.
#include "corvane/StoreClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS StoreClass
#define CORVANE_ENTITY_TABLE "corvane/entities/StoreClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

namespace {

// Runs a store slot exchange on the entity's module: aErrResource before init or without a link.
template <class Exchange> aErr onModuleLink(Module* module, Exchange exchange) {
    Link* link = module ? module->getLink() : nullptr;
    return link ? exchange(*link, module->getModuleAddress()) : aErrResource;
}

} // namespace

aErr StoreClass::getSlotCapacity(uint8_t slot, uint32_t* capacity) {
    return onModuleLink(getModule(), [&](Link& link, uint8_t address) {
        return link.storeSlotCapacity(address, getIndex(), slot, capacity);
    });
}

aErr StoreClass::getSlotSize(uint8_t slot, uint32_t* size) {
    return onModuleLink(getModule(), [&](Link& link, uint8_t address) {
        return link.storeSlotSize(address, getIndex(), slot, size);
    });
}

aErr StoreClass::loadSlot(uint8_t slot, const uint8_t* data, uint16_t length) {
    return onModuleLink(getModule(), [&](Link& link, uint8_t address) {
        return link.loadStoreSlot(address, getIndex(), slot, data, length);
    });
}

aErr StoreClass::unloadSlot(uint8_t slot, uint32_t bufferLength, uint8_t* buffer,
                            uint32_t* unloadedLength) {
    return onModuleLink(getModule(), [&](Link& link, uint8_t address) {
        return link.unloadStoreSlot(address, getIndex(), slot, buffer, bufferLength,
                                    unloadedLength);
    });
}

} // namespace Corvane
