// libFuzzer target: arbitrary bytes from a web server, in arbitrary chunks, through update-server
// --fastcgi's record reader.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzFastCgiRecords(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_fastcgi_records: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
