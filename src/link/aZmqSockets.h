// Helpers shared by the sharing server and the client stream: CZMQ's start, in-process socket
// pairs, and this process's servers with the inboxes of their clients here (exit: aAtExit.h).
#pragma once

#include "aAtExit.h"
#include "corvane/aError.h"

#include <czmq.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

// The frames a sharing server in this process sends one of its in-process clients, handed over
// in order without ZeroMQ: the server puts them (under its turn), the client's read path takes
// them. A client that takes them on the thread that put them, as one reading the server's module
// link for itself does, costs no wake-up at all.
class InprocInbox {
  public:
    InprocInbox();
    ~InprocInbox();
    InprocInbox(const InprocInbox&) = delete;
    InprocInbox& operator=(const InprocInbox&) = delete;
    // False when no wake-up descriptor could be had: the inbox cannot be waited on.
    bool usable() const;
    // Frames held at most, as many as ZeroMQ queues for a client that does not read.
    static constexpr std::size_t kLimit = 1000;
    // One frame behind the others, waking whoever waits in await; false (the frame is lost)
    // when kLimit frames wait already.
    bool put(const uint8_t* bytes, std::size_t size);
    // The oldest frame, moved into frame; false when there is none. The read path's alone.
    bool take(std::vector<uint8_t>& frame);
    // Waits at most timeoutMs (0: only looks) until a frame is there or wake() was called,
    // taking none: aErrNone then; aErrCancel once cancel (a platform wake-up handle, or -1 for
    // none) is raised; aErrNotReady when the time ran out; aErrIO when waiting failed. Any
    // number of threads may wait at once, beside the read path.
    aErr await(uint32_t timeoutMs, int cancel = -1);
    // Ends every wait under way or to come, for a client that is closing.
    void wake();

  private:
    std::mutex lock_;
    std::deque<std::vector<uint8_t>> frames_; // guarded by lock_
    unsigned waiters_ = 0;                    // guarded by lock_: threads asleep in await
    // Guarded by lock_, as is raising and clearing wake_: wake_ is raised from a put that found
    // someone waiting until the inbox is empty again, so every waiter sees it.
    bool raised_ = false;
    bool woken_ = false; // guarded by lock_
    int wake_;           // a platform wake-up handle
};

// A sharing server of this process as its in-process clients see it. Such a client hands its
// packets to the server on its own thread, so a request reaches the module without a pass
// through ZeroMQ or a wake-up of the server's thread, and the server puts the frames for it in
// its inbox. While such a client waits for an answer, it may read the server's module link
// itself, so the answer reaches it without a wake-up of any thread.
class InprocServer {
  public:
    // What the server does for its in-process clients, each called under the InprocServer's
    // lock, so stop() waits for a call under way. take(client, bytes, size): one content frame
    // from the client with that routing identity, false when it was no content frame.
    // attach(client, inbox): the client's frames go to the inbox from now on. forget(client):
    // the client is gone.
    struct Calls {
        std::function<bool(const std::string&, const uint8_t*, std::size_t)> take;
        std::function<void(const std::string&, std::shared_ptr<InprocInbox>)> attach;
        std::function<void(const std::string&)> forget;
    };
    // moduleLink: the engine link the server serves, which readLink(moduleLink, waitMs) reads as
    // a caller.
    using ReadLink = bool (*)(uint32_t link, uint32_t waitMs);
    InprocServer(Calls calls, uint32_t moduleLink, ReadLink readLink)
        : calls_(std::move(calls)), moduleLink_(moduleLink), readLink_(readLink) {}
    // aErrIO once the server stopped; aErrParam for no content frame.
    aErr take(const std::string& client, const uint8_t* bytes, std::size_t size) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!calls_.take)
            return aErrIO;
        return calls_.take(client, bytes, size) ? aErrNone : aErrParam;
    }
    // False once the server stopped.
    bool attach(const std::string& client, std::shared_ptr<InprocInbox> inbox) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!calls_.attach)
            return false;
        calls_.attach(client, std::move(inbox));
        return true;
    }
    void forget(const std::string& client) {
        std::lock_guard<std::mutex> guard(lock_);
        if (calls_.forget)
            calls_.forget(client);
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
        calls_ = Calls{};
        moduleLink_ = 0;
    }

  private:
    std::mutex lock_;
    Calls calls_; // guarded by lock_
    std::atomic<uint32_t> moduleLink_;
    const ReadLink readLink_;
};

// The routing identity of a new in-process client: unique in this process, and never one that
// ZeroMQ gives a peer of its own accord (those start with a zero byte).
std::string inprocClientIdentity();

// Sharing servers of this process by address and port: a client of one of them hands its
// packets over and takes the answers from its inbox, which spares each trip every pass through
// ZeroMQ. Clients in other processes use TCP as ever.
void inprocServerAdd(uint32_t address, uint16_t port, std::shared_ptr<InprocServer> server);
void inprocServerRemove(uint32_t address, uint16_t port);
// The server at address and port, or null when it is not in this process.
std::shared_ptr<InprocServer> inprocServerFind(uint32_t address, uint16_t port);

} // namespace corvane
