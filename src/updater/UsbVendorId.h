// The family's USB vendor id as the link library takes it, for the checks that tell the user
// which devices the system lets them open and which udev rule grants them.
#pragma once

#include <cstdint>
#include <string>

struct UsbVendorChoice {
    uint16_t inUse = 0;           // what discovery and links look for
    uint16_t builtIn = 0;         // the build's default
    bool fromEnvironment = false; // CORVANE_USB_VENDOR_ID gave inUse
    std::string ignored;          // a CORVANE_USB_VENDOR_ID that is no vendor id, left unused
};

// The id for a CORVANE_USB_VENDOR_ID value (null when unset), read by aUSB_ParseVendorId; the
// built-in default when it is unset or no vendor id.
UsbVendorChoice usbVendorChoice(const char* environmentValue);
// The same for this process's environment.
UsbVendorChoice usbVendorInUse();
