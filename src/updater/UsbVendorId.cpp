// The family's USB vendor id as the link library takes it (corvane/aUSB.h), with what the
// doctor tells about it: where it came from, and a variable the library leaves unused.
#include "UsbVendorId.h"

#include "corvane/aUSB.h"

#include <cstdlib>

UsbVendorChoice usbVendorChoice(const char* environmentValue) {
    UsbVendorChoice choice;
    aUSB_GetDefaultVendorId(&choice.builtIn);
    choice.inUse = choice.builtIn;
    if (environmentValue == nullptr)
        return choice;
    if (aUSB_ParseVendorId(environmentValue, &choice.inUse) != aErrNone) {
        choice.ignored = environmentValue;
        return choice;
    }
    choice.fromEnvironment = true;
    return choice;
}

UsbVendorChoice usbVendorInUse() {
    return usbVendorChoice(std::getenv(aUSB_VENDOR_ID_VARIABLE));
}
