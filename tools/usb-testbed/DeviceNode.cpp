// Readiness FIFOs and the umockdev signal glue.
#include "DeviceNode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace usbtestbed {

bool ReadinessFifo::create(const std::string& path, Event event) {
    event_ = event;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0666) != 0)
        return false;
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        return false;
    // One page: a single byte fills the pipe's only slot, so a writer polls not ready.
    ::fcntl(fd_, F_SETPIPE_SZ, 4096);
    shown_ = true;
    show(false);
    return true;
}

ReadinessFifo::~ReadinessFifo() {
    if (fd_ >= 0)
        ::close(fd_);
}

void ReadinessFifo::show(bool ready) {
    if (fd_ < 0 || ready == shown_)
        return;
    shown_ = ready;
    // Writable means room in the pipe, readable means bytes in it.
    const bool fill = event_ == Event::writable ? !ready : ready;
    char buffer[4096];
    if (fill) {
        std::memset(buffer, 0, sizeof buffer);
        while (::write(fd_, buffer, event_ == Event::writable ? sizeof buffer : 1) > 0 &&
               event_ == Event::writable) {
        }
    } else {
        while (::read(fd_, buffer, sizeof buffer) > 0) {
        }
    }
}

namespace {

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* handler = static_cast<NodeHandler*>(self);
    return handler->ioctl(client, umockdev_ioctl_client_get_request(client),
                          umockdev_ioctl_client_get_arg(client));
}

gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<NodeHandler*>(self)->read(client, umockdev_ioctl_client_get_arg(client));
}

gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<NodeHandler*>(self)->write(client, umockdev_ioctl_client_get_arg(client));
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<NodeHandler*>(self)->vanished(client);
}

} // namespace

bool attachHandler(UMockdevTestbed* testbed, const std::string& devnode, NodeHandler& handler,
                   std::string* error) {
    UMockdevIoctlBase* base = umockdev_ioctl_base_new();
    g_signal_connect(base, "handle-ioctl", G_CALLBACK(onIoctl), &handler);
    g_signal_connect(base, "handle-read", G_CALLBACK(onRead), &handler);
    g_signal_connect(base, "handle-write", G_CALLBACK(onWrite), &handler);
    g_signal_connect(base, "client-vanished", G_CALLBACK(onVanished), &handler);
    GError* failure = nullptr;
    const bool attached = umockdev_testbed_attach_ioctl(testbed, devnode.c_str(), base, &failure);
    if (!attached && error != nullptr)
        *error = failure != nullptr ? failure->message : "cannot attach the ioctl handler";
    if (failure != nullptr)
        g_error_free(failure);
    // The testbed holds its own reference while attached.
    g_object_unref(base);
    return attached;
}

} // namespace usbtestbed
