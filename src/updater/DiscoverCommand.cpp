// The discover command (-D): lists the modules reachable directly or behind a router, connecting
// to each once to read its build, version and name.
#include "Debug.h"
#include "ModuleAccess.h"
#include "ResultTables.h"
#include "UpdaterCommands.h"
#include "corvane/I2CClass.h"
#include "corvane/SystemClass.h"

#include "corvane/aDefs.h"
#include "corvane/aDiscovery.h"
#include "corvane/aVersion.h"

#include <cstring>
#include <memory>

using Corvane::Module;

namespace {

constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kQueryBuild = 0xFF;
constexpr uint32_t kNameCapacity = 32;

struct RouterSearch {
    uint32_t serial;
    linkSpec found{};
    bool seen = false;
};

bool collect(const linkSpec* spec, bool* found, void* reference) {
    DiscoveredDevice device;
    device.spec = *spec;
    static_cast<DiscoveredDeviceList*>(reference)->push_back(std::move(device));
    *found = true;
    return true;
}

bool findRouter(const linkSpec* spec, bool* found, void* reference) {
    auto* search = static_cast<RouterSearch*>(reference);
    if (spec->serialNumber != search->serial)
        return true;
    *found = true;
    Debug_Print(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n",
                spec->serialNumber, static_cast<int>(spec->type));
    search->found = *spec;
    search->seen = true;
    return false;
}

// Reads the details of the module behind a router at a bus address; false when nothing there
// gives its serial number.
bool probeBusModule(UpdaterContext& context, Module& router, const linkSpec& routerSpec,
                    uint32_t routerSerial, int transport, uint8_t address,
                    DiscoveredDevice& device) {
    Debug_Print(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, 0);
    setLocalLinkConfig(context, module);
    if (module.connectThroughLinkModule(&router) != aErrNone)
        return false;
    Corvane::SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        module.disconnect();
        return false;
    }
    Debug_Print(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
    // How the router is reached (its IP address and everything after it) is how this module is
    // reached; its own address and model are what it answers below, 0 until it does.
    device.spec = routerSpec;
    device.spec.type = static_cast<linkType>(transport);
    device.spec.serialNumber = serial;
    device.spec.module = 0;
    device.spec.router = router.getModuleAddress();
    device.spec.routerSerialNumber = routerSerial;
    device.spec.model = 0;
    device.networkAddress = address;
    device.build = readBuildNumber(module);
    device.error = readVersion(module, device);
    uint8_t model = 0;
    if (const aErr err = system.getModel(&model); err == aErrNone) {
        device.spec.model = model;
        device.modelName = aDefs_GetModelName(model);
    } else {
        device.error = err;
    }
    module.disconnect();
    return true;
}

} // namespace

aErr setLocalLinkConfig(UpdaterContext& context, Module& module) {
    return setLocalLinkConfig(context.display, module);
}

aErr setLocalLinkConfig(UpdaterDisplayInterface& display, Module& module) {
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    config.assignedPort = 0;
    config.networkInterface = aETHERCONFIG_LOOPBACK;
    const aErr err = module.setConfig(config);
    if (err != aErrNone)
        displayPrint(display, DISPLAY_ERROR, "Failed to SET network configuration");
    return err;
}

uint32_t readBuildNumber(Module& module) {
    Corvane::Link* link = module.getLink();
    if (!link)
        return 0;
    const uint8_t request = kQueryBuild;
    if (link->sendPacket(module.getModuleAddress(), kQueryCommand, 1, &request) != aErrNone)
        return 0;
    const uint8_t match[] = {kQueryCommand, kQueryBuild};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone ||
        length != 6)
        return 0;
    return uint32_t{reply[2]} << 24 | uint32_t{reply[3]} << 16 | uint32_t{reply[4]} << 8 | reply[5];
}

aErr readVersion(Module& module, DiscoveredDevice& device) {
    Corvane::SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    if (const aErr err = system.getVersion(&version); err != aErrNone)
        return err;
    device.versionMajor = aVersion_ParseMajor(version);
    device.versionMinor = aVersion_ParseMinor(version);
    device.versionPatch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    if (const aErr err = system.getModule(&address); err != aErrNone)
        return err;
    device.spec.module = address;
    if (const aErr err = system.getRouter(&address); err != aErrNone)
        return err;
    device.spec.router = address;
    return aErrNone;
}

aErr readDeviceName(Module& module, DiscoveredDevice& device) {
    if (!aVersion_IsAtLeastCompare(device.versionMajor, device.versionMinor, device.versionPatch, 2,
                                   10, 4))
        return aErrNone;
    Corvane::SystemClass system;
    system.init(&module, 0);
    uint8_t name[kNameCapacity];
    uint32_t length = 0;
    const aErr err = system.getName(name, sizeof name, &length);
    if (err == aErrNone)
        device.deviceName.assign(reinterpret_cast<const char*>(name), length);
    return err;
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
            device.build = readBuildNumber(module);
            device.error = readVersion(module, device);
            if (device.error == aErrNone)
                device.error = readDeviceName(module, device);
        }
        module.disconnect();
    }
    return devices;
}

DiscoveredDeviceList scanNetwork(UpdaterContext& context, uint32_t routerSerial, int transport) {
    DiscoveredDeviceList devices;
    if (transport == 0) {
        RouterSearch search{routerSerial};
        aDiscovery_EnumerateModules(USB, findRouter, &search, aETHERCONFIG_LOOPBACK);
        if (!search.seen)
            aDiscovery_EnumerateModules(TCPIP, findRouter, &search, aETHERCONFIG_LOOPBACK);
        if (search.seen)
            transport = search.found.type;
    }
    linkSpec* found = aDiscovery_FindModule(static_cast<linkType>(transport), routerSerial,
                                            aETHERCONFIG_LOOPBACK);
    if (!found)
        return devices;
    const linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);
    Debug_Print(DEBUG_Updater, "Found Link Module");

    Module router(2, static_cast<uint8_t>(0));
    if (setLocalLinkConfig(context, router) != aErrNone)
        return devices;
    if (const aErr err = router.connectFromSpec(routerSpec); err != aErrNone) {
        displayPrint(context.display, DISPLAY_ERROR, "Error %d on connectFromSpec", err);
        return devices;
    }
    Corvane::SystemClass routerSystem;
    routerSystem.init(&router, 0);
    if (const aErr err = routerSystem.routeToMe(1); err != aErrNone) {
        displayPrint(context.display, DISPLAY_ERROR, "Error %d on route to me", err);
        router.disconnect();
        return devices;
    }
    Corvane::I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(3);
    const uint8_t probe[2] = {0, 0};
    for (unsigned address = 2; address <= 252; address += 2) {
        if (address == router.getModuleAddress())
            continue;
        Debug_Print(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        if (bus.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone)
            continue;
        DiscoveredDevice device;
        if (probeBusModule(context, router, routerSpec, routerSerial, transport,
                           static_cast<uint8_t>(address), device))
            devices.push_back(std::move(device));
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}

CommandStatus discoverCommand(UpdaterContext& context, uint32_t routerSerial, int transport) {
    if (routerSerial != 0) {
        displayPrint(context.display, DISPLAY_INFO,
                     "Searching for Corvane Network devices connected to %08X", routerSerial);
        printDeviceTable(context.display, scanNetwork(context, routerSerial, transport), transport);
        return CommandStatus::Succeeded;
    }
    displayPrint(context.display, DISPLAY_INFO, "Searching for Corvane devices");
    const int used = transport != 0 ? transport : USB;
    printDeviceTable(context.display, discoverDevices(context, used), used);
    return CommandStatus::Succeeded;
}
