// The two result tables the driver prints: a module's builds (-B, -L) and the discovered
// modules (-D).
#pragma once

#include "BuildOrder.h"
#include "DiscoveredDevice.h"
#include "UpdaterDisplayInterface.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// "Build List for device [%08X]:" with one "%-15.15s\t%-15.15s" row per build, newest first,
// or "No builds found for device [%08X]".
void printBuildTable(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial);

// "Discovered Devices: (USB|TCPIP|Unknown)" and one row per module; transport 1 USB, 2 TCP/IP.
void printDeviceTable(UpdaterDisplayInterface& display, const DiscoveredDeviceList& devices,
                      int transport);
