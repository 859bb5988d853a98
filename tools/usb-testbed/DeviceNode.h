// The emulated side of one kernel device node: the clients that opened it, the readiness the
// node shows to poll(), and the glue that turns umockdev's ioctl, read and write callbacks into
// calls of a C++ handler.
#pragma once

#include <umockdev.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>

namespace usbtestbed {

// A node is a pseudo-terminal that the testbed holds the other side of, so the client's
// descriptor polls like the kernel's: umockdev only forwards ioctl, read and write, and a
// regular file polls ready all the time (libusb and hidapi would spin while they wait). Output
// flow control makes it writable or not, a byte on the line readable, and hanging it up gives
// the POLLERR and POLLHUP a pulled device shows.
class ReadinessNode {
  public:
    enum class Event { writable, readable };

    // Makes path (replacing whatever file is there) a link to a fresh terminal showing
    // nothing ready. False with errno set when it cannot.
    bool create(const std::string& path, Event event);
    ~ReadinessNode();

    // Shows the event to pollers (or stops showing it).
    void show(bool ready);
    // Every descriptor of the node reports an error and hang-up from now on.
    void hangUp();

  private:
    int master_ = -1;
    int slave_ = -1;
    Event event_ = Event::writable;
    bool shown_ = true;
};

// What a device node does for its clients. Every call comes on umockdev's worker thread; a
// call returns true when it has completed the request or will complete it later.
class NodeHandler {
  public:
    virtual ~NodeHandler();
    virtual bool ioctl(UMockdevIoctlClient* client, unsigned long request,
                       UMockdevIoctlData* arg) = 0;
    virtual bool read(UMockdevIoctlClient* client, UMockdevIoctlData* buffer) {
        (void)client, (void)buffer;
        return false;
    }
    virtual bool write(UMockdevIoctlClient* client, UMockdevIoctlData* buffer) {
        (void)client, (void)buffer;
        return false;
    }
    virtual void vanished(UMockdevIoctlClient* client) { (void)client; }
};

// Tells the handlers about clients that closed their node since the last sweep. To be called
// periodically, never while a handler is being destroyed.
void sweepClosedClients();

// Attaches handler to the node devnode of the testbed (before the device is added, so no
// client can open the node without it). The handler must outlive the testbed's use of it.
bool attachHandler(UMockdevTestbed* testbed, const std::string& devnode, NodeHandler& handler,
                   std::string* error);

// Finishes a client's request: result and errno as the system call returns them.
inline void complete(UMockdevIoctlClient* client, long result, int error = 0) {
    umockdev_ioctl_client_complete(client, result, error);
}
inline void fail(UMockdevIoctlClient* client, int error) {
    umockdev_ioctl_client_complete(client, -1, error);
}

} // namespace usbtestbed
