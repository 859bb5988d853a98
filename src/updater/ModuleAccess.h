// What the discover, update and recovery flows share about reaching modules: the updater's own
// link configuration, the network scan behind a router, the readers of a connected module and
// the two phases of the link upgrade protocol.
#pragma once

#include "BirdFile.h"
#include "DiscoveredDevice.h"
#include "Interruption.h"
#include "UpdaterContext.h"

#include "corvane/Module.h"

#include <cstdint>
#include <string>

// The updater's connections are plain links, not shared through a sharing server. Prints
// "Failed to SET network configuration" when the module refuses it.
aErr setLocalLinkConfig(UpdaterContext& context, Corvane::Module& module);
aErr setLocalLinkConfig(UpdaterDisplayInterface& display, Corvane::Module& module);

// transport 0 finds the router on USB, then on TCP/IP. A scan cut short by the limits says so
// through the display, naming the first bus address it did not search.
DiscoveredDeviceList scanNetwork(UpdaterContext& context, uint32_t routerSerial, int transport,
                                 const DiscoveryLimits& limits = {});

aErr readVersion(Corvane::Module& module, DiscoveredDevice& device);
// Only firmware 2.10.4 and later has a name to read; older firmware leaves it empty. A name
// over 32 bytes is cut to 32 followed by "...".
aErr readDeviceName(Corvane::Module& module, DiscoveredDevice& device);

// True when the image fits the connected module (serial number and model).
bool UpdateFirmware(UpdaterDisplayInterface& display, const BirdFile& bird, Corvane::Module& module,
                    uint32_t serial);
// The boot-loader phase: stops at the first loader block that fails. With startingLoader, the
// loader starts only when that work can begin (no interrupt came): else aErrCancel, and the
// module runs its firmware as before. Between loader blocks an interrupt stops it the same way.
aErr _transfer_loader(UpdaterDisplayInterface& display, Corvane::Module& module,
                      const BirdFile& bird, interruption::CriticalWork* startingLoader = nullptr);
// The firmware phase, then the reboot and the wait, up to linkDropMs, for the link to drop.
// imageTransferred, when given, says whether every block went in before the reboot was asked.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Corvane::Module& module,
                        const BirdFile& bird, bool networked, bool useUei,
                        uint32_t linkDropMs = RestartWaits{}.linkDropMs,
                        bool* imageTransferred = nullptr);
