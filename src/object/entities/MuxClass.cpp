// Corvane::MuxClass, expanded from its operation table.
#include "corvane/MuxClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS MuxClass
#define CORVANE_ENTITY_TABLE "corvane/entities/MuxClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
