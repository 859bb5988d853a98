// Corvane::TimerClass: a timer of the module.
// Its operations are the rows of corvane/entities/TimerClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API TimerClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(TimerClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/TimerClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
