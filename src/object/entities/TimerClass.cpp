// Corvane::TimerClass, expanded from its operation table.
#include "corvane/TimerClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS TimerClass
#define CORVANE_ENTITY_TABLE "corvane/entities/TimerClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
