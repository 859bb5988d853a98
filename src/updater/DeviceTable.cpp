// The discovered-devices table of -D: one row per module found.
#include "PrintableText.h"
#include "ResultTables.h"

#include "corvane/aDefs.h"

#include <cstring>

namespace {

constexpr int kTransportUSB = USB;
constexpr int kTransportTCPIP = TCPIP;

const char* transportName(int transport) {
    switch (transport) {
    case kTransportUSB: return "USB";
    case kTransportTCPIP: return "TCPIP";
    default: return "Unknown";
    }
}

void printRow(UpdaterDisplayInterface& display, const DiscoveredDevice& device) {
    const linkSpec& spec = device.spec;
    const char* model = aDefs_GetModelName(static_cast<uint8_t>(spec.model));
    // The name is the module's to choose: it must not move the cursor or start a row of its own.
    const std::string name = printableText(device.deviceName);
    const bool tcpip = spec.type == kTransportTCPIP;
    char address[24] = "";
    if (tcpip) {
        // The address is kept in network byte order: its first byte in memory is the first octet.
        uint8_t octets[4];
        memcpy(octets, &spec.ipAddress, sizeof octets);
        snprintf(address, sizeof address, "[%d.%d.%d.%d]", octets[0], octets[1], octets[2],
                 octets[3]);
    }
    // A module that could not be read has nothing true to show in the other columns; over
    // TCP/IP its address tells which reply it came from.
    if (device.error != aErrNone && tcpip) {
        displayPrint(display, DISPLAY_INFO,
                     "    %08X  [Error (%d): Is someone else connected to this device?]  %s",
                     spec.serialNumber, static_cast<int>(device.error), address);
    } else if (device.error != aErrNone) {
        displayPrint(display, DISPLAY_INFO,
                     "    %08X  [Error (%d): Is someone else connected to this device?]",
                     spec.serialNumber, static_cast<int>(device.error));
    } else if (tcpip) {
        displayPrint(display, DISPLAY_INFO,
                     "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)        %-17s  %s",
                     spec.serialNumber, spec.module, spec.router, model, device.versionMajor,
                     device.versionMinor, device.versionPatch, device.build, address, name.c_str());
    } else {
        displayPrint(display, DISPLAY_INFO,
                     "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)         %s",
                     spec.serialNumber, spec.module, spec.router, model, device.versionMajor,
                     device.versionMinor, device.versionPatch, device.build, name.c_str());
    }
}

} // namespace

void printDeviceTable(UpdaterDisplayInterface& display, const DiscoveredDeviceList& devices,
                      int transport) {
    displayPrint(display, DISPLAY_INFO, "Discovered Devices: (%s)", transportName(transport));
    if (devices.empty()) {
        displayPrint(display, DISPLAY_INFO, "    No devices found.");
        return;
    }
    if (transport == kTransportUSB) {
        displayPrint(display, DISPLAY_INFO,
                     "    Device    Module   Router  Model          Firmware Version (Build)    "
                     "Device Name");
    } else {
        displayPrint(display, DISPLAY_INFO,
                     "    Device    Module   Router  Model          Firmware Version (Build)   "
                     "[IP address]       Device Name");
    }
    for (const DiscoveredDevice& device : devices) {
        printRow(display, device);
    }
}
