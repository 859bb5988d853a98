// usbfs as the kernel answers it, for the requests libusb makes: capabilities, driver query,
// claim and release, clear halt, and asynchronous URBs reaped without waiting.
#include "UsbfsDevice.h"

// usbdevice_fs.h uses the ioctl macros without including their header.
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace usbtestbed {

namespace {

// bmAttributes transfer types of the endpoint descriptor.
constexpr uint8_t kTypeBulk = 2, kTypeInterrupt = 3;

bool isIn(uint8_t endpoint) {
    return (endpoint & 0x80) != 0;
}

template <typename... Args> void trace(const char* format, Args... args) {
    if (UsbfsDevice::tracing) {
        std::fprintf(stderr, "usb-testbed: ");
        std::fprintf(stderr, format, args...);
        std::fputc('\n', stderr);
    }
}

} // namespace

// A submitted URB: the client's record and buffer stay untouched until it completes, because
// umockdev writes back only the bytes that changed since they were fetched.
struct Urb {
    UMockdevIoctlClient* client = nullptr;
    UMockdevIoctlData* record = nullptr;
    UMockdevIoctlData* buffer = nullptr; // null for a zero-length transfer
    unsigned long address = 0;           // of the record in the client
    uint8_t type = 0;
    uint8_t endpoint = 0;
    unsigned flags = 0;
    size_t length = 0;
    std::chrono::steady_clock::time_point notBefore;

    ~Urb() {
        if (buffer != nullptr)
            g_object_unref(buffer);
        if (record != nullptr)
            g_object_unref(record);
        if (client != nullptr)
            g_object_unref(client);
    }
    uint8_t* bytes() const { return buffer != nullptr ? buffer->data : nullptr; }
    usbdevfs_urb* fields() const { return reinterpret_cast<usbdevfs_urb*>(record->data); }
};

UsbfsDevice::UsbfsDevice(UsbfsIdentity identity, std::unique_ptr<DeviceFunction> function)
    : identity_(std::move(identity)), function_(std::move(function)) {}

UsbfsDevice::~UsbfsDevice() = default;

bool UsbfsDevice::makeNode(const std::string& path) {
    return node_.create(path, ReadinessNode::Event::writable);
}

void UsbfsDevice::holdElsewhere(bool held) {
    std::lock_guard lock(mutex_);
    heldElsewhere_ = held;
}

void UsbfsDevice::disconnect() {
    std::lock_guard lock(mutex_);
    if (!connected_)
        return;
    connected_ = false;
    // The kernel kills what is in flight; a reap then finds nothing more and says ENODEV.
    pending_.clear();
    function_->claimed(false);
    node_.hangUp();
}

bool UsbfsDevice::connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

void UsbfsDevice::setLatency(std::chrono::microseconds latency) {
    std::lock_guard lock(mutex_);
    latency_ = latency;
}

std::chrono::steady_clock::time_point UsbfsDevice::nextDeadline() const {
    std::lock_guard lock(mutex_);
    auto next = std::chrono::steady_clock::time_point::max();
    const auto now = std::chrono::steady_clock::now();
    for (const auto& urb : pending_)
        if (urb->notBefore > now)
            next = std::min(next, urb->notBefore);
    return next;
}

void UsbfsDevice::showCompletions() {
    node_.show(!completed_.empty() || !connected_);
}

void UsbfsDevice::finish(std::shared_ptr<Urb> urb, int status, int actual) {
    trace("%s urb %lx ep %02x done: status %d, %d of %zu bytes", identity_.serial.c_str(),
          urb->address, urb->endpoint, status, actual, urb->length);
    usbdevfs_urb* fields = urb->fields();
    fields->status = status;
    fields->actual_length = actual;
    completed_.push_back(std::move(urb));
}

bool UsbfsDevice::hasEndpoint(uint8_t address, uint8_t& type) const {
    const Bytes& d = identity_.descriptors;
    for (size_t i = 0; i + 1 < d.size() && d[i] > 0; i += d[i]) {
        if (d[i + 1] == 5 && i + 3 < d.size() && d[i + 2] == address) {
            type = d[i + 3] & 3;
            return true;
        }
    }
    return false;
}

void UsbfsDevice::pump() {
    std::lock_guard lock(mutex_);
    if (!connected_)
        return;
    const auto now = std::chrono::steady_clock::now();
    bool done = false;
    // Transfers on one endpoint complete in order; a waiting one holds back those after it.
    std::set<uint8_t> blocked;
    for (auto it = pending_.begin(); it != pending_.end();) {
        const std::shared_ptr<Urb> urb = *it;
        if (blocked.count(urb->endpoint) != 0 || urb->notBefore > now) {
            blocked.insert(urb->endpoint);
            ++it;
            continue;
        }
        size_t got = 0;
        bool moved = false;
        if (isIn(urb->endpoint)) {
            moved = function_->in(urb->bytes(), urb->length, got);
        } else {
            const bool zeroPacket = (urb->flags & USBDEVFS_URB_ZERO_PACKET) != 0;
            const bool shortEnd =
                urb->length % kModuleMaxPacket != 0 || urb->length == 0 || zeroPacket;
            moved = function_->out(urb->bytes(), urb->length, shortEnd);
            got = urb->length;
        }
        if (!moved) {
            blocked.insert(urb->endpoint);
            ++it;
            continue;
        }
        finish(urb, 0, static_cast<int>(got));
        it = pending_.erase(it);
        done = true;
    }
    if (done)
        showCompletions();
}

int UsbfsDevice::claim(UMockdevIoctlClient* client, unsigned interface) {
    if (interface != 0)
        return ENOENT;
    for (auto it = claims_.begin(); it != claims_.end();) {
        // A holder that has closed the node since the last sweep holds nothing.
        if (it->first != client && !umockdev_ioctl_client_get_connected(it->first)) {
            it = claims_.erase(it);
            continue;
        }
        if (it->first != client && it->second.count(interface) != 0)
            return EBUSY;
        ++it;
    }
    if (heldElsewhere_)
        return EBUSY;
    claims_[client].insert(interface);
    function_->claimed(true);
    return 0;
}

// Standard requests on endpoint 0; anything else stalls, as a device without it does.
std::pair<int, Bytes> UsbfsDevice::control(const uint8_t* setup) const {
    const uint8_t requestType = setup[0], request = setup[1];
    const uint8_t kind = setup[3], index = setup[2];
    const size_t wanted = static_cast<size_t>(setup[6] | setup[7] << 8);
    Bytes answer;
    bool known = false;
    if (requestType == 0x80 && request == 6) {
        const Bytes& d = identity_.descriptors;
        known = true;
        switch (kind) {
        case 1: answer.assign(d.begin(), d.begin() + std::min<size_t>(18, d.size())); break;
        case 2: answer.assign(d.begin() + std::min<size_t>(18, d.size()), d.end()); break;
        case 3:
            if (index == 0)
                answer = languageDescriptor();
            else if (index == kManufacturerIndex)
                answer = stringDescriptor(identity_.manufacturer);
            else if (index == kProductIndex)
                answer = stringDescriptor(identity_.product);
            else if (index == kSerialIndex && !identity_.serial.empty())
                answer = stringDescriptor(identity_.serial);
            else
                known = false;
            break;
        default: known = false; break;
        }
    } else if (requestType == 0x80 && request == 8) { // GET_CONFIGURATION
        answer = {1};
        known = true;
    } else if (requestType == 0x80 && request == 0) { // GET_STATUS: self-powered
        answer = {1, 0};
        known = true;
    }
    if (!known)
        return {-EPIPE, {}};
    if (answer.size() > wanted)
        answer.resize(wanted);
    return {0, answer};
}

bool UsbfsDevice::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    GError* error = nullptr;
    UMockdevIoctlData* record = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (record == nullptr) {
        g_clear_error(&error);
        fail(client, EFAULT);
        return true;
    }
    auto urb = std::make_shared<Urb>();
    urb->client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    urb->record = record;
    // The record's address in the client, which a discard names (arg now points at the copy).
    urb->address = record->client_addr;
    const usbdevfs_urb* fields = urb->fields();
    urb->type = fields->type;
    urb->endpoint = fields->endpoint;
    urb->flags = fields->flags;
    if (fields->buffer_length < 0) {
        fail(client, EINVAL);
        return true;
    }
    urb->length = static_cast<size_t>(fields->buffer_length);
    // A zero-length buffer cannot be resolved (umockdev gives nothing back for it).
    if (urb->length > 0) {
        urb->buffer = umockdev_ioctl_data_resolve(record, offsetof(usbdevfs_urb, buffer),
                                                  urb->length, &error);
        if (urb->buffer == nullptr) {
            g_clear_error(&error);
            fail(client, EFAULT);
            return true;
        }
    }

    std::lock_guard lock(mutex_);
    if (!connected_) {
        fail(client, ENODEV);
        return true;
    }
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb->endpoint != 0 || urb->length < 8) {
            fail(client, EINVAL);
            return true;
        }
        const auto [status, answer] = control(urb->bytes());
        const size_t room = urb->length - 8;
        const size_t count = std::min(answer.size(), room);
        // The client's record changes only after its submit returned.
        complete(client, 0);
        if (count > 0)
            std::memcpy(urb->bytes() + 8, answer.data(), count);
        finish(urb, status, static_cast<int>(count));
        showCompletions();
        return true;
    }
    uint8_t type = 0;
    if (!hasEndpoint(urb->endpoint, type)) {
        fail(client, ENOENT);
        return true;
    }
    if ((urb->type == USBDEVFS_URB_TYPE_BULK && type != kTypeBulk) ||
        (urb->type == USBDEVFS_URB_TYPE_INTERRUPT && type != kTypeInterrupt) ||
        (urb->type != USBDEVFS_URB_TYPE_BULK && urb->type != USBDEVFS_URB_TYPE_INTERRUPT)) {
        fail(client, EINVAL);
        return true;
    }
    // A transfer on an interface nobody claimed claims it, as the kernel does.
    if (claims_[client].count(0) == 0) {
        if (const int refused = claim(client, 0); refused != 0) {
            fail(client, refused);
            return true;
        }
    }
    urb->notBefore = std::chrono::steady_clock::now() + latency_;
    trace("%s urb %lx ep %02x submitted: %zu bytes, flags %x", identity_.serial.c_str(),
          urb->address, urb->endpoint, urb->length, urb->flags);
    pending_.push_back(urb);
    complete(client, 0);
    return true;
}

