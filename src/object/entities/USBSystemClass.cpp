// Corvane::USBSystemClass, expanded from its operation table.
#include "corvane/USBSystemClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS USBSystemClass
#define CORVANE_ENTITY_TABLE "corvane/entities/USBSystemClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
