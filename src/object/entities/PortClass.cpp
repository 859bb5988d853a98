// Corvane::PortClass, expanded from its operation table.
#include "corvane/PortClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS PortClass
#define CORVANE_ENTITY_TABLE "corvane/entities/PortClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
