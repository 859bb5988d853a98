// Corvane::RelayClass: a relay.
// Its operations are the rows of corvane/entities/RelayClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API RelayClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(RelayClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/RelayClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
