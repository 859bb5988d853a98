// Corvane::ClockClass: the module's real-time clock.
// Its operations are the rows of corvane/entities/ClockClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API ClockClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(ClockClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/ClockClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
