// Corvane::AnalogClass: an analog input or output.
// Its operations are the rows of corvane/entities/AnalogClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API AnalogClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(AnalogClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/AnalogClass.inc"
#include "corvane/entities/EntityDeclarations.inc"
};

} // namespace Corvane
