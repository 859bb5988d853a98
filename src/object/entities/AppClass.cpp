// Corvane::AppClass, expanded from its operation table.
#include "corvane/AppClass.h"

#include "EntityOps.h"

namespace Corvane {

#define ENTITY_CLASS AppClass
#define CORVANE_ENTITY_TABLE "corvane/entities/AppClass.inc"
#include "EntityDefinitions.inc"
#undef ENTITY_CLASS

namespace {
constexpr uint8_t kExecuteOption = 1;
constexpr uint8_t kResultOption = 2;
} // namespace

aErr AppClass::execute(uint32_t parameter, uint32_t* result, uint32_t timeout) {
    if (!result)
        return aErrParam;
    if (const aErr err = drainUEI(kResultOption); err != aErrNone)
        return err;
    if (const aErr err = setUEI32(kExecuteOption, parameter); err != aErrNone)
        return err;
    return awaitUEI32Val(kResultOption, result, timeout);
}

} // namespace Corvane
