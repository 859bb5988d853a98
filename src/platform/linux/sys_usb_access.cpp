// Linux backend of os/usb_access.h: the device node's permissions decide, which a udev rule sets.
#include "os/usb_access.h"
#include "platform/libusb/usb_access_rules.h"

#include <libusb.h>

namespace corvane::platform {

UsbAccessKind usbAccessKind() {
    return UsbAccessKind::nodePermissions;
}

bool openDenied(int libusbError) {
    return libusbError == LIBUSB_ERROR_ACCESS;
}

} // namespace corvane::platform
