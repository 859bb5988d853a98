// USB emulation: virtual modules listed in CORVANE_USB_EMULATION appear to the USB layer as
// attached modules of the family, their bulk pipes carried over loopback TCP. The USB stream
// and discovery see real and emulated modules through the same walk and open calls.
#pragma once

#include "corvane/aUSB.h"
#include "platform/usb.h"

#include <functional>
#include <string>
#include <vector>

namespace corvane::usb {

// The environment variable that lists emulated modules.
inline constexpr const char* kEmulationVariable = aUSB_EMULATION_VARIABLE;

// One listed virtual module (aUSB_ParseEmulationEntry reads its entry).
using EmulatedModule = aUSBEmulatedModule;

// Parses a comma-separated list. False (with the offending entry in *bad) when an entry is
// malformed; the entries before it are in modules.
bool parseEmulationList(const char* text, std::vector<EmulatedModule>& modules,
                        std::string* bad = nullptr);

// The serial-number text an emulated module reports in its descriptor ("%08X").
std::string emulatedSerialText(uint32_t serialNumber);

// Every present module of vendorId: the real ones, then the listed virtual modules whose
// endpoint accepts a connection now (a silent endpoint is a module that is not attached).
// Same contract as platform::walkUsbDevices.
aErr walkModules(uint16_t vendorId,
                 const std::function<bool(const platform::UsbDeviceInfo&)>& visit);

// Opens the first present module that matches, real or emulated; same contract as
// platform::openUsbDevice. An emulated module has 512-byte bulk pipes.
aErr openModule(uint16_t vendorId,
                const std::function<bool(const platform::UsbDeviceInfo&)>& matches,
                const platform::UsbTransfer*& transfer, void*& device, platform::UsbPipes& pipes);

} // namespace corvane::usb
