// Corvane::USBClass, expanded from its operation table.
#include "corvane/USBClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS USBClass
#define CORVANE_ENTITY_TABLE "corvane/entities/USBClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

} // namespace Corvane