void UsbfsDevice::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    std::shared_ptr<Urb> urb;
    {
        std::lock_guard lock(mutex_);
        const auto it = std::find_if(completed_.begin(), completed_.end(),
                                     [client](const auto& u) { return u->client == client; });
        if (it == completed_.end()) {
            fail(client, connected_ ? EAGAIN : ENODEV);
            showCompletions();
            return;
        }
        urb = *it;
        completed_.erase(it);
        showCompletions();
    }
    GError* error = nullptr;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
    if (slot == nullptr) {
        g_clear_error(&error);
        fail(client, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(slot, 0, urb->record);
    g_object_unref(slot);
    complete(client, 0);
}

void UsbfsDevice::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    const unsigned long address = *reinterpret_cast<unsigned long*>(arg->data);
    std::lock_guard lock(mutex_);
    trace("%s urb %lx discarded", identity_.serial.c_str(), address);
    const auto it = std::find_if(pending_.begin(), pending_.end(), [&](const auto& u) {
        return u->client == client && u->address == address;
    });
    if (it == pending_.end()) {
        // Already completed (or never submitted): the kernel says EINVAL.
        fail(client, EINVAL);
        return;
    }
    const std::shared_ptr<Urb> urb = *it;
    pending_.erase(it);
    complete(client, 0);
    finish(urb, -ENOENT, 0);
    showCompletions();
}

