// Corvane::UARTClass, expanded from its operation table.
#include "corvane/UARTClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS UARTClass
#define CORVANE_ENTITY_TABLE "corvane/entities/UARTClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
