// libFuzzer target: arbitrary chip answers to a scripted NXP ISP session.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzNxpIsp(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_nxp_isp: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
