// Corvane::TemperatureClass: a temperature sensor.
// Its operations are the rows of corvane/entities/TemperatureClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API TemperatureClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(TemperatureClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/TemperatureClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
