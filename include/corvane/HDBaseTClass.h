// Corvane::HDBaseTClass: an HDBaseT link.
// Its operations are the rows of corvane/entities/HDBaseTClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API HDBaseTClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(HDBaseTClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/HDBaseTClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
