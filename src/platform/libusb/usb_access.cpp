// The survey of os/usb_access.h on libusb, the same under every backend: a context of its own, so
// the survey never shares state with an open module's transfers. What a refused open means is
// the backend's (usb_access_rules.h).
#include "os/usb_access.h"
#include "platform/libusb/usb_access_rules.h"

#include <libusb.h>

namespace corvane::platform {

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
        } else if (openDenied(rc)) {
            ++survey.denied;
            survey.deniedProducts.push_back(descriptor.idProduct);
        }
    }
    libusb_free_device_list(list, 1);
    libusb_exit(context);
    return aErrNone;
}

} // namespace corvane::platform
