// Corvane::SignalClass, expanded from its operation table.
#include "corvane/SignalClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS SignalClass
#define CORVANE_ENTITY_TABLE "corvane/entities/SignalClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
