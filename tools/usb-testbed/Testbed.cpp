// sysfs entries as the kernel makes them for a USB device (and, for HID, its interface, HID
// device and hidraw node), with the attributes libusb and hidapi read.
#include "Testbed.h"

#include "DeviceNode.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace usbtestbed {

namespace {

constexpr unsigned kBus = 1;

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

// A read-only sysfs attribute: opening it for writing is refused even to root, which is what
// a device node without access looks like to libusb.
constexpr const char* kUnopenable = "/sys/kernel/uevent_seqnum";

} // namespace

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {}

Testbed::~Testbed() {
    g_object_unref(testbed_);
}

std::string Testbed::root() const {
    gchar* dir = umockdev_testbed_get_root_dir(testbed_);
    std::string root = dir;
    g_free(dir);
    return root;
}

std::string Testbed::nodeFile(const std::string& devnode) const {
    return root() + devnode;
}

std::string Testbed::addUsbDevice(const UsbDeviceEntry& entry, unsigned devnum,
                                  const std::string& devnode) {
    const std::string name = std::to_string(kBus) + "-" + std::to_string(devnum);
    const std::string busnum = std::to_string(kBus), dev = std::to_string(devnum);
    const std::string vid = hex4(entry.vendorId), pid = hex4(entry.productId);
    const std::string product = vid + "/" + pid + "/100";
    const std::string major = "189:" + std::to_string((kBus - 1) * 128 + devnum - 1);
    std::vector<const char*> attributes{"idVendor",
                                        vid.c_str(),
                                        "idProduct",
                                        pid.c_str(),
                                        "busnum",
                                        busnum.c_str(),
                                        "devnum",
                                        dev.c_str(),
                                        "speed",
                                        "480",
                                        "bcdDevice",
                                        "0100",
                                        "bConfigurationValue",
                                        "1",
                                        "bNumInterfaces",
                                        " 1",
                                        "dev",
                                        major.c_str(),
                                        "manufacturer",
                                        entry.manufacturer.c_str(),
                                        "product",
                                        entry.product.c_str()};
    if (!entry.serial.empty()) {
        attributes.push_back("serial");
        attributes.push_back(entry.serial.c_str());
    }
    attributes.push_back(nullptr);
    const char* properties[] = {"DEVTYPE", "usb_device",    "DEVNAME", devnode.c_str(),
                                "BUSNUM",  busnum.c_str(),  "DEVNUM",  dev.c_str(),
                                "PRODUCT", product.c_str(), "TYPE",    "0/0/0",
                                nullptr};
    gchar* syspath = umockdev_testbed_add_devicev(testbed_, "usb", name.c_str(), nullptr,
                                                  const_cast<gchar**>(attributes.data()),
                                                  const_cast<gchar**>(properties));
    if (syspath == nullptr)
        return {};
    std::string path = syspath;
    g_free(syspath);
    Bytes descriptors = entry.descriptors;
    umockdev_testbed_set_attribute_binary(testbed_, path.c_str(), "descriptors", descriptors.data(),
                                          static_cast<gint>(descriptors.size()));
    return path;
}

bool Testbed::plugUsb(const UsbDeviceEntry& entry, NodeHandler* handler, bool unreadable,
                      PluggedDevice& plugged, std::string* error) {
    std::lock_guard lock(mutex_);
    const unsigned devnum = nextDevnum_++;
    char devnode[64];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", kBus, devnum);
    if (handler != nullptr && !attachHandler(testbed_, devnode, *handler, error))
        return false;
    plugged.syspath = addUsbDevice(entry, devnum, devnode);
    if (plugged.syspath.empty()) {
        if (error != nullptr)
            *error = "umockdev refused the device";
        return false;
    }
    plugged.devnode = devnode;
    if (unreadable) {
        const std::string file = nodeFile(devnode);
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ignored);
        ::unlink(file.c_str());
        if (::symlink(kUnopenable, file.c_str()) != 0) {
            if (error != nullptr)
                *error = "cannot make the unreadable node " + file;
            umockdev_testbed_remove_device(testbed_, plugged.syspath.c_str());
            return false;
        }
    }
    return true;
}

