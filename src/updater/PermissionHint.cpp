// The udev rule hint shown when opening a module fails for lack of permission.
#include "PermissionHint.h"

#include "UsbVendorId.h"

#include "os/usb_access.h"

namespace {

// The rule packaging/ installs; its name and directory are set in packaging/CMakeLists.txt.
constexpr const char* kUdevRule = "/etc/udev/rules.d/70-corvane.rules";

} // namespace

bool showPermissionHint(UpdaterDisplayInterface& display, aErr err) {
    if (err != aErrPermission)
        return false;
    displayPrint(display, DISPLAY_ERROR,
                 "Access to the module's USB device was denied. The udev rule %s grants it to "
                 "the logged-in user and the plugdev group; install it (the corvane package "
                 "does), then reload it with",
                 kUdevRule);
    displayPrint(display, DISPLAY_ERROR,
                 "  sudo udevadm control --reload-rules && sudo udevadm trigger");
    displayPrint(display, DISPLAY_ERROR, "and plug the module in again.");
    return true;
}

bool showUnopenableModuleHint(UpdaterDisplayInterface& display) {
    corvane::platform::UsbAccessSurvey survey;
    if (corvane::platform::surveyUsbAccess(usbVendorInUse().inUse, survey) != aErrNone ||
        survey.denied == 0)
        return false;
    return showPermissionHint(display, aErrPermission);
}
