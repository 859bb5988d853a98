// Corvane::PowerDeliveryClass, expanded from its operation table.
#include "corvane/PowerDeliveryClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS PowerDeliveryClass
#define CORVANE_ENTITY_TABLE "corvane/entities/PowerDeliveryClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

namespace {

constexpr uint8_t kPowerDataObject = 1;
constexpr uint8_t kPowerDataObjectEnabled = 3;
constexpr uint8_t kNumberOfPowerDataObjects = 5;
constexpr uint8_t kRequestDataObject = 6;
constexpr uint8_t kResetPowerDataObject = 15;
// The attributes of the request data object: role bit set, rule index 0.
constexpr uint8_t kRequestAttributes = 0x80;

// This port's object (partner 0) for role and rule index; aErrParam outside their ranges.
aErr ownAttributes(uint8_t* attributes, uint8_t powerRole, uint8_t ruleIndex) {
    return PowerDeliveryClass::packDataObjectAttributes(attributes, 0, powerRole, ruleIndex);
}

} // namespace

aErr PowerDeliveryClass::packDataObjectAttributes(uint8_t* attributes, uint8_t partner,
                                                  uint8_t powerRole, uint8_t ruleIndex) {
    if (!attributes || partner > 1 || powerRole < 1 || powerRole > 2 || ruleIndex > 63)
        return aErrParam;
    *attributes = static_cast<uint8_t>(((powerRole - 1) << 7) | (partner << 6) | ruleIndex);
    return aErrNone;
}

aErr PowerDeliveryClass::unpackDataObjectAttributes(uint8_t attributes, uint8_t* partner,
                                                    uint8_t* powerRole, uint8_t* ruleIndex) {
    if (!partner || !powerRole || !ruleIndex)
        return aErrParam;
    *partner = (attributes >> 6) & 1;
    *powerRole = static_cast<uint8_t>((attributes >> 7) + 1);
    *ruleIndex = attributes & 0x3F;
    return aErrNone;
}

aErr PowerDeliveryClass::getPowerDataObject(uint8_t partner, uint8_t powerRole, uint8_t ruleIndex,
                                            uint32_t* pdo) {
    uint8_t attributes = 0;
    if (const aErr err = packDataObjectAttributes(&attributes, partner, powerRole, ruleIndex);
        err != aErrNone)
        return err;
    return EntityOps::get(*this, kPowerDataObject, attributes, pdo);
}

aErr PowerDeliveryClass::setPowerDataObject(uint8_t powerRole, uint8_t ruleIndex, uint32_t pdo) {
    uint8_t attributes = 0;
    if (const aErr err = ownAttributes(&attributes, powerRole, ruleIndex); err != aErrNone)
        return err;
    return setUEI32(kPowerDataObject, attributes, pdo);
}

aErr PowerDeliveryClass::getPowerDataObjectEnabled(uint8_t powerRole, uint8_t ruleIndex,
                                                   uint8_t* enabled) {
    uint8_t attributes = 0;
    if (const aErr err = ownAttributes(&attributes, powerRole, ruleIndex); err != aErrNone)
        return err;
    return EntityOps::get(*this, kPowerDataObjectEnabled, attributes, enabled);
}

aErr PowerDeliveryClass::setPowerDataObjectEnabled(uint8_t powerRole, uint8_t ruleIndex,
                                                   uint8_t enabled) {
    uint8_t attributes = 0;
    if (const aErr err = ownAttributes(&attributes, powerRole, ruleIndex); err != aErrNone)
        return err;
    return setUEI8(kPowerDataObjectEnabled, attributes, enabled);
}

aErr PowerDeliveryClass::getNumberOfPowerDataObjects(uint8_t partner, uint8_t powerRole,
                                                     uint8_t* count) {
    uint8_t attributes = 0;
    if (const aErr err = packDataObjectAttributes(&attributes, partner, powerRole, 0);
        err != aErrNone)
        return err;
    return EntityOps::get(*this, kNumberOfPowerDataObjects, attributes, count);
}

aErr PowerDeliveryClass::getRequestDataObject(uint8_t partner, uint32_t* rdo) {
    if (partner > 1)
        return aErrParam;
    return EntityOps::get(*this, kRequestDataObject,
                          static_cast<uint8_t>(kRequestAttributes | (partner << 6)), rdo);
}

aErr PowerDeliveryClass::setRequestDataObject(uint32_t rdo) {
    return setUEI32(kRequestDataObject, kRequestAttributes, rdo);
}

aErr PowerDeliveryClass::resetPowerDataObjectToDefault(uint8_t powerRole, uint8_t ruleIndex) {
    uint8_t attributes = 0;
    if (const aErr err = ownAttributes(&attributes, powerRole, ruleIndex); err != aErrNone)
        return err;
    return setUEI8(kResetPowerDataObject, attributes);
}

} // namespace Corvane
