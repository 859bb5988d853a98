// libusb itself against a module usb-testbed emulates, for the testbed's own tests: what usbfs
// answers a time-out, a second claim and an unplug. Usage: usb_raw_client VENDOR SERIAL; prints
// one line per step and, before the last, waits for a line on standard input (the test unplugs
// the module meanwhile).
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

libusb_device_handle* openBySerial(libusb_context* context, uint16_t vendor, const char* serial) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    libusb_device_handle* found = nullptr;
    for (ssize_t i = 0; i < count && found == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        libusb_device_handle* handle = nullptr;
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
            descriptor.idVendor != vendor || libusb_open(list[i], &handle) != 0)
            continue;
        unsigned char text[64] = {};
        if (libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                               sizeof text) > 0 &&
            std::strcmp(reinterpret_cast<char*>(text), serial) == 0)
            found = handle;
        else
            libusb_close(handle);
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    return found;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const auto vendor = static_cast<uint16_t>(std::strtoul(argv[1], nullptr, 16));
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0)
        return 1;
    libusb_device_handle* first = openBySerial(context, vendor, argv[2]);
    libusb_device_handle* second = openBySerial(context, vendor, argv[2]);
    if (first == nullptr || second == nullptr) {
        std::printf("not found\n");
        return 1;
    }
    std::printf("claim %d\n", libusb_claim_interface(first, 0));
    std::printf("second claim %d\n", libusb_claim_interface(second, 0));
    unsigned char buffer[512];
    int got = 0;
    std::printf("idle in %d\n", libusb_bulk_transfer(first, 0x81, buffer, sizeof buffer, &got, 50));
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr)
        return 1;
    // Far longer than the test waits: only the unplug can end it early.
    std::printf("in after unplug %d\n",
                libusb_bulk_transfer(first, 0x81, buffer, sizeof buffer, &got, 600000));
    std::printf("claim after unplug %d\n", libusb_claim_interface(second, 0));
    libusb_close(second);
    libusb_close(first);
    libusb_exit(context);
    return 0;
}
