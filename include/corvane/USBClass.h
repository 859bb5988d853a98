// Corvane::USBClass: the downstream ports of a USB hub, addressed by port number.
// Its operations are the rows of corvane/entities/USBClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API USBClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(USBClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/USBClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
