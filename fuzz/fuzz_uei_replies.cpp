// libFuzzer target: arbitrary module packets as UEI replies, UEIBytes runs and stream packets.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzUeiReplies(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_uei_replies: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
