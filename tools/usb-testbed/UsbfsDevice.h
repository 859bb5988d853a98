// One plugged-in USB device as usbfs shows it to libusb: its interfaces claimed per open file,
// URBs submitted, completed, reaped and discarded, control requests on endpoint 0, and the
// disconnect that fails everything afterwards with ENODEV. What the device does with bulk and
// interrupt data is left to a DeviceFunction.
#pragma once

#include "DeviceNode.h"
#include "UsbDescriptors.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace usbtestbed {

struct Urb;

// The device's own behaviour behind its data endpoints. Called with the device lock held.
class DeviceFunction {
  public:
    virtual ~DeviceFunction() = default;
    // An OUT transfer's bytes; packetEnd tells whether it ended with a short (or zero-length)
    // packet, as the device sees it. False keeps the transfer waiting (the device is full).
    virtual bool out(const uint8_t* bytes, size_t count, bool packetEnd) = 0;
    // Fills an IN transfer of at most capacity bytes: true when it completes now with got bytes
    // (0 is a zero-length packet), false when the device has nothing for it yet.
    virtual bool in(uint8_t* buffer, size_t capacity, size_t& got) = 0;
    // A client claimed or released the device's interface.
    virtual void claimed(bool anyClaim) { (void)anyClaim; }
};

struct UsbfsIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string manufacturer;
    std::string product;
    std::string serial;
    Bytes descriptors; // device descriptor and configuration, as in sysfs
};

class UsbfsDevice : public NodeHandler {
  public:
    // Every request and completion is written to standard error (--trace).
    static inline bool tracing = false;

    UsbfsDevice(UsbfsIdentity identity, std::unique_ptr<DeviceFunction> function);
    ~UsbfsDevice() override;

    const UsbfsIdentity& identity() const { return identity_; }

    // The node the FIFO stands in for; called once, before any client can open it.
    bool makeNode(const std::string& path);

    // Another process holds (or lets go of) the interface: claims by clients get EBUSY.
    void holdElsewhere(bool held);
    // Pulls the device: pending URBs end with ENODEV as the kernel's do, and every later call.
    void disconnect();
    bool connected() const;

    // Serves IN and OUT transfers that can move now; the owner calls it when the function got
    // data or room, and when the latency deadline returned by nextDeadline passes.
    void pump();
    // Delay added before each transfer moves; zero for none.
    void setLatency(std::chrono::microseconds latency);
    // When pump should run next for a delayed transfer; max() for none.
    std::chrono::steady_clock::time_point nextDeadline() const;

    // Called after a submit, so the owner serves the new transfer (outside the device lock).
    std::function<void()> wake;

    bool ioctl(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg) override;
    void vanished(UMockdevIoctlClient* client) override;

  private:
    bool submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    int claim(UMockdevIoctlClient* client, unsigned interface);
    std::pair<int, Bytes> control(const uint8_t* setup) const;
    void finish(std::shared_ptr<Urb> urb, int status, int actual);
    void showCompletions();
    bool hasEndpoint(uint8_t address, uint8_t& type) const;

    const UsbfsIdentity identity_;
    const std::unique_ptr<DeviceFunction> function_;
    mutable std::mutex mutex_;
    ReadinessNode node_;
    bool connected_ = true;
    bool heldElsewhere_ = false;
    std::chrono::microseconds latency_{0};
    std::map<UMockdevIoctlClient*, std::set<unsigned>> claims_;
    std::deque<std::shared_ptr<Urb>> pending_;   // submitted, in order
    std::deque<std::shared_ptr<Urb>> completed_; // waiting to be reaped
};

} // namespace usbtestbed
