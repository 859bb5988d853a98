// Corvane::PointerClass: a cursor into the module's memory or stores.
// Its operations are the rows of corvane/entities/PointerClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API PointerClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(PointerClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/PointerClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
