// Windows backend of os/usb_access.h: the driver bound to the device decides, which must be WinUSB;
// libusb's WinUSB backend answers "not supported" for a device with another driver.
#include "os/usb_access.h"
#include "platform/libusb/usb_access_rules.h"

#include <libusb.h>

namespace corvane::platform {

UsbAccessKind usbAccessKind() {
    return UsbAccessKind::driverBinding;
}

bool openDenied(int libusbError) {
    return libusbError == LIBUSB_ERROR_ACCESS || libusbError == LIBUSB_ERROR_NOT_SUPPORTED;
}

} // namespace corvane::platform
