// Windows backend of os/usb_access.h on libusb's WinUSB backend: which of the family's devices
// can be opened, which on Windows means which have the WinUSB driver bound. A context of its
// own, so the survey never shares state with an open module's transfers.
#include "os/usb_access.h"

#include <libusb.h>

namespace corvane::platform {

UsbAccessKind usbAccessKind() {
    return UsbAccessKind::driverBinding;
}

aErr surveyUsbAccess(uint16_t vendorId, UsbAccessSurvey& survey) {
    survey = {};
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS) {
        return aErrIO;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        libusb_exit(context);
        return aErrIO;
    }
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
            descriptor.idVendor != vendorId || (descriptor.idProduct & 0xFF00) != 0) {
            continue;
        }
        ++survey.present;
        libusb_device_handle* handle = nullptr;
        const int rc = libusb_open(list[i], &handle);
        if (rc == LIBUSB_SUCCESS) {
            libusb_close(handle);
        } else if (rc == LIBUSB_ERROR_ACCESS || rc == LIBUSB_ERROR_NOT_SUPPORTED) {
            ++survey.denied;
            survey.deniedProducts.push_back(descriptor.idProduct);
        }
    }
    libusb_free_device_list(list, 1);
    libusb_exit(context);
    return aErrNone;
}

} // namespace corvane::platform
