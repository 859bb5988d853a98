// hidraw as the kernel answers it: one report per write (its id first), one input report per
// read, the report descriptor and device info by ioctl.
#include "RomDevice.h"

#include <fcntl.h>
// hidraw.h uses the ioctl macros without including their header.
#include <linux/hidraw.h>
#include <linux/ioctl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace usbtestbed {

namespace {

constexpr size_t kMaxQueuedReports = 64;

speed_t speedOf(uint32_t baud) {
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
    }
}

// 8N1 at the ROM's rate, nothing cooked.
bool rawLine(int fd, uint32_t baud) {
    termios settings{};
    if (speedOf(baud) == B0) {
        errno = EINVAL;
        return false;
    }
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    ::cfsetispeed(&settings, speedOf(baud));
    ::cfsetospeed(&settings, speedOf(baud));
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

} // namespace

bool RomDevice::supportedRate(uint32_t baud) {
    return speedOf(baud) != B0;
}

RomDevice::RomDevice(Testbed& testbed, const std::string& line, uint32_t baud, Report report)
    : testbed_(testbed), report_(std::move(report)),
      byteTime_(std::chrono::microseconds(10 * 1000000 / baud)) {
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe");
    line_ = ::open(line.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line_ < 0 || !rawLine(line_, baud)) {
        report_("cannot use the ROM's line " + line + ": " + std::strerror(errno));
        return;
    }
    UsbDeviceEntry entry;
    entry.vendorId = kVendorId;
    entry.productId = kProductId;
    entry.manufacturer = "Boot ROM";
    entry.product = "i.MX serial download";
    entry.descriptors = romDescriptors(kVendorId, kProductId);
    std::string error;
    if (!testbed_.plugHid(entry, romReportDescriptor(), *this, plugged_, &error)) {
        report_("cannot plug the ROM: " + error);
        return;
    }
    if (!node_.create(testbed_.nodeFile(plugged_.hidnode), ReadinessNode::Event::readable)) {
        report_("cannot make the ROM's node: " + std::string(std::strerror(errno)));
        return;
    }
    pluggedIn_ = true;
    report_("rom at " + plugged_.hidnode);
    thread_ = std::thread([this] { run(); });
}

RomDevice::~RomDevice() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    const char byte = 1;
    (void)!::write(wake_[1], &byte, 1);
    if (thread_.joinable())
        thread_.join();
    if (line_ >= 0)
        ::close(line_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void RomDevice::run() {
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return;
            const auto now = std::chrono::steady_clock::now();
            while (!writes_.empty() && writes_.front().due <= now) {
                complete(writes_.front().client, writes_.front().count);
                g_object_unref(writes_.front().client);
                writes_.pop_front();
            }
            if (!writes_.empty())
                timeout = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(writes_.front().due - now)
                        .count() +
                    1);
        }
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {line_, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents & POLLIN) {
            uint8_t buffer[256];
            const ssize_t n = ::read(line_, buffer, sizeof buffer);
            if (n > 0)
                fromRom(buffer, static_cast<size_t>(n));
        }
    }
}

void RomDevice::fromRom(const uint8_t* bytes, size_t count) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < count; ++i) {
        word_.push_back(bytes[i]);
        if (word_.size() < 4)
            continue;
        // The security mode goes in report 3; the status in the first bytes of report 4.
        std::vector<uint8_t> report{static_cast<uint8_t>(expectSecurity_ ? 3 : 4)};
        report.insert(report.end(), word_.begin(), word_.end());
        report.resize(1 + romReportSize(report[0]), 0);
        expectSecurity_ = !expectSecurity_;
        word_.clear();
        if (reports_.size() < kMaxQueuedReports)
            reports_.push_back(std::move(report));
    }
    serveReads();
}

void RomDevice::serveReads() {
    while (!reads_.empty() && !reports_.empty()) {
        auto [client, buffer] = reads_.front();
        reads_.pop_front();
        const std::vector<uint8_t>& report = reports_.front();
        const size_t n = std::min(report.size(), static_cast<size_t>(buffer->data_len));
        std::memcpy(buffer->data, report.data(), n);
        reports_.pop_front();
        complete(client, static_cast<long>(n));
        g_object_unref(client);
    }
    node_.show(!reports_.empty());
}

bool RomDevice::read(UMockdevIoctlClient* client, UMockdevIoctlData* buffer) {
    std::lock_guard lock(mutex_);
    // A blocking read waits for the next report, as hidraw's does.
    reads_.emplace_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)), buffer);
    serveReads();
    return true;
}

bool RomDevice::write(UMockdevIoctlClient* client, UMockdevIoctlData* buffer) {
    const uint8_t* bytes = buffer->data;
    const size_t count = static_cast<size_t>(buffer->data_len);
    // The ROM has output reports 1 and 2 only; anything else, or longer, it stalls.
    const size_t payload = count > 0 ? romReportSize(bytes[0]) : 0;
    if (count < 2 || (bytes[0] != 1 && bytes[0] != 2) || count - 1 > payload) {
        fail(client, EPIPE);
        return true;
    }
    std::lock_guard lock(mutex_);
    if (bytes[0] == 1) {
        expectSecurity_ = true;
        word_.clear();
    }
    size_t done = 1;
    while (done < count) {
        const ssize_t n = ::write(line_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN) {
            fail(client, EIO);
            return true;
        } else {
            pollfd p{line_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
    const auto now = std::chrono::steady_clock::now();
    lineFree_ = std::max(lineFree_, now) + byteTime_ * static_cast<long>(count - 1);
    writes_.push_back({static_cast<UMockdevIoctlClient*>(g_object_ref(client)),
                       static_cast<long>(count), lineFree_});
    const char byte = 1;
    (void)!::write(wake_[1], &byte, 1);
    return true;
}

bool RomDevice::ioctl(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg) {
    GError* error = nullptr;
    auto answer = [&](const void* bytes, size_t size) {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
        if (data == nullptr) {
            g_clear_error(&error);
            fail(client, EFAULT);
            return;
        }
        std::memcpy(data->data, bytes, size);
        g_object_unref(data);
        complete(client, 0);
    };
    const Bytes report = romReportDescriptor();
    if (request == HIDIOCGRDESCSIZE) {
        const int size = static_cast<int>(report.size());
        answer(&size, sizeof size);
        return true;
    }
    if (request == HIDIOCGRDESC) {
        hidraw_report_descriptor descriptor{};
        descriptor.size = static_cast<__u32>(report.size());
        std::memcpy(descriptor.value, report.data(), report.size());
        answer(&descriptor, sizeof descriptor);
        return true;
    }
    if (request == HIDIOCGRAWINFO) {
        hidraw_devinfo info{};
        info.bustype = 3; // BUS_USB
        info.vendor = static_cast<__s16>(kVendorId);
        info.product = static_cast<__s16>(kProductId);
        answer(&info, sizeof info);
        return true;
    }
    fail(client, ENOTTY);
    return true;
}

void RomDevice::vanished(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    for (auto it = reads_.begin(); it != reads_.end();) {
        if (it->first == client) {
            g_object_unref(it->first);
            it = reads_.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace usbtestbed
