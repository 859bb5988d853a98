// Corvane::MuxClass: a multiplexer that routes one of several channels.
// Its operations are the rows of corvane/entities/MuxClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API MuxClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(MuxClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/MuxClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
