// Descriptor bytes in the layout of the USB 2.0 and HID 1.11 standards.
#include "UsbDescriptors.h"

namespace usbtestbed {

namespace {

void put16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

Bytes device(uint16_t vendorId, uint16_t productId) {
    Bytes d{18, 1};
    put16(d, 0x0200);                 // bcdUSB
    d.insert(d.end(), {0, 0, 0, 64}); // class in the interface, EP0 of 64 bytes
    put16(d, vendorId);
    put16(d, productId);
    put16(d, 0x0100); // bcdDevice
    d.insert(d.end(), {kManufacturerIndex, kProductIndex, kSerialIndex, 1});
    return d;
}

void endpoint(Bytes& out, uint8_t address, uint8_t attributes, uint16_t maxPacket,
              uint8_t interval) {
    out.insert(out.end(), {7, 5, address, attributes});
    put16(out, maxPacket);
    out.push_back(interval);
}

// Wraps interface bytes into a self-powered configuration 1 and fixes wTotalLength.
Bytes configuration(const Bytes& body) {
    Bytes c{9, 2, 0, 0, 1, 1, 0, 0xC0, 50};
    c.insert(c.end(), body.begin(), body.end());
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return c;
}

} // namespace

Bytes moduleDescriptors(uint16_t vendorId, uint16_t productId) {
    Bytes body{9, 4, 0, 0, 2, 0xFF, 0x88, 0x10, 0};
    endpoint(body, kModuleInEndpoint, 2, kModuleMaxPacket, 0);
    endpoint(body, kModuleOutEndpoint, 2, kModuleMaxPacket, 0);
    Bytes all = device(vendorId, productId);
    const Bytes config = configuration(body);
    all.insert(all.end(), config.begin(), config.end());
    return all;
}

Bytes romReportDescriptor() {
    Bytes r{
        0x06, 0x00, 0xFF, // usage page (vendor)
        0x09, 0x01,       // usage 1
        0xA1, 0x01,       // collection (application)
        0x15, 0x00,       // logical minimum 0
        0x26, 0xFF, 0x00, // logical maximum 255
        0x75, 0x08,       // report size 8 bits
    };
    // id, count, item (0x91 output, 0x81 input)
    const struct {
        uint8_t id;
        uint16_t count;
        uint8_t item;
    } reports[] = {{1, 16, 0x91}, {2, 1024, 0x91}, {3, 4, 0x81}, {4, 64, 0x81}};
    for (const auto& report : reports) {
        r.insert(r.end(), {0x85, report.id, 0x96});
        put16(r, report.count);
        r.insert(r.end(), {0x09, 0x01, report.item, 0x02});
    }
    r.push_back(0xC0); // end collection
    return r;
}

size_t romReportSize(uint8_t reportId) {
    switch (reportId) {
    case 1: return 16;
    case 2: return 1024;
    case 3: return 4;
    case 4: return 64;
    default: return 0;
    }
}

Bytes romDescriptors(uint16_t vendorId, uint16_t productId) {
    const Bytes report = romReportDescriptor();
    Bytes body{9, 4, 0, 0, 1, 3, 0, 0, 0};
    Bytes hid{9, 0x21};
    put16(hid, 0x0111);
    hid.insert(hid.end(), {0, 1, 0x22});
    put16(hid, static_cast<uint16_t>(report.size()));
    body.insert(body.end(), hid.begin(), hid.end());
    endpoint(body, kRomInEndpoint, 3, kRomMaxPacket, 1);
    Bytes all = device(vendorId, productId);
    const Bytes config = configuration(body);
    all.insert(all.end(), config.begin(), config.end());
    return all;
}

Bytes stringDescriptor(const std::string& text) {
    Bytes s{static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text)
        put16(s, static_cast<uint8_t>(c));
    return s;
}

Bytes languageDescriptor() {
    return {4, 3, 0x09, 0x04};
}

} // namespace usbtestbed
