// Corvane::EqualizerClass: signal equalisation of a high-speed data path.
// Its operations are the rows of corvane/entities/EqualizerClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API EqualizerClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(EqualizerClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/EqualizerClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
