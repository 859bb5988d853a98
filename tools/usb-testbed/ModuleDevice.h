// An emulated module on the bus: present while its virtual module accepts a loopback TCP
// connection, its bulk transfers carried over that connection. A virtual module that closes
// the connection (a reboot, an exit) is an unplug; the device comes back, under a new address,
// once the virtual module listens again.
#pragma once

#include "Testbed.h"
#include "UsbfsDevice.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace usbtestbed {

struct ModuleSettings {
    uint32_t serialNumber = 0;
    uint8_t model = 0;
    std::string host; // dotted IPv4
    uint16_t port = 0;
    uint16_t vendorId = 0;
    bool unreadable = false; // its node cannot be opened
    bool held = false;       // another process holds its interface
    std::chrono::microseconds latency{0};
};

// Reads "SERIAL:MODEL@ADDRESS:PORT" as the library's USB emulation reads its entries
// (aUSB_ParseEmulationEntry). False with the reason when the entry is malformed.
bool parseModuleEntry(const std::string& text, ModuleSettings& settings, std::string& why);

class ModuleDevice {
  public:
    using Report = std::function<void(const std::string&)>;
    ModuleDevice(Testbed& testbed, ModuleSettings settings, Report report);
    ~ModuleDevice();
    ModuleDevice(const ModuleDevice&) = delete;
    ModuleDevice& operator=(const ModuleDevice&) = delete;

    uint32_t serialNumber() const { return settings_.serialNumber; }

    // Plugged while wanted and the virtual module listens; unplugged at once when not wanted.
    void want(bool wanted);
    void hold(bool held);
    void setLatency(std::chrono::microseconds latency);
    // Returns once the first attempt to plug the device is over (plugged or not).
    void waitSettled();

  private:
    void run();
    bool plug(int socket);
    void unplug(const char* why);
    void wakeUp();

    Testbed& testbed_;
    ModuleSettings settings_;
    Report report_;
    std::mutex mutex_; // settings_ changes and the current device
    std::atomic<bool> stop_{false};
    std::atomic<bool> wanted_{true};
    std::condition_variable settledCv_;
    bool settled_ = false; // guarded by mutex_
    int wake_[2] = {-1, -1};
    int socket_ = -1;
    class Function;
    Function* function_ = nullptr; // owned by device_
    std::shared_ptr<UsbfsDevice> device_;
    PluggedDevice plugged_;
    // Devices pulled earlier: their nodes still answer clients that kept them open.
    std::list<std::shared_ptr<UsbfsDevice>> pulled_;
    std::thread thread_;
};

} // namespace usbtestbed
