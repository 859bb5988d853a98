// Corvane::TemperatureClass, expanded from its operation table.
#include "corvane/TemperatureClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS TemperatureClass
#define CORVANE_ENTITY_TABLE "corvane/entities/TemperatureClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
