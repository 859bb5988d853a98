// libFuzzer target: arbitrary bytes as an attribute file, read, written back and read again.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// One scratch directory per fuzzing process, under TMPDIR (or /tmp).
const std::string& scratchDirectory() {
    static const std::string path = [] {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/fuzz-attr-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            perror("fuzz_attribute_file: mkdtemp");
            abort();
        }
        atexit([] { std::filesystem::remove_all(scratchDirectory()); });
        return pattern;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzAttributeFile(data, size, scratchDirectory());
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_attribute_file: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
