// libFuzzer target: arbitrary bytes as a BIRD file, through the loader and every reader.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzBirdLoader(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_bird_loader: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