bool UsbfsDevice::ioctl(UMockdevIoctlClient* client, unsigned long request,
                        UMockdevIoctlData* arg) {
    switch (request) {
    case USBDEVFS_SUBMITURB: {
        const bool handled = submit(client, arg);
        if (wake)
            wake();
        return handled;
    }
    case USBDEVFS_REAPURBNDELAY: reap(client, arg); return true;
    case USBDEVFS_DISCARDURB: discard(client, arg); return true;
    default: break;
    }
    std::unique_lock lock(mutex_);
    if (!connected_) {
        fail(client, ENODEV);
        return true;
    }
    GError* error = nullptr;
    auto resolveUnsigned = [&](unsigned& value) {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &error);
        if (data == nullptr) {
            g_clear_error(&error);
            return static_cast<UMockdevIoctlData*>(nullptr);
        }
        std::memcpy(&value, data->data, sizeof value);
        return data;
    };
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
        if (data == nullptr) {
            g_clear_error(&error);
            fail(client, EFAULT);
            return true;
        }
        const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        std::memcpy(data->data, &caps, sizeof caps);
        g_object_unref(data);
        complete(client, 0);
        return true;
    }
    case USBDEVFS_GETDRIVER: fail(client, ENODATA); return true; // no kernel driver bound
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_CLEAR_HALT: {
        unsigned value = 0;
        UMockdevIoctlData* data = resolveUnsigned(value);
        if (data == nullptr) {
            fail(client, EFAULT);
            return true;
        }
        g_object_unref(data);
        int refused = 0;
        trace("%s %s %u", identity_.serial.c_str(),
              request == USBDEVFS_CLAIMINTERFACE     ? "claim"
              : request == USBDEVFS_RELEASEINTERFACE ? "release"
                                                     : "clear halt",
              value);
        if (request == USBDEVFS_CLAIMINTERFACE) {
            refused = claim(client, value);
        } else if (request == USBDEVFS_RELEASEINTERFACE) {
            const auto it = claims_.find(client);
            if (it == claims_.end() || it->second.erase(value) == 0)
                refused = EINVAL;
            else
                function_->claimed(std::any_of(claims_.begin(), claims_.end(),
                                               [](const auto& c) { return !c.second.empty(); }));
        } else {
            uint8_t type = 0;
            refused = hasEndpoint(static_cast<uint8_t>(value), type) ? 0 : ENOENT;
        }
        if (refused != 0)
            fail(client, refused);
        else
            complete(client, 0);
        return true;
    }
    default:
        // What this device does not do, as the kernel answers an unknown request.
        fail(client, ENOTTY);
        return true;
    }
}

void UsbfsDevice::vanished(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    trace("%s client %p closed", identity_.serial.c_str(), static_cast<void*>(client));
    claims_.erase(client);
    auto mine = [client](const auto& u) { return u->client == client; };
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(), mine), pending_.end());
    completed_.erase(std::remove_if(completed_.begin(), completed_.end(), mine), completed_.end());
    function_->claimed(std::any_of(claims_.begin(), claims_.end(),
                                   [](const auto& c) { return !c.second.empty(); }));
    showCompletions();
}

} // namespace usbtestbed
