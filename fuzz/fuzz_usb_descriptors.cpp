// libFuzzer target: arbitrary USB configurations and serial strings as the USB layer reads them.
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = fuzzUsbDescriptors(data, size);
    if (!problem.empty()) {
        fprintf(stderr, "fuzz_usb_descriptors: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
