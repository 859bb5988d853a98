// What each backend says about the USB access survey (libusb/usb_access.cpp): which of libusb's
// refusals to open a device mean that this user may not open it.
#ifndef CORVANE_PLATFORM_LIBUSB_USB_ACCESS_RULES_H
#define CORVANE_PLATFORM_LIBUSB_USB_ACCESS_RULES_H

namespace corvane::platform {

// True when libusb_open's error libusbError means the system refuses this user the device (and
// the user can do something about it), not that it failed otherwise.
bool openDenied(int libusbError);

} // namespace corvane::platform

#endif
