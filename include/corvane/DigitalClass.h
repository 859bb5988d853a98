// Corvane::DigitalClass: a digital input or output pin.
// Its operations are the rows of corvane/entities/DigitalClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API DigitalClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(DigitalClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/DigitalClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
