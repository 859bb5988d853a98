// Example of the C++ object layer: connects a Module over TCP/IP and reads its serial number and
// firmware version through SystemClass. Usage: module_info PORT [IPV4-ADDRESS]
#include <corvane/Module.h>
#include <corvane/SystemClass.h>
#include <corvane/aVersion.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "Usage: module_info PORT [IPV4-ADDRESS]\n");
        return 2;
    }
    char* end = nullptr;
    const unsigned long port = std::strtoul(argv[1], &end, 10);
    in_addr address{};
    if (*argv[1] == '\0' || *end != '\0' || port == 0 || port > 65535 ||
        inet_pton(AF_INET, argc == 3 ? argv[2] : "127.0.0.1", &address) != 1) {
        std::fprintf(stderr, "module_info: give a port from 1 to 65535 and an IPv4 address\n");
        return 2;
    }

    linkSpec spec{};
    spec.type = TCPIP;
    spec.ipAddress = address.s_addr;
    spec.port = static_cast<uint32_t>(port);

    // Address 2 is where a module answers on its own; networking on adopts the address it gives.
    Corvane::Module module(2);
    if (aErr err = module.connectFromSpec(spec); err != aErrNone) {
        std::fprintf(stderr, "module_info: cannot connect: error %d\n", err);
        return 1;
    }
    Corvane::SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    uint32_t version = 0;
    aErr err = system.getSerialNumber(&serial);
    if (err == aErrNone)
        err = system.getVersion(&version);
    char versionText[32] = "";
    if (err == aErrNone && aVersion_ParseString(version, versionText, sizeof versionText) < 0)
        err = aErrSize;
    if (err == aErrNone)
        std::printf("serial number %08X, version %s\n", serial, versionText);
    else
        std::fprintf(stderr, "module_info: the module did not answer: error %d\n", err);
    module.disconnect();
    return err == aErrNone ? 0 : 1;
}
