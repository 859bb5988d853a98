// Linux backend of the terminal check.
#include "os/terminal.h"

#include <unistd.h>

namespace corvane::platform {

bool isTerminal(std::FILE* stream) {
    return stream != nullptr && isatty(fileno(stream)) != 0;
}

} // namespace corvane::platform
