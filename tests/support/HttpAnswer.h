// A reply as the update server's front ends write it: an HTTP status line or a CGI "Status:"
// header, the other headers, an empty line and the body.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

struct HttpAnswer {
    unsigned status = 0;
    std::string contentType;
    std::string body;
};

// Splits "<status line or Status: header>\r\n<headers>\r\n\r\n<body>" as both front ends write it.
inline HttpAnswer parseAnswer(const std::string& text, const std::string& statusPrefix) {
    HttpAnswer answer;
    const size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) {
        return answer;
    }
    answer.body = text.substr(end + 4);
    size_t line = 0;
    while (line < end) {
        const size_t next = text.find("\r\n", line);
        const std::string header = text.substr(line, next - line);
        if (header.rfind(statusPrefix, 0) == 0) {
            // "HTTP/1.x NNN" or "Status: NNN": the number follows the first space.
            answer.status = std::stoul(header.substr(header.find(' ') + 1));
        } else if (header.rfind("Content-Type: ", 0) == 0) {
            answer.contentType = header.substr(14);
        }
        line = next + 2;
    }
    return answer;
}

// A connection to a server on 127.0.0.1:port; -1 (and a failed expectation) when refused.
inline int connectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot connect to port " << port;
        close(fd);
        return -1;
    }
    return fd;
}

// Everything fd receives until the peer closes, or until nothing came for timeoutMs.
inline std::string readUntilClosed(int fd, int timeoutMs = 10000) {
    std::string text;
    char buffer[65536];
    pollfd readable{fd, POLLIN, 0};
    while (poll(&readable, 1, timeoutMs) == 1) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// The update-server daemon's answer to a raw request line, read until it closes the connection.
inline HttpAnswer daemonAnswer(uint16_t port, const std::string& method,
                               const std::string& target) {
    const int fd = connectLoopback(port);
    const std::string request = method + " " + target + " HTTP/1.0\r\n\r\n";
    EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    const std::string text = readUntilClosed(fd);
    close(fd);
    return parseAnswer(text, "HTTP/1.");
}
