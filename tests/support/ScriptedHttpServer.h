// A tiny HTTP responder on 127.0.0.1 for replies a real server would never send: each connection
// gets the next scripted reply (the last one repeats), and may be left hanging to test time-outs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct ScriptedReply {
    std::string raw;    // bytes sent as they are once the request has arrived
    bool stall = false; // keep the connection open without another byte until the server stops
    std::chrono::milliseconds delay{0}; // wait this long before sending raw
    std::chrono::milliseconds drip{0};  // when set, send raw one byte per interval
    std::shared_future<void> gate{}; // when valid, raw waits for it (at most 30 s) before its delay
};

// A complete HTTP/1.1 reply with the given status and body.
inline ScriptedReply httpReply(int status, const std::string& body,
                               std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    return {"HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
            false, delay};
}

class ScriptedHttpServer {
  public:
    explicit ScriptedHttpServer(std::vector<ScriptedReply> replies) : replies_(std::move(replies)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, 8) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("scripted server: cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedHttpServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    uint16_t port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
    // The request targets (path and query) in arrival order.
    std::vector<std::string> targets() const {
        std::lock_guard lock(mutex_);
        return targets_;
    }
    // The requests as they arrived: request line and headers.
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    bool waitReadable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }

    void run() {
        size_t next = 0;
        while (!stop_) {
            if (!waitReadable(listener_, 50)) {
                continue;
            }
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            serve(client, replies_[std::min(next, replies_.size() - 1)]);
            ++next;
            close(client);
        }
    }

    void serve(int client, const ScriptedReply& reply) {
        std::string request;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (request.find("\r\n\r\n") == std::string::npos && !stop_ &&
               std::chrono::steady_clock::now() < deadline) {
            if (!waitReadable(client, 50)) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            request.append(buffer, static_cast<size_t>(n));
        }
        {
            const size_t start = request.find(' ') + 1;
            const size_t end = request.find(' ', start);
            std::lock_guard lock(mutex_);
            targets_.push_back(request.substr(start, end - start));
            requests_.push_back(request);
        }
        if (reply.gate.valid()) {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!stop_ && std::chrono::steady_clock::now() < limit &&
                   reply.gate.wait_for(std::chrono::milliseconds(20)) !=
                       std::future_status::ready) {
            }
        }
        const auto sendAt = std::chrono::steady_clock::now() + reply.delay;
        while (!stop_ && std::chrono::steady_clock::now() < sendAt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        size_t sent = 0;
        while (sent < reply.raw.size() && !stop_) {
            const size_t chunk = reply.drip.count() > 0 ? 1 : reply.raw.size() - sent;
            if (reply.drip.count() > 0) {
                std::this_thread::sleep_for(reply.drip);
            }
            const ssize_t n = send(client, reply.raw.data() + sent, chunk, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<size_t>(n);
        }
        while (reply.stall && !stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::vector<ScriptedReply> replies_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_; // guards targets_ and requests_
    std::vector<std::string> targets_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A loopback port with nothing listening on it.
inline uint16_t closedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

} // namespace testsupport
