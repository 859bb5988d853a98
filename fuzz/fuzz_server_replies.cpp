// libFuzzer target: arbitrary bodies as the update server's replies, read as the Updater reads
// them.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzServerReplies(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_server_replies: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
