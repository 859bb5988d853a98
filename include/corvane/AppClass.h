// Corvane::AppClass: an application routine of the module's firmware.
// Its operations are the rows of corvane/entities/AppClass.inc.
#pragma once

#include "EntityTable.h"

namespace Corvane {

class CORVANE_API AppClass : public EntityClass {
  public:
    CORVANE_ENTITY_CLASS_MEMBERS(AppClass)
#define CORVANE_ENTITY_TABLE "corvane/entities/AppClass.inc"
#include "corvane/entities/EntityDeclarations.inc"

    // Sets option 1 to parameter, then waits for the routine's 32-bit result, which the module
    // sends unasked as option 2 (stale results are dropped first). The wait is the standard
    // 1000 ms whatever timeout says.
    aErr execute(uint32_t parameter, uint32_t* result, uint32_t timeout);
};

} // namespace Corvane
