// The object layer's debug trace: off unless CORVANE_TRACE is set in the environment, written to
// standard error.
#pragma once

namespace Corvane {

void objectTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace Corvane
