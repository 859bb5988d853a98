// The discover command (-D): lists the modules reachable directly or behind a router, connecting
// to each once to read its build, version and name.
#include "ModuleAccess.h"
#include "ResultTables.h"
#include "UpdaterCommands.h"

#include "corvane/aDefs.h"
#include "corvane/aDiscovery.h"

using Corvane::Module;

namespace {

bool collect(const linkSpec* spec, bool* found, void* reference) {
    DiscoveredDevice device;
    device.spec = *spec;
    static_cast<DiscoveredDeviceList*>(reference)->push_back(std::move(device));
    *found = true;
    return true;
}

DiscoveredDeviceList discoverDevices(UpdaterContext& context, int transport) {
    DiscoveredDeviceList devices;
    aDiscovery_EnumerateModules(static_cast<linkType>(transport), collect, &devices,
                                aETHERCONFIG_LOOPBACK);
    for (DiscoveredDevice& device : devices) {
        device.modelName = aDefs_GetModelName(static_cast<uint8_t>(device.spec.model));
        Module module(2, static_cast<uint8_t>(0));
        if (setLocalLinkConfig(context, module) != aErrNone)
            continue;
        device.error = module.connectFromSpec(device.spec);
        if (device.error == aErrNone) {
            module.getBuild(&device.build); // stays 0 when the module does not say
            device.error = readVersion(module, device);
            if (device.error == aErrNone)
                device.error = readDeviceName(module, device);
        }
        module.disconnect();
    }
    return devices;
}

} // namespace

CommandStatus discoverCommand(UpdaterContext& context, const DiscoverRequest& request) {
    if (request.routerSerial != 0) {
        displayPrint(context.display, DISPLAY_INFO,
                     "Searching for Corvane Network devices connected to %08X",
                     request.routerSerial);
        printDeviceTable(context.display,
                         scanNetwork(context, request.routerSerial, request.transport),
                         request.transport);
        return CommandStatus::Succeeded;
    }
    displayPrint(context.display, DISPLAY_INFO, "Searching for Corvane devices");
    const int used = request.transport != 0 ? request.transport : USB;
    printDeviceTable(context.display, discoverDevices(context, used), used);
    return CommandStatus::Succeeded;
}
