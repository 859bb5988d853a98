// Corvane::RCServoClass, expanded from its operation table.
#include "corvane/RCServoClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS RCServoClass
#define CORVANE_ENTITY_TABLE "corvane/entities/RCServoClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
