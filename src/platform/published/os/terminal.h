// Terminals for the updater's display: whether its lines go to one, so that the progress bar and
// line redrawing never reach a pipe or a file.
#ifndef CORVANE_OS_TERMINAL_H
#define CORVANE_OS_TERMINAL_H

#include <cstdio>

namespace corvane::platform {

// True when stream writes to a terminal; false for a null stream.
bool isTerminal(std::FILE* stream);

} // namespace corvane::platform

#endif
