// Corvane::AnalogClass, expanded from its operation table.
#include "corvane/AnalogClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS AnalogClass
#define CORVANE_ENTITY_TABLE "corvane/entities/AnalogClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