bool Testbed::plugHid(const UsbDeviceEntry& entry, const Bytes& reportDescriptor,
                      NodeHandler& handler, PluggedDevice& plugged, std::string* error) {
    std::lock_guard lock(mutex_);
    const unsigned devnum = nextDevnum_++;
    char devnode[64];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", kBus, devnum);
    plugged.syspath = addUsbDevice(entry, devnum, devnode);
    if (plugged.syspath.empty()) {
        if (error != nullptr)
            *error = "umockdev refused the device";
        return false;
    }
    plugged.devnode = devnode;
    const std::string interfaceName = std::to_string(kBus) + "-" + std::to_string(devnum) + ":1.0";
    const char* interfaceAttributes[] = {
        "bInterfaceNumber", "00", "bInterfaceClass", "03", "bAlternateSetting", " 0", nullptr};
    const char* interfaceProperties[] = {"DEVTYPE", "usb_interface", "INTERFACE", "3/0/0", nullptr};
    gchar* interface = umockdev_testbed_add_devicev(
        testbed_, "usb", interfaceName.c_str(), plugged.syspath.c_str(),
        const_cast<gchar**>(interfaceAttributes), const_cast<gchar**>(interfaceProperties));
    char hidName[32];
    std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", entry.vendorId, entry.productId,
                  nextHidraw_ + 1);
    char hidId[40];
    std::snprintf(hidId, sizeof hidId, "0003:%08X:%08X", entry.vendorId, entry.productId);
    const std::string hidFullName = entry.manufacturer + " " + entry.product;
    const char* hidAttributes[] = {nullptr};
    const char* hidProperties[] = {
        "HID_ID", hidId, "HID_NAME", hidFullName.c_str(), "HID_UNIQ", entry.serial.c_str(),
        nullptr};
    gchar* hid = umockdev_testbed_add_devicev(testbed_, "hid", hidName, interface,
                                              const_cast<gchar**>(hidAttributes),
                                              const_cast<gchar**>(hidProperties));
    g_free(interface);
    Bytes report = reportDescriptor;
    umockdev_testbed_set_attribute_binary(testbed_, hid, "report_descriptor", report.data(),
                                          static_cast<gint>(report.size()));
    umockdev_testbed_set_attribute_link(testbed_, hid, "device", "..");
    const std::string hidrawName = "hidraw" + std::to_string(nextHidraw_++);
    plugged.hidnode = "/dev/" + hidrawName;
    if (!attachHandler(testbed_, plugged.hidnode, handler, error)) {
        g_free(hid);
        return false;
    }
    const std::string major = "245:" + hidrawName.substr(6);
    const char* rawAttributes[] = {"dev", major.c_str(), nullptr};
    const char* rawProperties[] = {"DEVNAME", plugged.hidnode.c_str(), nullptr};
    gchar* raw = umockdev_testbed_add_devicev(testbed_, "hidraw", hidrawName.c_str(), hid,
                                              const_cast<gchar**>(rawAttributes),
                                              const_cast<gchar**>(rawProperties));
    g_free(hid);
    if (raw == nullptr) {
        if (error != nullptr)
            *error = "umockdev refused the hidraw node";
        return false;
    }
    plugged.hidSyspath = raw;
    // hidapi reads the report descriptor and the HID ids through the kernel's "device" links.
    umockdev_testbed_set_attribute_link(testbed_, raw, "device", "..");
    g_free(raw);
    return true;
}

void Testbed::unplug(const PluggedDevice& plugged) {
    std::lock_guard lock(mutex_);
    // Children first, as the kernel reports them.
    if (!plugged.hidSyspath.empty())
        umockdev_testbed_remove_device(testbed_, plugged.hidSyspath.c_str());
    if (!plugged.syspath.empty())
        umockdev_testbed_remove_device(testbed_, plugged.syspath.c_str());
}

} // namespace usbtestbed
