// The module's side of the bulk pipes: what the host sends goes to the virtual module when a
// transfer ends (a short or zero-length packet), and what the virtual module sends comes back in
// packets of the pipe's size, a zero-length packet closing a burst that filled its last packet.
#include "ModuleDevice.h"

#include "corvane/aUSB.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

namespace usbtestbed {

namespace {

// A module's buffers are small: with this much unsent either way it stops taking more.
constexpr size_t kToModuleLimit = 64 * 1024;
constexpr size_t kFromModuleLimit = 4096;
constexpr int kProbeIntervalMs = 50;
constexpr int kConnectTimeoutMs = 500;

// A TCP connection to host:port within the time-out, or -1.
int connectTo(const std::string& host, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || ::poll(&p, 1, kConnectTimeoutMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

} // namespace

bool parseModuleEntry(const std::string& text, ModuleSettings& settings, std::string& why) {
    aUSBEmulatedModule module{};
    aUSBEntryFault fault = aUSBEntryFine;
    if (aUSB_ParseEmulationEntry(text.c_str(), &module, &fault) != aErrNone) {
        switch (fault) {
        case aUSBEntrySerial: why = "the serial number must be 1 to 8 hexadecimal digits"; break;
        case aUSBEntryModel: why = "the model must be hexadecimal, 1 to FF"; break;
        case aUSBEntryAddress: why = "the address must be a dotted IPv4 address"; break;
        case aUSBEntryPort: why = "the port must be 1 to 65535"; break;
        case aUSBEntryShape:
        case aUSBEntryFine: why = "expected SERIAL:MODEL@ADDRESS:PORT"; break;
        }
        return false;
    }
    char host[INET_ADDRSTRLEN] = {};
    const in_addr address{module.address};
    inet_ntop(AF_INET, &address, host, sizeof host);
    settings.serialNumber = module.serialNumber;
    settings.model = module.model;
    settings.host = host;
    settings.port = module.port;
    return true;
}

// Runs under the device's lock (out, in, claimed) or the I/O thread (the rest); its own lock
// keeps the two apart.
class ModuleDevice::Function : public DeviceFunction {
  public:
    bool out(const uint8_t* bytes, size_t count, bool packetEnd) override {
        std::lock_guard lock(mutex_);
        if (toModule_.size() >= kToModuleLimit)
            return false;
        transfer_.insert(transfer_.end(), bytes, bytes + count);
        // The firmware takes a transfer when it ends: until a short packet comes, full packets
        // wait (so a transfer of whole packets without a zero-length one is not seen yet).
        if (packetEnd) {
            toModule_.insert(toModule_.end(), transfer_.begin(), transfer_.end());
            transfer_.clear();
        }
        return true;
    }

    bool in(uint8_t* buffer, size_t capacity, size_t& got) override {
        std::lock_guard lock(mutex_);
        got = 0;
        if (fromModule_.empty()) {
            if (!zeroPacketOwed_)
                return false;
            zeroPacketOwed_ = false;
            return true;
        }
        zeroPacketOwed_ = false;
        bool lastFull = false;
        while (got < capacity && !fromModule_.empty()) {
            const size_t packet =
                std::min({size_t{kModuleMaxPacket}, fromModule_.size(), capacity - got});
            std::copy_n(fromModule_.begin(), packet, buffer + got);
            fromModule_.erase(fromModule_.begin(), fromModule_.begin() + static_cast<long>(packet));
            got += packet;
            lastFull = packet == kModuleMaxPacket;
            if (!lastFull)
                break;
        }
        // A burst that ended on a full packet is closed by a zero-length one: here, when the
        // transfer still had room, it ended the transfer; else the next transfer gets it.
        zeroPacketOwed_ = lastFull && fromModule_.empty() && got == capacity;
        return true;
    }

    void claimed(bool anyClaim) override {
        std::lock_guard lock(mutex_);
        claimed_ = anyClaim;
        if (!claimed_) {
            // Nobody polls the pipe: what the module sent meanwhile is lost, as on a bus.
            fromModule_.clear();
            zeroPacketOwed_ = false;
        }
    }

    // I/O thread side.
    bool wantsBytes() {
        std::lock_guard lock(mutex_);
        return fromModule_.size() < kFromModuleLimit;
    }
    bool hasBytesToSend() {
        std::lock_guard lock(mutex_);
        return !toModule_.empty();
    }
    void received(const uint8_t* bytes, size_t count) {
        std::lock_guard lock(mutex_);
        if (claimed_)
            fromModule_.insert(fromModule_.end(), bytes, bytes + count);
    }
    // Sends what it can; false when the connection failed.
    bool send(int socket) {
        std::lock_guard lock(mutex_);
        while (!toModule_.empty()) {
            uint8_t chunk[4096];
            const size_t n = std::min(sizeof chunk, toModule_.size());
            std::copy_n(toModule_.begin(), n, chunk);
            const ssize_t sent = ::send(socket, chunk, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            toModule_.erase(toModule_.begin(), toModule_.begin() + sent);
        }
        return true;
    }

  private:
    std::mutex mutex_;
    std::vector<uint8_t> transfer_;
    std::deque<uint8_t> toModule_;
    std::deque<uint8_t> fromModule_;
    bool zeroPacketOwed_ = false;
    bool claimed_ = false;
};

ModuleDevice::ModuleDevice(Testbed& testbed, ModuleSettings settings, Report report)
    : testbed_(testbed), settings_(std::move(settings)), report_(std::move(report)) {
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe");
    thread_ = std::thread([this] { run(); });
}

ModuleDevice::~ModuleDevice() {
    stop_ = true;
    wakeUp();
    thread_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void ModuleDevice::wakeUp() {
    const char byte = 1;
    (void)!::write(wake_[1], &byte, 1);
}

void ModuleDevice::want(bool wanted) {
    wanted_ = wanted;
    wakeUp();
}

void ModuleDevice::hold(bool held) {
    std::lock_guard lock(mutex_);
    settings_.held = held;
    if (device_)
        device_->holdElsewhere(held);
}

void ModuleDevice::setLatency(std::chrono::microseconds latency) {
    std::lock_guard lock(mutex_);
    settings_.latency = latency;
    if (device_)
        device_->setLatency(latency);
}

void ModuleDevice::waitSettled() {
    std::unique_lock lock(mutex_);
    settledCv_.wait(lock, [this] { return settled_; });
}

bool ModuleDevice::plug(int socket) {
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08X", settings_.serialNumber);
    UsbDeviceEntry entry;
    entry.vendorId = settings_.vendorId;
    entry.productId = settings_.model;
    entry.manufacturer = "Corvane";
    entry.product = "Corvane module";
    entry.serial = serial;
    entry.descriptors = moduleDescriptors(entry.vendorId, entry.productId);
    UsbfsIdentity identity{entry.vendorId, entry.productId, entry.manufacturer,
                           entry.product,  entry.serial,    entry.descriptors};
    auto function = std::make_unique<Function>();
    Function* raw = function.get();
    auto device = std::make_shared<UsbfsDevice>(identity, std::move(function));
    device->wake = [this] { wakeUp(); };
    std::string error;
    PluggedDevice plugged;
    std::lock_guard lock(mutex_);
    device->holdElsewhere(settings_.held);
    device->setLatency(settings_.latency);
    if (!testbed_.plugUsb(entry, settings_.unreadable ? nullptr : device.get(),
                          settings_.unreadable, plugged, &error)) {
        report_("cannot plug " + std::string(serial) + ": " + error);
        return false;
    }
    if (!settings_.unreadable && !device->makeNode(testbed_.nodeFile(plugged.devnode))) {
        report_("cannot make the node of " + std::string(serial) + ": " + std::strerror(errno));
        testbed_.unplug(plugged);
        return false;
    }
    socket_ = socket;
    function_ = raw;
    device_ = device;
    plugged_ = plugged;
    report_("plugged " + std::string(serial) + " at " + plugged.devnode);
    return true;
}

void ModuleDevice::unplug(const char* why) {
    std::lock_guard lock(mutex_);
    if (!device_)
        return;
    device_->disconnect();
    testbed_.unplug(plugged_);
    pulled_.push_back(device_);
    device_.reset();
    function_ = nullptr;
    ::close(socket_);
    socket_ = -1;
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08X", settings_.serialNumber);
    report_("unplugged " + std::string(serial) + " (" + why + ")");
}

void ModuleDevice::run() {
    while (!stop_) {
        if (!wanted_) {
            unplug("removed");
        } else if (!device_) {
            const int socket = connectTo(settings_.host, settings_.port);
            if (socket >= 0 && !plug(socket)) {
                ::close(socket);
                wanted_ = false; // reported; tried again only when asked to add it
            }
        }
        {
            std::lock_guard lock(mutex_);
            settled_ = true;
        }
        settledCv_.notify_all();
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
        int timeout = kProbeIntervalMs;
        if (device_) {
            short events = 0;
            if (function_->wantsBytes())
                events |= POLLIN;
            if (function_->hasBytesToSend())
                events |= POLLOUT;
            fds.push_back({socket_, events, 0});
            timeout = -1;
            const auto deadline = device_->nextDeadline();
            if (deadline != std::chrono::steady_clock::time_point::max()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                timeout = static_cast<int>(std::max<long long>(0, left.count() + 1));
            }
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (!device_)
            continue;
        const short revents = fds.size() > 1 ? fds[1].revents : 0;
        bool lost = false;
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
            uint8_t buffer[4096];
            const ssize_t n = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                function_->received(buffer, static_cast<size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                lost = true;
        }
        if (!lost && function_->hasBytesToSend() && !function_->send(socket_))
            lost = true;
        device_->pump();
        if (lost)
            unplug("the virtual module closed the connection");
    }
    unplug("the testbed stops");
}

} // namespace usbtestbed
