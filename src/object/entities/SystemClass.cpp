// Corvane::SystemClass, expanded from its operation table.
#include "corvane/SystemClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS SystemClass
#define CORVANE_ENTITY_TABLE "corvane/entities/SystemClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
