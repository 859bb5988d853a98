// Windows backend of the tools' sockets: Winsock, a loopback UDP socket that sends to itself as
// the wake, WSAPoll for the wait.
#include "ToolSockets.h"
#include "SocketAddresses.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>

namespace Corvane::Tools::os {

namespace {

bool winsockReady() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

SOCKET handle(Socket socket) {
    return socket < 0 ? INVALID_SOCKET : static_cast<SOCKET>(socket);
}

Socket number(SOCKET socket) {
    return socket == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(socket);
}

bool setNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

bool wouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS;
}

} // namespace

std::string lastSocketError() {
    const int error = WSAGetLastError();
    char text[256] = "";
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "Winsock error " + std::to_string(error) : message;
}

ListenStep listenTcp(const ListenRequest& request, Socket& out, uint16_t& boundPort, bool& ipv6) {
    out = kNoSocket;
    if (!winsockReady())
        return ListenStep::create;
    sockaddr_storage address{};
    int length = 0;
    if (!socketAddress(request.address, request.port, request.allowIpv6, address, length))
        return ListenStep::address;
    ipv6 = address.ss_family == AF_INET6;
    // Not inherited by the processes a tool starts, as SOCK_CLOEXEC on Linux.
    const SOCKET s = WSASocketW(address.ss_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return ListenStep::create;
    const auto fail = [s](ListenStep step) {
        const int saved = WSAGetLastError();
        closesocket(s);
        WSASetLastError(saved);
        return step;
    };
    // Windows's SO_REUSEADDR lets another socket take a port in use; a port left in TIME_WAIT
    // is free for bind there without it.
    const BOOL on = TRUE;
    if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0 ||
        (request.nonBlocking && !setNonBlocking(s)))
        return fail(ListenStep::create);
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), length) != 0)
        return fail(ListenStep::bind);
    if (listen(s, request.backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return fail(ListenStep::listen);
    boundPort = portOf(address);
    out = number(s);
    return ListenStep::done;
}

AcceptOutcome acceptConnection(Socket listening, Socket& out) {
    const SOCKET s = accept(handle(listening), nullptr, nullptr);
    out = kNoSocket;
    if (s == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        return error == WSAEMFILE || error == WSAENOBUFS ? AcceptOutcome::exhausted
                                                         : AcceptOutcome::none;
    }
    const BOOL on = TRUE;
    if (!setNonBlocking(s)) {
        closesocket(s);
        return AcceptOutcome::none;
    }
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    out = number(s);
    return AcceptOutcome::accepted;
}

Transfer sendSome(Socket socket, const uint8_t* bytes, size_t size, size_t& count) {
    const int n = send(handle(socket), reinterpret_cast<const char*>(bytes),
                       static_cast<int>(std::min<size_t>(size, 1u << 30)), 0);
    if (n > 0) {
        count = static_cast<size_t>(n);
        return Transfer::moved;
    }
    if (n == 0 || wouldBlock(WSAGetLastError()))
        return Transfer::wouldBlock;
    return Transfer::failed;
}

Transfer receiveSome(Socket socket, uint8_t* buffer, size_t size, size_t& count) {
    const int n = recv(handle(socket), reinterpret_cast<char*>(buffer),
                       static_cast<int>(std::min<size_t>(size, 1u << 30)), 0);
    if (n > 0) {
        count = static_cast<size_t>(n);
        return Transfer::moved;
    }
    if (n == 0)
        return Transfer::closed;
    return wouldBlock(WSAGetLastError()) ? Transfer::wouldBlock : Transfer::failed;
}

void resetOnClose(Socket socket) {
    const linger abortive{1, 0};
    setsockopt(handle(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
               sizeof abortive);
}

void shutdownSocket(Socket socket) {
    shutdown(handle(socket), SD_BOTH);
}

void closeSocket(Socket socket) {
    if (socket >= 0)
        closesocket(handle(socket));
}

bool makeWake(Wake& wake) {
    wake = Wake{};
    if (!winsockReady())
        return false;
    const SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof self;
    if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 || !setNonBlocking(s)) {
        closesocket(s);
        return false;
    }
    wake.readEnd = wake.writeEnd = number(s);
    return true;
}

void raiseWake(const Wake& wake) {
    const char one = 1;
    send(handle(wake.writeEnd), &one, 1, 0);
}

void drainWake(const Wake& wake) {
    char bytes[64];
    while (recv(handle(wake.readEnd), bytes, sizeof bytes, 0) > 0) {
    }
}

void closeWake(Wake& wake) {
    closeSocket(wake.readEnd);
    wake.readEnd = wake.writeEnd = -1;
}

WaitOutcome waitSockets(std::vector<Watched>& sockets, const Wake& wake,
                        std::chrono::nanoseconds timeout) {
    // WSAPoll refuses an entry with no socket or no events: those are left out and mapped back.
    thread_local std::vector<WSAPOLLFD> fds;
    thread_local std::vector<size_t> index;
    fds.clear();
    index.clear();
    fds.push_back({handle(wake.readEnd), POLLRDNORM, 0});
    for (size_t i = 0; i < sockets.size(); ++i) {
        Watched& w = sockets[i];
        w.readable = w.writable = false;
        const SHORT events =
            static_cast<SHORT>((w.read ? POLLRDNORM : 0) | (w.write ? POLLWRNORM : 0));
        if (w.socket == kNoSocket || events == 0)
            continue;
        fds.push_back({handle(w.socket), events, 0});
        index.push_back(i);
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(
        std::max(timeout, std::chrono::nanoseconds::zero()));
    const int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()),
                              static_cast<INT>(std::min<int64_t>(ms.count(), INT32_MAX)));
    if (ready < 0)
        return WaitOutcome::failed;
    if (ready == 0)
        return WaitOutcome::timedOut;
    for (size_t k = 1; k < fds.size(); ++k) {
        const SHORT events = fds[k].revents;
        Watched& w = sockets[index[k - 1]];
        w.readable = (events & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
        w.writable = (events & POLLWRNORM) != 0;
    }
    return fds[0].revents != 0 ? WaitOutcome::woken : WaitOutcome::ready;
}

void preciseTimedWaits() {}

} // namespace Corvane::Tools::os
