// A plain program that uses the object layer only through the installed headers and the shared
// library: it connects to a module over TCP/IP, reads and writes a few UEIs and a store slot,
// and prints what it got. Usage: plain_module_client PORT
#include <corvane/EntityClass.h>
#include <corvane/Module.h>
#include <corvane/aUEI.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>

namespace {

class SystemEntity : public Corvane::EntityClass {
  public:
    explicit SystemEntity(Corvane::Module* module) { init(module, 3, 0); }
};

int fail(const char* what, aErr err) {
    std::printf("%s failed: %d\n", what, err);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    linkSpec spec{};
    spec.type = TCPIP;
    spec.ipAddress = htonl(INADDR_LOOPBACK);
    spec.port = static_cast<uint32_t>(std::atoi(argv[1]));

    Corvane::Module module(2);
    aEtherConfig config;
    config.enabled = false;
    if (aErr err = module.setConfig(config); err != aErrNone)
        return fail("setConfig", err);
    if (aErr err = module.connectFromSpec(spec); err != aErrNone)
        return fail("connect", err);

    SystemEntity system(&module);
    uint32_t serial = 0, build = 0;
    if (aErr err = system.getUEI32(9, &serial); err != aErrNone)
        return fail("getUEI32", err);
    if (aErr err = module.getBuild(&build); err != aErrNone)
        return fail("getBuild", err);
    const uint8_t name[] = "plain";
    uint8_t back[16] = {};
    uint32_t unloaded = 0;
    if (aErr err = system.setUEIBytes(32, name, 5); err != aErrNone)
        return fail("setUEIBytes", err);
    if (aErr err = system.getUEIBytes(32, back, sizeof back, &unloaded); err != aErrNone)
        return fail("getUEIBytes", err);
    uint32_t size = 0;
    if (aErr err = module.getLink()->storeSlotSize(2, 0, 0, &size); err != aErrNone)
        return fail("storeSlotSize", err);
    const uint8_t word[] = {0, 0, 1, 0};
    std::printf("serial %08X build %u name %.*s slot %u word %u uei %d\n", serial, build,
                static_cast<int>(unloaded), reinterpret_cast<const char*>(back), size,
                aUEI_RetrieveInt(word), module.hasUEI(3, 9, 0, 0x40));
    module.disconnect();
    return 0;
}
