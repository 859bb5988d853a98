// Corvane::PowerDeliveryClass: USB power delivery of one port.
// Its operations are the rows of corvane/entities/PowerDeliveryClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API PowerDeliveryClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(PowerDeliveryClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/PowerDeliveryClass.inc"
#include "corvane/entities/EntityDeclarations.inc"

    // Power data objects are addressed by an attributes byte: bit 7 power role - 1 (role 1 or
    // 2), bit 6 partner (0 this port, 1 the partner), bits 0 to 5 rule index (0 to 63). A
    // value outside those ranges or a null output is aErrParam.
    static aErr packDataObjectAttributes(uint8_t* attributes, uint8_t partner, uint8_t powerRole,
                                         uint8_t ruleIndex);
    static aErr unpackDataObjectAttributes(uint8_t attributes, uint8_t* partner, uint8_t* powerRole,
                                           uint8_t* ruleIndex);

    aErr getPowerDataObject(uint8_t partner, uint8_t powerRole, uint8_t ruleIndex, uint32_t* pdo);
    // Sets this port's object (partner 0).
    aErr setPowerDataObject(uint8_t powerRole, uint8_t ruleIndex, uint32_t pdo);
    aErr getPowerDataObjectEnabled(uint8_t powerRole, uint8_t ruleIndex, uint8_t* enabled);
    aErr setPowerDataObjectEnabled(uint8_t powerRole, uint8_t ruleIndex, uint8_t enabled);
    aErr getNumberOfPowerDataObjects(uint8_t partner, uint8_t powerRole, uint8_t* count);
    // partner 0 this port's request, 1 the partner's.
    aErr getRequestDataObject(uint8_t partner, uint32_t* rdo);
    aErr setRequestDataObject(uint32_t rdo);
    aErr resetPowerDataObjectToDefault(uint8_t powerRole, uint8_t ruleIndex);
};

} // namespace Corvane
