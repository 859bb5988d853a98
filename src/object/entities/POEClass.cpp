// Corvane::POEClass, expanded from its operation table.
#include "corvane/POEClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS POEClass
#define CORVANE_ENTITY_TABLE "corvane/entities/POEClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
