// libFuzzer target: arbitrary bytes as a client's request to the update server.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzUpdateServerRequest(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_update_server_request: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
