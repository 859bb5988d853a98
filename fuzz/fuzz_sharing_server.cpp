// libFuzzer target: ZeroMQ clients' frames and module packets through the sharing server's
// dispatcher.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzSharingServer(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_sharing_server: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
