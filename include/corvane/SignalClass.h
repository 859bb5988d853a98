// Corvane::SignalClass: a generated digital signal.
// Its operations are the rows of corvane/entities/SignalClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API SignalClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(SignalClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/SignalClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
