// A module on loopback TCP written from the link's wire tables alone, for the sharing tests: it
// answers the address request with two empty packets as a module does, a get with a value that
// names what was asked, a set with its acknowledgement, and a call of its app command with the
// acknowledgement and then, unasked, the call's result. Whatever is addressed elsewhere goes
// unanswered. It serves any number of connections, one thread for all.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "corvane/aLink.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

namespace testsupport {

class WirePeer {
  public:
    static constexpr uint8_t kAddress = 2;
    static constexpr uint8_t kModel = 0x13;
    static constexpr uint8_t kAppCommand = 0x30; // option 1 runs it, option 2 is its result
    static constexpr uint32_t kResult = 42;

    // The value a get of (command, option, index) answers with: it names the request.
    static uint32_t valueOf(uint8_t command, uint8_t option, uint8_t index) {
        return 0x01000000u | uint32_t{command} << 16 | uint32_t{option} << 8 | index;
    }

    WirePeer() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof local;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&local), size) != 0 ||
            listen(listener_, 16) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &size) != 0)
            return;
        port_ = ntohs(local.sin_port);
        if (pipe(stop_) != 0)
            return;
        thread_ = std::thread([this] { run(); });
    }

    ~WirePeer() {
        if (thread_.joinable()) {
            const char end = 0;
            (void)!write(stop_[1], &end, 1);
            thread_.join();
        }
        for (auto& [fd, bytes] : connections_)
            close(fd);
        for (int fd : {listener_, stop_[0], stop_[1]})
            if (fd >= 0)
                close(fd);
    }

    uint16_t port() const { return port_; }
    // Requests to this module's address, counted as they arrive.
    std::size_t requests() const { return requests_.load(); }

  private:
    void run() {
        for (;;) {
            std::vector<pollfd> fds{{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
            for (auto& [fd, bytes] : connections_)
                fds.push_back({fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 1000) < 0 || fds[0].revents != 0)
                return;
            if (fds[1].revents & POLLIN) {
                const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                if (fd >= 0)
                    connections_[fd];
            }
            for (std::size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents != 0)
                    serve(fds[i].fd);
        }
    }

    void serve(int fd) {
        uint8_t chunk[4096];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            close(fd);
            connections_.erase(fd);
            return;
        }
        std::vector<uint8_t>& bytes = connections_[fd];
        bytes.insert(bytes.end(), chunk, chunk + n);
        std::size_t at = 0;
        while (bytes.size() - at >= 2 && bytes.size() - at >= 2u + bytes[at + 1]) {
            answer(fd, bytes[at],
                   std::vector<uint8_t>(bytes.begin() + at + 2,
                                        bytes.begin() + at + 2 + bytes[at + 1]));
            at += 2 + bytes[at + 1];
        }
        bytes.erase(bytes.begin(), bytes.begin() + at);
    }

    static void send(int fd, std::vector<uint8_t> data) {
        data.insert(data.begin(), {kAddress, static_cast<uint8_t>(data.size())});
        (void)!::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    }

    void answer(int fd, uint8_t address, const std::vector<uint8_t>& data) {
        if (address == 0xAD && data.empty()) {
            send(fd, {}); // a module answers with two empty packets
            send(fd, {});
            return;
        }
        if (address != kAddress || data.size() < 3)
            return;
        ++requests_;
        const uint8_t command = data[0], option = data[1] & 0x3F, index = data[2] & 0x1F;
        const uint8_t last = data.back();
        switch (data[1] & 0xC0) {
        case 0x40:
            if (command == 3 && option == 8) {
                send(fd, {3, 0x08, 0x00, kModel});
            } else {
                const uint32_t v = valueOf(command, option, index);
                send(fd, {command, option, index, static_cast<uint8_t>(v >> 24),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v)});
            }
            break;
        case 0x80:
            if (data.size() >= 27 && (last & 0x80) != 0)
                return; // a byte run goes on: it is acknowledged at its end
            send(fd, {command, static_cast<uint8_t>(0xC0 | option), index});
            if (command == kAppCommand && option == 1)
                send(fd, {command, 2, index, 0, 0, 0, static_cast<uint8_t>(kResult)});
            break;
        default: break;
        }
    }

    int listener_ = -1;
    int stop_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::map<int, std::vector<uint8_t>> connections_; // the peer thread's
    std::atomic<std::size_t> requests_{0};
    std::thread thread_;
};

// The answer a link gets to one UEI request: the first packet from the peer's module with this
// command, option byte and index (a reply or a value sent unasked alike). Null after the wait.
inline aPacket* awaitUEI(aLinkRef link, uint8_t command, uint8_t option, uint8_t index,
                         uint32_t timeoutMs = 3000) {
    struct Want {
        uint8_t command, option, index;
    } want{command, option, index};
    return aLink_AwaitFirst(
        link,
        [](const aPacket* p, void* reference) {
            const auto* w = static_cast<const Want*>(reference);
            return p->address == WirePeer::kAddress && p->length >= 3 && p->data[0] == w->command &&
                   p->data[1] == w->option && (p->data[2] & 0x1F) == w->index;
        },
        &want, timeoutMs);
}

// Gets (command, option, index) from the peer over the link: its value, or an error.
inline aErr getValue(aLinkRef link, uint8_t command, uint8_t option, uint8_t index,
                     uint32_t* value) {
    const uint8_t request[] = {command, static_cast<uint8_t>(0x40 | option),
                               static_cast<uint8_t>(0x20 | index)};
    aPacket* out = aPacket_CreateWithData(WirePeer::kAddress, sizeof request, request);
    const aErr put = aLink_PutPacket(link, out);
    aPacket_Destroy(&out);
    if (put != aErrNone)
        return put;
    aPacket* reply = awaitUEI(link, command, option, index);
    if (reply == nullptr)
        return aErrTimeout;
    const bool whole = reply->length == 7;
    *value = uint32_t{reply->data[3]} << 24 | uint32_t{reply->data[4]} << 16 |
             uint32_t{reply->data[5]} << 8 | reply->data[6];
    aPacket_Destroy(&reply);
    return whole ? aErrNone : aErrIO;
}

// Rounds of the address, the model and values only this asker asks for (by index), each answer
// checked against what was asked; the number of wrong or missing answers.
inline int askRounds(aLinkRef link, uint8_t mine, int rounds = 40) {
    int wrong = 0;
    for (int i = 0; i < rounds; ++i) {
        uint8_t address = 0, model = 0;
        uint32_t value = 0;
        const uint8_t option = static_cast<uint8_t>(i % 8);
        wrong +=
            aLink_GetModuleAddress(link, &address) != aErrNone || address != WirePeer::kAddress;
        wrong += aLink_GetModel(link, WirePeer::kAddress, &model) != aErrNone ||
                 model != WirePeer::kModel;
        wrong += getValue(link, 0x20, option, mine, &value) != aErrNone ||
                 value != WirePeer::valueOf(0x20, option, mine);
    }
    return wrong;
}

} // namespace testsupport
