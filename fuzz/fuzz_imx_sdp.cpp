// libFuzzer target: arbitrary boot ROM answers to a scripted i.MX serial download session.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzImxSdp(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_imx_sdp: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
