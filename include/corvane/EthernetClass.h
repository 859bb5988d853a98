// Corvane::EthernetClass: the module's network settings.
// Its operations are the rows of corvane/entities/EthernetClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API EthernetClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(EthernetClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/EthernetClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
