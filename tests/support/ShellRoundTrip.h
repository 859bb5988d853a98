// Reads a command line the Updater printed for the user to paste, the way bash reads it: the named
// commands are shell functions that only print their name and arguments, so nothing runs.
#pragma once

#include "ProcessRunner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

// The words each named command was called with, in order, its name first; what the line printed
// besides (a pipe's left side) is not read. Empty, with a failed expectation, when bash refused
// the line.
inline std::vector<std::string> shellCalls(const std::string& line,
                                           const std::vector<std::string>& commands) {
    std::string script = "set -f\n";
    for (const std::string& command : commands)
        script += command + "() { printf '%s\\0' " + command + " \"$@\" >&3; }\n";
    script += line + "\n";
    // Descriptor 3 is the calls' own, so a pipe inside the line does not swallow them.
    const ProcessResult r = runProcess("/bin/bash", {"-c", "exec 3>&1 1>/dev/null\n" + script}, {});
    std::vector<std::string> words;
    if (r.exitStatus != 0 || !r.err.empty()) {
        ADD_FAILURE() << "bash refused: " << line << "\n" << r.err;
        return words;
    }
    for (size_t start = 0; start < r.out.size();) {
        const size_t end = r.out.find('\0', start);
        words.push_back(r.out.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

} // namespace testsupport
