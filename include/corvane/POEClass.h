// Corvane::POEClass: power over Ethernet.
// Its operations are the rows of corvane/entities/POEClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API POEClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(POEClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/POEClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
