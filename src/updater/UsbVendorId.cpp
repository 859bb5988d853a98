// The vendor id rule of the link library's USB layer, repeated here because the updater sees only
// the library's public interface; a test holds the two to the same answers.
#include "UsbVendorId.h"

#include <cstdlib>
#include <cstring>

#ifndef CORVANE_DEFAULT_USB_VENDOR_ID
#error "CORVANE_DEFAULT_USB_VENDOR_ID must come from the build"
#endif

UsbVendorChoice usbVendorChoice(const char* environmentValue) {
    UsbVendorChoice choice;
    choice.builtIn = static_cast<uint16_t>(CORVANE_DEFAULT_USB_VENDOR_ID);
    choice.inUse = choice.builtIn;
    if (environmentValue == nullptr)
        return choice;
    const char* digits = environmentValue;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    const size_t length = std::strlen(digits);
    if (length == 0 || length > 4 || std::strspn(digits, "0123456789abcdefABCDEF") != length) {
        choice.ignored = environmentValue;
        return choice;
    }
    choice.inUse = static_cast<uint16_t>(std::strtoul(digits, nullptr, 16));
    choice.fromEnvironment = true;
    return choice;
}

UsbVendorChoice usbVendorInUse() {
    return usbVendorChoice(std::getenv("CORVANE_USB_VENDOR_ID"));
}
