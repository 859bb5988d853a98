// The sharing server's and client's debug trace, written to standard error when the library's
// trace is on.
#pragma once

namespace corvane {

void shareTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace corvane
