// libFuzzer target: arbitrary bytes as an attribute file, read, written back and read again.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// One scratch directory per fuzzing process, under TMPDIR (or /tmp); a tmpfs such as /dev/shm
// keeps the attribute file's syncs cheap. Never destroyed, so the exit handler can still use it.
const std::string& scratchDirectory() {
    static const std::string& path = *new std::string([] {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/fuzz-attr-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            perror("fuzz_attribute_file: mkdtemp");
            abort();
        }
        return pattern;
    }());
    static const bool cleanup = atexit([] {
                                    std::error_code ignored;
                                    std::filesystem::remove_all(scratchDirectory(), ignored);
                                }) == 0;
    (void)cleanup;
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
