// TCP sockets on BSD sockets: non-blocking connect with a deadline, then a non-blocking socket
// with no-delay and an abortive close; errno is sorted into outcomes here and nowhere else.
#include "platform/socket.h"

#include "platform/hot_path.h"
#include "platform/platform.h"
#include "sys_poll.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

SocketOutcome outcomeOf(int error) {
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return SocketOutcome::wouldBlock;
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
    case ETIMEDOUT:
    case EPIPE:
    case EBADF: return SocketOutcome::lost;
    default: return SocketOutcome::failed;
    }
}

aErr connectErrorOf(int error) {
    switch (error) {
    case ECONNREFUSED:
    case ECONNRESET:
    case ETIMEDOUT:
    case EAGAIN:
    case EINPROGRESS: return aErrConnection;
    default: return aErrIO;
    }
}

int64_t nowMs() {
    return static_cast<int64_t>(monotonicMilliseconds());
}

// Waits for a non-blocking connect to finish; returns the connection's error number.
int finishConnect(int fd, uint32_t timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            return ETIMEDOUT;
        }
        pollfd pfd{fd, POLLOUT, 0};
        int rc = ::poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            return errno;
        }
        if (rc == 0) {
            return ETIMEDOUT;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return errno;
        }
        return error;
    }
}

} // namespace

aErr connectTcp(uint32_t address, uint16_t port, uint32_t timeoutMs, SocketHandle& out) {
    out = invalidSocket;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return aErrIO;
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = address;
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        error = errno == EINPROGRESS || errno == EINTR ? finishConnect(fd, timeoutMs) : errno;
    }
    if (error != 0) {
        ::close(fd);
        return connectErrorOf(error);
    }
    const int on = 1;
    const timeval noTimeout{0, 0};
    const linger abortive{1, 0};
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) != 0) {
        ::close(fd);
        return aErrIO;
    }
    // Blocking from now on, so that a receive may wait in the one call that takes the bytes;
    // every call here that must not wait says so with MSG_DONTWAIT.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return aErrIO;
    }
    out = fd;
    return aErrNone;
}

namespace {

CORVANE_HOT_PATH SocketOutcome receiveWith(SocketHandle socket, uint8_t* buffer, size_t size,
                                           size_t& got, int flags) {
    got = 0;
    for (;;) {
        ssize_t n = ::recv(socket, buffer, size, flags);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return SocketOutcome::done;
        }
        if (n == 0) {
            return size == 0 ? SocketOutcome::done : SocketOutcome::peerClosed;
        }
        if (errno != EINTR) {
            return outcomeOf(errno);
        }
        if (flags == 0) {
            return SocketOutcome::wouldBlock; // a signal cut the wait short: the caller waits on
        }
    }
}

} // namespace

SocketOutcome receiveSocket(SocketHandle socket, uint8_t* buffer, size_t size, size_t& got) {
    return receiveWith(socket, buffer, size, got, MSG_DONTWAIT);
}

aErr setSocketReceiveWait(SocketHandle socket, uint32_t timeoutMs) {
    // A zero time-out would wait for ever.
    const uint32_t ms = std::max<uint32_t>(timeoutMs, 1);
    const timeval wait{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    return setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 ? aErrNone : aErrIO;
}

CORVANE_HOT_PATH SocketOutcome receiveSocketWaiting(SocketHandle socket, uint8_t* buffer,
                                                    size_t size, size_t& got) {
    return receiveWith(socket, buffer, size, got, 0);
}

aErr waitSocketReadable(SocketHandle socket, uint32_t timeoutMs) {
    return waitReadable(socket, timeoutMs);
}

CORVANE_HOT_PATH SocketOutcome sendSocket(SocketHandle socket, const uint8_t* bytes, size_t count,
                                          size_t& sent) {
    sent = 0;
    for (;;) {
        ssize_t n = ::send(socket, bytes, count, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            sent = static_cast<size_t>(n);
            return SocketOutcome::done;
        }
        if (errno != EINTR) {
            return outcomeOf(errno);
        }
    }
}

void closeSocket(SocketHandle socket) {
    if (socket != invalidSocket) {
        ::close(socket);
    }
}

} // namespace corvane::platform
