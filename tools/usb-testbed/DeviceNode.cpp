// Readiness terminals and the umockdev signal glue.
#include "DeviceNode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

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

// Clients seen per handler. umockdev 0.17 emits neither client-vanished nor a notification of
// the client's "connected" property, but the property does turn false when the client closes
// its descriptor; a sweep finds those.
std::mutex gClientsLock;
std::vector<std::pair<UMockdevIoctlClient*, NodeHandler*>> gClients; // each holds a reference

void track(UMockdevIoctlClient* client, NodeHandler* handler) {
    std::lock_guard lock(gClientsLock);
    for (const auto& [known, owner] : gClients)
        if (known == client && owner == handler)
            return;
    gClients.emplace_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)), handler);
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* handler = static_cast<NodeHandler*>(self);
    track(client, handler);
    return handler->ioctl(client, umockdev_ioctl_client_get_request(client),
                          umockdev_ioctl_client_get_arg(client));
}

gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    track(client, static_cast<NodeHandler*>(self));
    return static_cast<NodeHandler*>(self)->read(client, umockdev_ioctl_client_get_arg(client));
}

gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    track(client, static_cast<NodeHandler*>(self));
    return static_cast<NodeHandler*>(self)->write(client, umockdev_ioctl_client_get_arg(client));
}

} // namespace

NodeHandler::~NodeHandler() {
    std::lock_guard lock(gClientsLock);
    for (auto it = gClients.begin(); it != gClients.end();) {
        if (it->second == this) {
            g_object_unref(it->first);
            it = gClients.erase(it);
        } else {
            ++it;
        }
    }
}

void sweepClosedClients() {
    std::vector<std::pair<UMockdevIoctlClient*, NodeHandler*>> closed;
    {
        std::lock_guard lock(gClientsLock);
        for (auto it = gClients.begin(); it != gClients.end();) {
            if (!umockdev_ioctl_client_get_connected(it->first)) {
                closed.push_back(*it);
                it = gClients.erase(it);
            } else {
                ++it;
            }
        }
    }
    // What a closed client held goes, as at the kernel's close.
    for (const auto& [client, handler] : closed) {
        handler->vanished(client);
        g_object_unref(client);
    }
}

bool attachHandler(UMockdevTestbed* testbed, const std::string& devnode, NodeHandler& handler,
                   std::string* error) {
    UMockdevIoctlBase* base = umockdev_ioctl_base_new();
    g_signal_connect(base, "handle-ioctl", G_CALLBACK(onIoctl), &handler);
    g_signal_connect(base, "handle-read", G_CALLBACK(onRead), &handler);
    g_signal_connect(base, "handle-write", G_CALLBACK(onWrite), &handler);
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
