// Corvane::DigitalClass, expanded from its operation table.
#include "corvane/DigitalClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS DigitalClass
#define CORVANE_ENTITY_TABLE "corvane/entities/DigitalClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
