// The two result tables the driver prints: a module's builds (-B, -L) and the discovered
// modules (-D).
#pragma once

#include "BuildList.h"
#include "DiscoveredDevice.h"
#include "UpdaterDisplayInterface.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using BuildEntry = std::pair<std::string, std::string>; // (build, version)

namespace buildtable {
// True when a's version is greater than b's ("major.minor.patch", compared numerically). A version
// that does not parse is traced under DEBUG_ServerComm and never comes first.
bool _sortVersion(const BuildEntry& a, const BuildEntry& b);
} // namespace buildtable

// The list's entries newest version first; equal versions keep the list's own key order.
std::vector<BuildEntry> sortBuildsNewestFirst(const BuildList& builds);

// "Build List for device [%08X]:" with one "%-15.15s\t%-15.15s" row per build, newest first,
// or "No builds found for device [%08X]".
void printBuildTable(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial);

// "Discovered Devices: (USB|TCPIP|Unknown)" and one row per module; transport 1 USB, 2 TCP/IP.
void printDeviceTable(UpdaterDisplayInterface& display, const DiscoveredDeviceList& devices,
                      int transport);
