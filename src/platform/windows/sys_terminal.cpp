// Windows backend of the terminal check: a console, not a pipe or a file.
#include "os/terminal.h"
#include "win_common.h"

#include <io.h>

namespace corvane::platform {

bool isTerminal(std::FILE* stream) {
    if (stream == nullptr)
        return false;
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
}

} // namespace corvane::platform
