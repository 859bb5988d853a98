// Corvane::RelayClass, expanded from its operation table.
#include "corvane/RelayClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS RelayClass
#define CORVANE_ENTITY_TABLE "corvane/entities/RelayClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
