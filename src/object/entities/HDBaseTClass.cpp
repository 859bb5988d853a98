// Corvane::HDBaseTClass, expanded from its operation table.
#include "corvane/HDBaseTClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS HDBaseTClass
#define CORVANE_ENTITY_TABLE "corvane/entities/HDBaseTClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
