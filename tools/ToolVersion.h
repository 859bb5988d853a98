// The tools' --version answer, "<tool> (corvane) <version>", from the project's one version.
#pragma once

#include "CorvaneVersion.h"

#include <cstdio>
#include <cstring>

// Prints the version line and returns true when the first argument is --version.
inline bool printToolVersion(const char* tool, int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--version") != 0)
        return false;
    std::printf("%s (corvane) %s\n", tool, CORVANE_VERSION_TEXT);
    return true;
}
