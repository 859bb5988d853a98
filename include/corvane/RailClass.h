// Corvane::RailClass: a power rail with its setpoints, limits and measurements.
// Its operations are the rows of corvane/entities/RailClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API RailClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(RailClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/RailClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
