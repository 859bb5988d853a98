// libFuzzer target: arbitrary datagrams as TCP/IP discovery replies and sharing server beacon
// answers.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzDiscovery(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_discovery: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
