// Readiness terminals and the umockdev signal glue.
#include "DeviceNode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace usbtestbed {

bool ReadinessNode::create(const std::string& path, Event event) {
    event_ = event;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        return false;
    const char* name = ::ptsname(master_);
    if (name == nullptr)
        return false;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (slave_ < 0 || ::tcgetattr(slave_, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    if (::tcsetattr(slave_, TCSANOW, &settings) != 0)
        return false;
    ::unlink(path.c_str());
    if (::symlink(name, path.c_str()) != 0)
        return false;
    shown_ = true;
    show(false);
    return true;
}

ReadinessNode::~ReadinessNode() {
    hangUp();
}

void ReadinessNode::hangUp() {
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    master_ = slave_ = -1;
}

void ReadinessNode::show(bool ready) {
    if (slave_ < 0 || ready == shown_)
        return;
    shown_ = ready;
    if (event_ == Event::writable) {
        ::tcflow(slave_, ready ? TCOON : TCOOFF);
    } else if (ready) {
        const char byte = 0;
        (void)!::write(master_, &byte, 1);
    } else {
        ::tcflush(slave_, TCIFLUSH);
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
