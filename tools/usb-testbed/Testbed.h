// The emulated bus: umockdev's sysfs and /dev under one root directory, where devices appear
// and disappear with the uevents a hot-plug watcher sees.
#pragma once

#include "UsbDescriptors.h"

#include <umockdev.h>

#include <mutex>
#include <string>

namespace usbtestbed {

class NodeHandler;

struct UsbDeviceEntry {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string manufacturer;
    std::string product;
    std::string serial;
    Bytes descriptors;
};

// Where a plugged device lives: its sysfs path and device node; empty when not plugged.
struct PluggedDevice {
    std::string syspath;
    std::string devnode;
    std::string hidSyspath; // HID devices: the hidraw node's own sysfs entry
    std::string hidnode;
};

class Testbed {
  public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // The directory clients name in UMOCKDEV_DIR.
    std::string root() const;

    // Plugs a USB device under a fresh address, its node served by handler. unreadable makes
    // a node nobody may open, as one without the udev rule's permission.
    bool plugUsb(const UsbDeviceEntry& entry, NodeHandler* handler, bool unreadable,
                 PluggedDevice& plugged, std::string* error);
    // Plugs a USB HID device whose hidraw node is served by handler.
    bool plugHid(const UsbDeviceEntry& entry, const Bytes& reportDescriptor, NodeHandler& handler,
                 PluggedDevice& plugged, std::string* error);
    // Removes what plugUsb or plugHid added (the "remove" uevents go out).
    void unplug(const PluggedDevice& plugged);

    // The path of a node inside the root, where the FIFO standing in for it is made.
    std::string nodeFile(const std::string& devnode) const;

  private:
    std::string addUsbDevice(const UsbDeviceEntry& entry, unsigned devnum,
                             const std::string& devnode);

    mutable std::mutex mutex_;
    UMockdevTestbed* testbed_ = nullptr;
    unsigned nextDevnum_ = 2;
    unsigned nextHidraw_ = 0;
};

} // namespace usbtestbed
