// The library's own debug trace: off unless the environment variable CORVANE_DEBUG is set to a
// value other than "0" when the library first traces; written to standard error.
#pragma once

namespace corvane {

bool debugTraceEnabled();

// printf-style; does nothing while the trace is off.
void debugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace corvane
