// Linux backend of the tools' sockets: BSD sockets, an eventfd as the wake, ppoll for the wait.
#include "ToolSockets.h"
#include "SocketAddresses.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Corvane::Tools::os {

std::string lastSocketError() {
    return std::strerror(errno);
}

ListenStep listenTcp(const ListenRequest& request, Socket& out, uint16_t& boundPort, bool& ipv6) {
    out = kNoSocket;
    sockaddr_storage address{};
    int length = 0;
    if (!socketAddress(request.address, request.port, request.allowIpv6, address, length))
        return ListenStep::address;
    ipv6 = address.ss_family == AF_INET6;
    const int fd =
        ::socket(address.ss_family,
                 SOCK_STREAM | SOCK_CLOEXEC | (request.nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return ListenStep::create;
    const auto fail = [fd](ListenStep step) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return step;
    };
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return fail(ListenStep::create);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), static_cast<socklen_t>(length)) !=
        0)
        return fail(ListenStep::bind);
    socklen_t bound = sizeof address;
    if (::listen(fd, request.backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &bound) != 0)
        return fail(ListenStep::listen);
    boundPort = portOf(address);
    out = fd;
    return ListenStep::done;
}

AcceptOutcome acceptConnection(Socket listening, Socket& out) {
    out = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (out < 0) {
        out = kNoSocket;
        const bool exhausted =
            errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
        return exhausted ? AcceptOutcome::exhausted : AcceptOutcome::none;
    }
    const int on = 1;
    ::setsockopt(out, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return AcceptOutcome::accepted;
}

Transfer sendSome(Socket socket, const uint8_t* bytes, size_t size, size_t& count) {
    for (;;) {
        const ssize_t n = ::send(socket, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            count = static_cast<size_t>(n);
            return n > 0 ? Transfer::moved : Transfer::wouldBlock;
        }
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Transfer::wouldBlock : Transfer::failed;
    }
}

Transfer receiveSome(Socket socket, uint8_t* buffer, size_t size, size_t& count) {
    for (;;) {
        const ssize_t n = ::recv(socket, buffer, size, MSG_DONTWAIT);
        if (n > 0) {
            count = static_cast<size_t>(n);
            return Transfer::moved;
        }
        if (n == 0)
            return Transfer::closed;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Transfer::wouldBlock : Transfer::failed;
    }
}

void resetOnClose(Socket socket) {
    const linger abortive{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

void shutdownSocket(Socket socket) {
    ::shutdown(socket, SHUT_RDWR);
}

void closeSocket(Socket socket) {
    if (socket >= 0)
        ::close(socket);
}

bool makeWake(Wake& wake) {
    wake.readEnd = wake.writeEnd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return wake.readEnd >= 0;
}

void raiseWake(const Wake& wake) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake.writeEnd, &one, sizeof one);
}

void drainWake(const Wake& wake) {
    uint64_t value;
    [[maybe_unused]] const ssize_t n = ::read(wake.readEnd, &value, sizeof value);
}

void closeWake(Wake& wake) {
    if (wake.readEnd >= 0)
        ::close(wake.readEnd);
    wake.readEnd = wake.writeEnd = -1;
}

WaitOutcome waitSockets(std::vector<Watched>& sockets, const Wake& wake,
                        std::chrono::nanoseconds timeout) {
    thread_local std::vector<pollfd> fds;
    fds.clear();
    fds.push_back({wake.readEnd, POLLIN, 0});
    for (const Watched& w : sockets)
        fds.push_back(
            {w.socket, static_cast<short>((w.read ? POLLIN : 0) | (w.write ? POLLOUT : 0)), 0});
    const auto wait = std::max(timeout, std::chrono::nanoseconds::zero());
    const timespec limit{static_cast<time_t>(wait.count() / 1000000000),
                         static_cast<long>(wait.count() % 1000000000)};
    const int ready = ::ppoll(fds.data(), fds.size(), &limit, nullptr);
    if (ready < 0)
        return errno == EINTR ? WaitOutcome::timedOut : WaitOutcome::failed;
    if (ready == 0)
        return WaitOutcome::timedOut;
    for (size_t i = 0; i < sockets.size(); ++i) {
        const short events = fds[i + 1].revents;
        sockets[i].readable = (events & (POLLIN | POLLHUP | POLLERR)) != 0;
        sockets[i].writable = (events & POLLOUT) != 0;
    }
    return fds[0].revents != 0 ? WaitOutcome::woken : WaitOutcome::ready;
}

void preciseTimedWaits() {
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
}

} // namespace Corvane::Tools::os
