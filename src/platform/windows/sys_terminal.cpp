// Windows backend of the terminal check: a console, not a pipe or a file. The display redraws
// lines with VT sequences and writes UTF-8, so a console counts as a terminal once it takes both;
// an old console that has no VT sequences gets plain lines, as a pipe does.
#include "os/terminal.h"
#include "win_common.h"

#include <io.h>

namespace corvane::platform {

bool isTerminal(std::FILE* stream) {
    if (stream == nullptr)
        return false;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode))
        return false;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
        !SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    return SetConsoleOutputCP(CP_UTF8) != 0;
}

} // namespace corvane::platform
