// The benchmarks' raw hosts: a blocking TCP connection to a module on loopback, Nagle off, so
// the baseline pays for nothing the library does not.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// The connected descriptor, or -1.
inline int connectLoopbackNoDelay(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the request and reads exactly replySize bytes back; false when the connection fails.
inline bool exchangeExactly(int fd, const uint8_t* request, std::size_t length, uint8_t* reply,
                            std::size_t replySize) {
    if (send(fd, request, length, 0) != static_cast<ssize_t>(length))
        return false;
    for (std::size_t got = 0; got < replySize;) {
        const ssize_t n = recv(fd, reply + got, replySize - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}
