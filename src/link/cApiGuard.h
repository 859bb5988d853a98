// Keeps exceptions from crossing the C interface: runs a body and maps anything thrown to aErr.
#ifndef CORVANE_CAPIGUARD_H
#define CORVANE_CAPIGUARD_H

#include "corvane/aError.h"

#include <new>

namespace corvane {

// Runs body (returning aErr); bad_alloc becomes aErrMemory, anything else aErrUnknown.
template <typename Body> aErr guardedCall(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return aErrMemory;
    } catch (...) {
        return aErrUnknown;
    }
}

// Runs body (returning a value); anything thrown becomes fallback.
template <typename T, typename Body> T guardedValue(T fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

} // namespace corvane

#endif
