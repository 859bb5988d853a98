// The module interface in a libusb configuration descriptor: the same for every OS libusb runs on.
#include "platform/libusb/usb_interface.h"

namespace corvane::platform {

namespace {

constexpr uint8_t kInterfaceClass = 0xFF;
constexpr uint8_t kInterfaceSubClass = 0x88;
constexpr uint8_t kInterfaceProtocol = 0x10;

} // namespace

aErr findModuleInterface(const libusb_config_descriptor& config, ModuleInterface& found) {
    found = ModuleInterface{};
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& candidate = config.interface[i];
        if (candidate.num_altsetting < 1) {
            continue;
        }
        const libusb_interface_descriptor& setting = candidate.altsetting[0];
        if (setting.bInterfaceClass != kInterfaceClass ||
            setting.bInterfaceSubClass != kInterfaceSubClass ||
            setting.bInterfaceProtocol != kInterfaceProtocol) {
            continue;
        }
        bool usable = true;
        for (int e = 0; e < setting.bNumEndpoints && usable; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            const uint16_t size = endpoint.wMaxPacketSize & 0x7FF;
            switch (endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) {
            case LIBUSB_TRANSFER_TYPE_BULK:
                if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
                    found.inEndpoint = endpoint.bEndpointAddress;
                    found.pipes.inMaxPacket = size;
                } else {
                    found.outEndpoint = endpoint.bEndpointAddress;
                    found.pipes.outMaxPacket = size;
                }
                break;
            case LIBUSB_TRANSFER_TYPE_INTERRUPT: break; // recorded by nothing: only aborted
            default: usable = false; break;
            }
        }
        // The first module interface decides; a broken one is not skipped for another.
        found.number = setting.bInterfaceNumber;
        return usable && found.pipes.inMaxPacket > 0 && found.pipes.outMaxPacket > 0
                   ? aErrNone
                   : aErrInitialization;
    }
    return aErrInitialization;
}

} // namespace corvane::platform
