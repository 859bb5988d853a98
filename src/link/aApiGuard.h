// One entry discipline for the C API: run the body, and turn any exception into a fallback
// value so that none ever crosses into a C caller.
#pragma once

#include <exception>
#include <new>

namespace corvane {

// Runs body() and returns its result; returns fallback when it throws.
template <typename T, typename Body> T guarded(T fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

} // namespace corvane
