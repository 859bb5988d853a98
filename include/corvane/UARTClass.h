// Corvane::UARTClass: a serial port of the module.
// Its operations are the rows of corvane/entities/UARTClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API UARTClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(UARTClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/UARTClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
