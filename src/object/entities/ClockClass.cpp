// Corvane::ClockClass, expanded from its operation table.
#include "corvane/ClockClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS ClockClass
#define CORVANE_ENTITY_TABLE "corvane/entities/ClockClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
