// setenv and unsetenv, which the C runtime on Windows lacks, for the shared test sources that
// set variables for the code under test; forced into every Windows test program.
#pragma once

#include <cstdlib>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr)
        return 0;
    return _putenv_s(name, value);
}

inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
