// ZeroMQ helpers of the sharing server and client: loopback socket pairs and bounded sends.
#include "aZmqSockets.h"

#include "aBeacon.h"
#include "aShareTrace.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

namespace corvane {

namespace {

constexpr int kSendTries = 100;
constexpr auto kSendPause = std::chrono::milliseconds(1);

} // namespace

bool SocketPair::open() {
    czmqPrepare();
    bound = zsock_new(ZMQ_DEALER);
    connected = zsock_new(ZMQ_DEALER);
    if (bound == nullptr || connected == nullptr)
        return false;
    const int boundPort = zsock_bind(bound, "tcp://127.0.0.1:*");
    if (boundPort <= 0)
        return false;
    port = static_cast<uint16_t>(boundPort);
    return zsock_connect(connected, "tcp://127.0.0.1:%d", boundPort) == 0;
}

void SocketPair::close() {
    zsock_destroy(&bound);
    zsock_destroy(&connected);
    port = 0;
}

bool sendBounded(zsock_t* socket, const void* bytes, std::size_t count, int flags) {
    void* handle = zsock_resolve(socket);
    for (int attempt = 0; attempt < kSendTries; ++attempt) {
        if (zmq_send(handle, bytes, count, flags | ZMQ_DONTWAIT) >= 0)
            return true;
        if (zmq_errno() != EAGAIN && zmq_errno() != EINTR)
            return false;
        std::this_thread::sleep_for(kSendPause);
    }
    return false;
}

} // namespace corvane

namespace corvane {

// Off until the library's trace switch reaches this layer.
constexpr bool kShareTraceOn = false;

void shareTrace(const char* format, ...) {
    if (!kShareTraceOn)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

} // namespace corvane
