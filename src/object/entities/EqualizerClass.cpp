// Corvane::EqualizerClass, expanded from its operation table.
#include "corvane/EqualizerClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS EqualizerClass
#define CORVANE_ENTITY_TABLE "corvane/entities/EqualizerClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
