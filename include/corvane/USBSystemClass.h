// Corvane::USBSystemClass: the USB hub as a whole.
// Its operations are the rows of corvane/entities/USBSystemClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API USBSystemClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(USBSystemClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/USBSystemClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
