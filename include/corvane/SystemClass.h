// Corvane::SystemClass: the module as a whole: identity, routing, power input, LEDs and resets.
// Its operations are the rows of corvane/entities/SystemClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API SystemClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(SystemClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/SystemClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
