// libFuzzer target: arbitrary bytes arriving on a link, in arbitrary chunks, through the reader.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzLinkStream(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_link_stream: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
