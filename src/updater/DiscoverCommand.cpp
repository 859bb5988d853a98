// The discover command (-D): lists the modules reachable directly or behind a router, connecting
// to each once to read its build, version and name.
#include "ModuleAccess.h"
#include "PermissionHint.h"
#include "ResultTables.h"
#include "UpdaterCommands.h"

#include "corvane/aDefs.h"
#include "corvane/aDiscovery.h"

using Corvane::Module;

namespace {

struct Collected {
    DiscoveredDeviceList devices;
    uint32_t maxModules;
    bool more = false; // a module beyond maxModules answered
};

// Every reply is a module to connect to, so a module heard again, or a host that answers for
// ever more modules, must not be: one record per serial number and address, and no more than
// the run may read.
bool collect(const linkSpec* spec, bool* found, void* reference) {
    auto* collected = static_cast<Collected*>(reference);
    for (const DiscoveredDevice& known : collected->devices)
        if (known.spec.serialNumber == spec->serialNumber &&
            known.spec.ipAddress == spec->ipAddress)
            return true;
    if (collected->devices.size() >= collected->maxModules) {
        collected->more = true;
        return false;
    }
    DiscoveredDevice device;
    device.spec = *spec;
    collected->devices.push_back(std::move(device));
    *found = true;
    return true;
}

void readDevice(UpdaterContext& context, DiscoveredDevice& device) {
    device.modelName = aDefs_GetModelName(static_cast<uint8_t>(device.spec.model));
    Module module(2, static_cast<uint8_t>(0));
    if (setLocalLinkConfig(context, module) != aErrNone)
        return;
    device.error = module.connectFromSpec(device.spec);
    if (device.error == aErrNone) {
        module.getBuild(&device.build); // stays 0 when the module does not say
        device.error = readVersion(module, device);
        if (device.error == aErrNone)
            device.error = readDeviceName(module, device);
    }
    module.disconnect();
}

long long wholeSeconds(std::chrono::milliseconds span) {
    return std::chrono::duration_cast<std::chrono::seconds>(span).count();
}

} // namespace

DiscoveredDeviceList discoverModules(UpdaterContext& context, int transport,
                                     const DiscoveryLimits& limits,
                                     std::vector<std::string>* leftOut) {
    Collected collected{{}, limits.maxModules};
    aDiscovery_EnumerateModules(static_cast<linkType>(transport), collect, &collected,
                                aETHERCONFIG_LOOPBACK);
    DiscoveredDeviceList& devices = collected.devices;
    const auto started = limits.clock();
    size_t read = 0;
    for (; read < devices.size() && limits.clock() - started < limits.readBudget; ++read)
        readDevice(context, devices[read]);
    const size_t unread = devices.size() - read;
    devices.resize(read);
    char line[160];
    if (collected.more && leftOut) {
        snprintf(line, sizeof line, "More than %u modules answered; only the first %u were read",
                 limits.maxModules, limits.maxModules);
        leftOut->push_back(line);
    }
    if (unread != 0 && leftOut) {
        snprintf(line, sizeof line,
                 "Reading the modules took longer than %lld s; %zu more found were not read",
                 wholeSeconds(limits.readBudget), unread);
        leftOut->push_back(line);
    }
    return std::move(devices);
}

namespace {

// Prints the table, then what the limits left out.
void discoverDevices(UpdaterContext& context, int transport, const DiscoveryLimits& limits,
                     DiscoveredDeviceList* found) {
    std::vector<std::string> leftOut;
    DiscoveredDeviceList devices = discoverModules(context, transport, limits, &leftOut);
    printDeviceTable(context.display, devices, transport);
    // A module this user may not open cannot say who it is, so it is missing from the table.
    if (transport == USB)
        showUnopenableModuleHint(context.display);
    for (const std::string& line : leftOut)
        displayPrint(context.display, DISPLAY_ERROR, "%s", line.c_str());
    if (found)
        *found = std::move(devices);
}

} // namespace

CommandStatus discoverCommand(UpdaterContext& context, const DiscoverRequest& request) {
    if (request.routerSerial != 0) {
        displayPrint(context.display, DISPLAY_INFO,
                     "Searching for Corvane Network devices connected to %08X",
                     request.routerSerial);
        DiscoveredDeviceList devices =
            scanNetwork(context, request.routerSerial, request.transport, request.limits);
        printDeviceTable(context.display, devices, request.transport);
        if (request.found)
            *request.found = std::move(devices);
        return CommandStatus::Succeeded;
    }
    displayPrint(context.display, DISPLAY_INFO, "Searching for Corvane devices");
    discoverDevices(context, request.transport != 0 ? request.transport : USB, request.limits,
                    request.found);
    return CommandStatus::Succeeded;
}
