// Whether this user may open the family's USB devices. The system lists a device whose node it
// will not open for this user, and a module's serial number can only be read from an open
// device, so such a module is otherwise simply missing from discovery.
#ifndef CORVANE_OS_USB_ACCESS_H
#define CORVANE_OS_USB_ACCESS_H

#include "corvane/aError.h"

#include <cstdint>
#include <vector>

namespace corvane::platform {

struct UsbAccessSurvey {
    unsigned present = 0; // devices of the vendor whose product id has 0 as its high byte
    unsigned denied = 0;  // of those, the ones this user may not open
    std::vector<uint16_t> deniedProducts; // the product ids of those, in the system's order
};

// What decides whether a program may open the family's USB devices on this system, and so what
// the user does about a refusal.
enum class UsbAccessKind {
    nodePermissions, // the device node's owner and mode, which a udev rule sets (Linux)
    driverBinding    // the driver bound to the device, which must be WinUSB (Windows)
};
UsbAccessKind usbAccessKind();

// Counts the present devices of vendorId with a product id below 0x100 and, by opening each once
// and closing it again at once, those that this user may not open. Opening claims nothing, so a
// device another program uses is not disturbed. aErrIO when the devices cannot be listed at all
// (no USB stack here); survey is then left empty.
aErr surveyUsbAccess(uint16_t vendorId, UsbAccessSurvey& survey);

} // namespace corvane::platform

#endif
