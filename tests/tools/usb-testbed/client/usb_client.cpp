// A library client for the real-USB tests, run under usb-testbed: connects to a module over USB
// through the object layer, sharing server on (the library's default), and prints how it got
// there. Usage: usb_client SERIAL; it keeps the link until its standard input closes.
#include <corvane/Module.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const uint32_t serial = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 16));
    Corvane::Module module(2);
    if (aErr err = module.discoverAndConnect(USB, serial); err != aErrNone) {
        std::printf("connect failed: %d\n", err);
        return 1;
    }
    linkSpec spec{};
    uint32_t build = 0;
    const aErr specErr = module.getLinkSpecifier(&spec);
    const aErr buildErr = module.getBuild(&build);
    std::printf("connected over type %u, build %u (%d %d)\n", spec.type, build, specErr, buildErr);
    std::fflush(stdout);
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    // Still answering after the other client came and went.
    const aErr again = module.getBuild(&build);
    std::printf("still answering: %d\n", again);
    module.disconnect();
    return specErr != aErrNone || buildErr != aErrNone || again != aErrNone;
}
