// Corvane::PointerClass, expanded from its operation table.
#include "corvane/PointerClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS PointerClass
#define CORVANE_ENTITY_TABLE "corvane/entities/PointerClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
