// Corvane::PortClass: one USB port with its power, data paths, CC and VCONN lines.
// Its operations are the rows of corvane/entities/PortClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API PortClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(PortClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/PortClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
