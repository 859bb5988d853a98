// The hint shown when opening a module fails for lack of permission: the udev rule where device
// nodes decide, the WinUSB driver where the bound driver does.
#include "PermissionHint.h"

#include "UsbVendorId.h"

#include "os/usb_access.h"

#include <corvane/aDefs.h>

namespace {

// The rule packaging/ installs; its name and directory are set in packaging/CMakeLists.txt.
constexpr const char* kUdevRule = "/etc/udev/rules.d/70-corvane.rules";

bool driverDecides() {
    return corvane::platform::usbAccessKind() == corvane::platform::UsbAccessKind::driverBinding;
}

void showDriverHint(UpdaterDisplayInterface& display) {
    displayPrint(display, DISPLAY_ERROR,
                 "The module's USB device has no WinUSB driver bound. Bind WinUSB to it once, "
                 "with Zadig (Options > List All Devices, choose the module, WinUSB, Replace "
                 "Driver) or an INF file that names it,");
    displayPrint(display, DISPLAY_ERROR,
                 "and plug the module in again; Updater --doctor names the devices.");
}

} // namespace

bool showPermissionHint(UpdaterDisplayInterface& display, aErr err) {
    if (err != aErrPermission)
        return false;
    if (driverDecides()) {
        showDriverHint(display);
        return true;
    }
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
    // Where the driver decides, the system still tells which modules it keeps back: a row each,
    // by model, as no serial number can be read without the driver.
    if (driverDecides()) {
        for (const uint16_t product : survey.deniedProducts)
            displayPrint(display, DISPLAY_ERROR,
                         "    USB module of model %u (%s): no WinUSB driver", product & 0xFFu,
                         aDefs_GetModelName(static_cast<uint8_t>(product)));
    }
    return showPermissionHint(display, aErrPermission);
}
