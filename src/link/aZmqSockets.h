// ZeroMQ helpers shared by the sharing server and the client stream: CZMQ's start, in-process
// socket pairs and the registry of this process's servers (the exit hooks are aAtExit.h's).
#pragma once

#include "aAtExit.h"
#include "corvane/aError.h"

#include <czmq.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace corvane {

// Starts CZMQ for the library once: its own signal handling off (the application keeps SIGINT
// and SIGTERM), and the at-exit hooks below. Every user of CZMQ here calls it first.
void czmqPrepare();

// Two DEALER sockets joined inside the process: `bound` binds a name of its own, `connected`
// connects to it. Each end is used by one thread only.
struct SocketPair {
    zsock_t* bound = nullptr;
    zsock_t* connected = nullptr;

    // False when a socket cannot be made, bound or connected; what was made is kept for
    // close() to free.
    bool open();
    void close();
};

// A sharing server of this process as its in-process clients see it. Such a client hands its
// packets to the server on its own thread, so a request reaches the module without a pass
// through ZeroMQ or a wake-up of the server's thread; the answers come back through the
// server's ROUTER as to any client. While such a client waits for them, it may read the
// server's module link itself, so an answer reaches it without a wake-up of that link's reader.
class InprocServer {
  public:
    // take(client, bytes, size): one content frame from the client with that routing identity;
    // false when it was no content frame. forget(client): the client is gone. moduleLink: the
    // engine link the server serves, which readLink(moduleLink, waitMs) reads as a caller.
    using Take = std::function<bool(const std::string&, const uint8_t*, std::size_t)>;
    using Forget = std::function<void(const std::string&)>;
    using ReadLink = bool (*)(uint32_t link, uint32_t waitMs);
    InprocServer(Take take, Forget forget, uint32_t moduleLink, ReadLink readLink)
        : take_(std::move(take)), forget_(std::move(forget)), moduleLink_(moduleLink),
          readLink_(readLink) {}
    // aErrIO once the server stopped; aErrParam for no content frame.
    aErr take(const std::string& client, const uint8_t* bytes, std::size_t size) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!take_)
            return aErrIO;
        return take_(client, bytes, size) ? aErrNone : aErrParam;
    }
    void forget(const std::string& client) {
        std::lock_guard<std::mutex> guard(lock_);
        if (forget_)
            forget_(client);
    }
    // Reads the module link on the calling thread for at most waitMs, as a caller of that link
    // waiting for a packet does (the server's filter sends the answers on their way); false, at
    // once, when the link is not the caller's to read now or the server stopped.
    bool readModule(uint32_t waitMs) {
        const uint32_t link = moduleLink_.load();
        return link != 0 && readLink_(link, waitMs);
    }
    // Called by the server as it stops: waits for a call under way, and none follows.
    void stop() {
        std::lock_guard<std::mutex> guard(lock_);
        take_ = nullptr;
        forget_ = nullptr;
        moduleLink_ = 0;
    }

  private:
    std::mutex lock_;
    Take take_;     // guarded by lock_
    Forget forget_; // guarded by lock_
    std::atomic<uint32_t> moduleLink_;
    const ReadLink readLink_;
};

// The routing identity of a new in-process client: unique in this process, and never one that
// ZeroMQ gives a peer of its own accord (those start with a zero byte).
std::string inprocClientIdentity();

// Sharing servers of this process by address and port: a client of one of them connects to the
// server's in-process endpoint, which spares each trip two passes through ZeroMQ's TCP I/O
// thread. Clients in other processes use TCP as ever.
std::string inprocServerEndpoint(uint32_t address, uint16_t port);
void inprocServerAdd(uint32_t address, uint16_t port, std::shared_ptr<InprocServer> server);
void inprocServerRemove(uint32_t address, uint16_t port);
// The server at address and port, or null when it is not in this process.
std::shared_ptr<InprocServer> inprocServerFind(uint32_t address, uint16_t port);

} // namespace corvane
