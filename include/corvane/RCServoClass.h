// Corvane::RCServoClass: a hobby servo output.
// Its operations are the rows of corvane/entities/RCServoClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API RCServoClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(RCServoClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/RCServoClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
