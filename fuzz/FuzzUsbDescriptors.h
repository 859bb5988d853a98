// Fuzz entry for what the USB layer reads of a device: its configuration (interfaces, alternate
// settings, endpoints, as libusb hands them over) and its serial string, which becomes the
// instance identifier that names the module.
#pragma once

#include "aStream_USBInternal.h"
#include "platform/libusb/usb_interface.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fuzzusb {

// Bytes of the input in order; 0 once they run out.
class Bytes {
  public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t next16() {
        const uint8_t low = next();
        return static_cast<uint16_t>(low | next() << 8);
    }
    std::string rest() {
        std::string text(reinterpret_cast<const char*>(data_ + at_), size_ - std::min(at_, size_));
        at_ = size_;
        return text;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A configuration as libusb builds it: the arrays hold as many entries as their counts say.
struct Configuration {
    std::vector<std::vector<libusb_endpoint_descriptor>> endpoints;
    std::vector<std::vector<libusb_interface_descriptor>> settings;
    std::vector<libusb_interface> interfaces;
    libusb_config_descriptor config{};

    explicit Configuration(Bytes& in) {
        const unsigned interfaceCount = in.next() % 8;
        settings.resize(interfaceCount);
        for (auto& alternates : settings) {
            alternates.resize(in.next() % 4);
            for (libusb_interface_descriptor& setting : alternates) {
                setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
                setting.bDescriptorType = LIBUSB_DT_INTERFACE;
                setting.bInterfaceNumber = in.next();
                setting.bInterfaceClass = in.next();
                setting.bInterfaceSubClass = in.next();
                setting.bInterfaceProtocol = in.next();
                auto& list = endpoints.emplace_back(in.next() % 8);
                for (libusb_endpoint_descriptor& endpoint : list) {
                    endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
                    endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
                    endpoint.bEndpointAddress = in.next();
                    endpoint.bmAttributes = in.next();
                    endpoint.wMaxPacketSize = in.next16();
                }
                setting.bNumEndpoints = static_cast<uint8_t>(list.size());
            }
        }
        size_t list = 0;
        for (auto& alternates : settings) {
            for (libusb_interface_descriptor& setting : alternates) {
                setting.endpoint = endpoints[list].empty() ? nullptr : endpoints[list].data();
                ++list;
            }
            interfaces.push_back({alternates.empty() ? nullptr : alternates.data(),
                                  static_cast<int>(alternates.size())});
        }
        config.bLength = LIBUSB_DT_CONFIG_SIZE;
        config.bDescriptorType = LIBUSB_DT_CONFIG;
        config.bNumInterfaces = static_cast<uint8_t>(interfaces.size());
        config.interface = interfaces.empty() ? nullptr : interfaces.data();
    }
};

inline std::string checkInterface(const Configuration& configuration) {
    using namespace corvane::platform;
    ModuleInterface found;
    const aErr err = findModuleInterface(configuration.config, found);
    const libusb_interface_descriptor* module = nullptr;
    for (const auto& alternates : configuration.settings) {
        if (!alternates.empty() && alternates[0].bInterfaceClass == 0xFF &&
            alternates[0].bInterfaceSubClass == 0x88 && alternates[0].bInterfaceProtocol == 0x10) {
            module = &alternates[0];
            break;
        }
    }
    if (module == nullptr) {
        return err == aErrNone || found.number != -1 ? "a module interface where there is none"
                                                     : "";
    }
    if (found.number != module->bInterfaceNumber) {
        return "the module interface found is not the first one";
    }
    if (err != aErrNone) {
        return {};
    }
    if ((found.inEndpoint & LIBUSB_ENDPOINT_DIR_MASK) != LIBUSB_ENDPOINT_IN ||
        (found.outEndpoint & LIBUSB_ENDPOINT_DIR_MASK) != LIBUSB_ENDPOINT_OUT) {
        return "a pipe in the wrong direction";
    }
    if (found.pipes.inMaxPacket == 0 || found.pipes.outMaxPacket == 0 ||
        found.pipes.inMaxPacket > 0x7FF || found.pipes.outMaxPacket > 0x7FF) {
        return "a pipe's maximum packet size out of range";
    }
    for (int e = 0; e < module->bNumEndpoints; ++e) {
        const uint8_t type = module->endpoint[e].bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
        if (type != LIBUSB_TRANSFER_TYPE_BULK && type != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
            return "an interface with an isochronous or control endpoint was taken";
        }
    }
    return {};
}

// The serial string as the walk reads it (text up to its first NUL) named as the module, and the
// same text taken as an identifier by itself.
inline std::string checkInstanceId(uint16_t vendorId, uint16_t productId, const std::string& raw) {
    const std::string serial = raw.substr(0, raw.find('\0'));
    char id[300];
    if (aUSB_BuildInstanceId(vendorId, productId, serial.c_str(), id, sizeof id) != aErrNone) {
        return serial.size() + 30 < sizeof id ? "an identifier that fits was not built" : "";
    }
    uint32_t number = 0;
    uint8_t model = 0;
    if (aUSB_ParseInstanceId(id, vendorId, &number, &model) == aErrNone) {
        if ((productId & 0xFF00) != 0 || model != (productId & 0xFF)) {
            return "the model does not come from the product id";
        }
        const bool hex = !serial.empty() && serial.size() <= 8 &&
                         serial.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
        if (hex && number != std::strtoul(serial.c_str(), nullptr, 16)) {
            return "a hexadecimal serial number read as another";
        }
    }
    (void)aUSB_ParseInstanceId(serial.c_str(), vendorId, &number, nullptr);
    return {};
}

} // namespace fuzzusb

// The input: the configuration (see Configuration), the vendor and product ids (little-endian),
// then the serial string.
inline std::string fuzzUsbDescriptors(const uint8_t* data, size_t size) {
    fuzzusb::Bytes in(data, size);
    const fuzzusb::Configuration configuration(in);
    std::string problem = fuzzusb::checkInterface(configuration);
    if (!problem.empty()) {
        return problem;
    }
    const uint16_t vendorId = in.next16();
    const uint16_t productId = in.next16();
    return fuzzusb::checkInstanceId(vendorId, productId, in.rest());
}
