// virtual-module: serves a simulated Corvane module on a TCP port until interrupted.
#include <cstdio>
#include <string>

#include "DiscoveryResponder.h"
#include "ModuleNetwork.h"
#include "RequestReplyModel.h"
#include "StreamingModel.h"
#include "ToolStop.h"
#include "ToolVersion.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"
#include "VirtualModuleOptions.h"

int main(int argc, char** argv) {
    if (printToolVersion("virtual-module", argc, argv))
        return 0;
    using namespace Corvane::Tools;
    VirtualModuleConfig config;
    std::vector<BusModuleConfig> busModules;
    std::string error;
    switch (parseVirtualModuleOptions(argc, argv, config, &error, &busModules)) {
    case OptionsResult::Help: std::fputs(kVirtualModuleHelp, stdout); return 0;
    case OptionsResult::Error:
        std::fprintf(stderr, "virtual-module: %s\nTry 'virtual-module --help'.\n", error.c_str());
        return 2;
    case OptionsResult::Run: break;
    }

    // Taken before the module's thread starts, so that only the wait below sees them.
    os::StopRequests stopRequests(true);

    VirtualModule module(config);
    RequestReplyModel model(config.identity, config.modelFaults);
    model.install(module);
    model.setFirmware(config.build, config.packedVersion);
    UpgradeModel upgrade(model, config.chunkSize, config.upgradeFaults);
    upgrade.install(module);
    StreamingSettings streaming;
    streaming.intervalUs = config.streamIntervalUs;
    streaming.burstAfterEnable = config.streamBurst;
    StreamingModel streams(model, config.identity.model, streaming);
    streams.install(module);
    ModuleNetwork network(module, config.identity.address);
    for (const BusModuleConfig& busModule : busModules) {
        if (!network.attach(busModule, &error)) {
            std::fprintf(stderr, "virtual-module: --bus-module: %s\nTry 'virtual-module --help'.\n",
                         error.c_str());
            return 2;
        }
    }
    network.setPresentEverywhere(config.busPresentEverywhere);
    if (!busModules.empty() || config.busPresentEverywhere)
        network.install();
    if (!module.start(&error)) {
        std::fprintf(stderr, "virtual-module: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s\n", module.endpoint().c_str());
    std::printf("module serial %08X, model %u, address %u\n", config.identity.serialNumber,
                config.identity.model, config.identity.address);
    std::printf("usb emulation: CORVANE_USB_EMULATION=%08X:%02X@%s\n", config.identity.serialNumber,
                config.identity.model, module.endpoint().c_str());
    for (const BusModuleConfig& busModule : busModules)
        std::printf("bus module serial %08X, model %u, bus address %u\n",
                    busModule.identity.serialNumber, busModule.identity.model,
                    busModule.identity.address);
    DiscoveryResponder discovery;
    if (!config.discoveryInterface.empty()) {
        if (!discovery.start(config.discoveryInterface, config.identity, module.port(), &error,
                             config.discoveryFaults)) {
            std::fprintf(stderr, "virtual-module: %s\n", error.c_str());
            return 1;
        }
        std::printf("answering discovery on %s\n", config.discoveryInterface.c_str());
    }
    std::fflush(stdout);

    stopRequests.wait();
    discovery.stop();
    module.stop();
    if (config.verbose) {
        const VirtualModuleStats s = module.stats();
        std::fprintf(stderr,
                     "virtual-module: %llu connections, %llu packets, %llu heartbeats sent, "
                     "%llu answered, %llu missed\n",
                     static_cast<unsigned long long>(s.connections),
                     static_cast<unsigned long long>(s.packetsReceived),
                     static_cast<unsigned long long>(s.heartbeatsSent),
                     static_cast<unsigned long long>(s.heartbeatAnswers),
                     static_cast<unsigned long long>(s.missedHeartbeats));
    }
    return 0;
}
