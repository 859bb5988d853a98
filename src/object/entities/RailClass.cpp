// Corvane::RailClass, expanded from its operation table.
#include "corvane/RailClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS RailClass
#define CORVANE_ENTITY_TABLE "corvane/entities/RailClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
