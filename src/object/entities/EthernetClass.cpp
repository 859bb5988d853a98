// Corvane::EthernetClass, expanded from its operation table.
#include "corvane/EthernetClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS EthernetClass
#define CORVANE_ENTITY_TABLE "corvane/entities/EthernetClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
