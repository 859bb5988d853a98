// Records seed inputs for fuzz_usb_descriptors from the descriptors usb-testbed's emulated devices
// present (a module of the family and the i.MX boot ROM), with serial strings of both kinds.
// Usage: record_usb_descriptors OUTDIR; writes OUTDIR/fuzz_usb_descriptors/<name>.
#include "UsbDescriptors.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// The configuration in the target's form: interfaces with their alternate settings and
// endpoints, walked out of the descriptors as the kernel lists them.
Bytes targetForm(const Bytes& descriptors) {
    struct Setting {
        Bytes head; // number, class, subclass, protocol
        std::vector<Bytes> endpoints;
    };
    std::vector<std::vector<Setting>> interfaces;
    for (size_t at = 0; at + 1 < descriptors.size() && descriptors[at] > 0; at += descriptors[at]) {
        const uint8_t* d = descriptors.data() + at;
        if (d[1] == 4 && at + 9 <= descriptors.size()) { // interface
            if (d[3] == 0 || interfaces.empty()) {
                interfaces.emplace_back();
            }
            interfaces.back().push_back({{d[2], d[5], d[6], d[7]}, {}});
        } else if (d[1] == 5 && at + 7 <= descriptors.size() && !interfaces.empty()) {
            interfaces.back().back().endpoints.push_back({d[2], d[3], d[4], d[5]});
        }
    }
    Bytes out{static_cast<uint8_t>(interfaces.size())};
    for (const auto& alternates : interfaces) {
        out.push_back(static_cast<uint8_t>(alternates.size()));
        for (const Setting& setting : alternates) {
            out.insert(out.end(), setting.head.begin(), setting.head.end());
            out.push_back(static_cast<uint8_t>(setting.endpoints.size()));
            for (const Bytes& endpoint : setting.endpoints) {
                out.insert(out.end(), endpoint.begin(), endpoint.end());
            }
        }
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const fs::path folder = fs::path(argv[1]) / "fuzz_usb_descriptors";
    fs::create_directories(folder);
    struct Device {
        const char* name;
        Bytes descriptors;
        uint16_t vendorId, productId;
    };
    const Device devices[] = {
        {"module", usbtestbed::moduleDescriptors(0x32A5, 0x0013), 0x32A5, 0x0013},
        {"rom", usbtestbed::romDescriptors(0x1FC9, 0x0130), 0x1FC9, 0x0130},
    };
    const char* serials[] = {"1A2B3C4D", "RFICB1234.A", "0000000A", ""};
    int count = 0;
    for (const Device& device : devices) {
        for (const char* serial : serials) {
            Bytes input = targetForm(device.descriptors);
            input.push_back(static_cast<uint8_t>(device.vendorId));
            input.push_back(static_cast<uint8_t>(device.vendorId >> 8));
            input.push_back(static_cast<uint8_t>(device.productId));
            input.push_back(static_cast<uint8_t>(device.productId >> 8));
            input.insert(input.end(), serial, serial + std::char_traits<char>::length(serial));
            std::ofstream(folder / (std::string(device.name) + "_" + std::to_string(++count)),
                          std::ios::binary)
                .write(reinterpret_cast<const char*>(input.data()),
                       static_cast<std::streamsize>(input.size()));
        }
    }
    return 0;
}
