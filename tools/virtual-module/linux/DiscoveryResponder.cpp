// Linux backend of the virtual module's discovery answers: a multicast listener on one
// interface, and a raw socket for replies from a forged source.
#include "DiscoveryResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Corvane::Tools {

namespace {

constexpr const char* kGroup = "232.2.2.2";
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr size_t kDatagramSize = DiscoveryResponder::kReplySize;
constexpr size_t kLongestJunk = 32;
constexpr auto kFollowingInterval = std::chrono::microseconds(100);

bool fail(std::string* error, const std::string& what) {
    if (error)
        *error = what + ": " + std::strerror(errno);
    return false;
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

bool DiscoveryResponder::start(const std::string& interfaceAddress, const ModuleIdentity& identity,
                               uint16_t tcpPort, std::string* error,
                               const DiscoveryFaults& faults) {
    stop();
    faults_ = faults;
    in_addr forged{};
    if (!faults.forgedSource.empty() &&
        ::inet_pton(AF_INET, faults.forgedSource.c_str(), &forged) != 1) {
        if (error)
            *error = "not an IPv4 address: " + faults.forgedSource;
        return false;
    }
    forgedSource_ = forged.s_addr;
    in_addr interface {
    }, group{};
    if (::inet_pton(AF_INET, interfaceAddress.c_str(), &interface) != 1) {
        if (error)
            *error = "not an IPv4 address: " + interfaceAddress;
        return false;
    }
    ::inet_pton(AF_INET, kGroup, &group);
    buildReply(identity, tcpPort, reply_);

    listenFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    replyFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listenFd_ < 0 || replyFd_ < 0 || wakeFd_ < 0) {
        const bool result = fail(error, "cannot create the discovery sockets");
        stop();
        return result;
    }
    if (!faults.forgedSource.empty()) {
        rawFd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
        if (rawFd_ < 0) {
            const bool result = fail(error, "cannot send from a forged address (a raw socket "
                                            "needs CAP_NET_RAW)");
            stop();
            return result;
        }
    }
    const int on = 1, off = 0;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kRequestPort);
    ip_mreq join{};
    join.imr_multiaddr = group;
    join.imr_interface = interface;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = interface;
    // Every responder on the host binds the request port; each hears only the group on its own
    // interface, and answers from that interface's address.
    if (::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        ::setsockopt(listenFd_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        ::setsockopt(listenFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0 ||
        ::bind(replyFd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        const bool result = fail(error, "cannot listen for discovery on " + interfaceAddress);
        stop();
        return result;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

void DiscoveryResponder::stop() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    closeFd(listenFd_);
    closeFd(replyFd_);
    closeFd(rawFd_);
    closeFd(wakeFd_);
}

void DiscoveryResponder::send(const uint8_t* data, size_t length) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = asker_;
    if (rawFd_ < 0) {
        to.sin_port = htons(kReplyPort);
        ::sendto(replyFd_, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
        return;
    }
    // The kernel fills in the IP header's checksum, identification and length; a UDP checksum
    // of 0 means none.
    uint8_t datagram[sizeof(iphdr) + sizeof(udphdr) + kLongestJunk] = {};
    auto* ip = reinterpret_cast<iphdr*>(datagram);
    ip->version = 4;
    ip->ihl = sizeof(iphdr) / 4;
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->saddr = forgedSource_;
    ip->daddr = asker_;
    auto* udp = reinterpret_cast<udphdr*>(datagram + sizeof(iphdr));
    udp->source = htons(kRequestPort);
    udp->dest = htons(kReplyPort);
    udp->len = htons(static_cast<uint16_t>(sizeof(udphdr) + length));
    std::memcpy(datagram + sizeof(iphdr) + sizeof(udphdr), data, length);
    ::sendto(rawFd_, datagram, sizeof(iphdr) + sizeof(udphdr) + length, MSG_NOSIGNAL,
             reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void DiscoveryResponder::sendFollowing(uint32_t n) {
    if (n + 1 < faults_.copies) {
        send(reply_, kDatagramSize);
        return;
    }
    // Junk of every length from 1 to 32 bytes but the reply's own.
    size_t length = 1 + (n + 1 - faults_.copies) % (kLongestJunk - 1);
    if (length >= kDatagramSize)
        ++length;
    uint8_t junk[kLongestJunk] = {};
    std::memcpy(junk, reply_, std::min(length, kDatagramSize));
    send(junk, length);
}

void DiscoveryResponder::serve() {
    using Clock = std::chrono::steady_clock;
    for (;;) {
        int timeoutMs = -1;
        if (followed_ < following_) {
            const auto now = Clock::now();
            if (now >= next_) {
                sendFollowing(followed_++);
                next_ += kFollowingInterval;
                continue;
            }
            timeoutMs =
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next_ - now).count());
        }
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (ready == 0)
            continue;
        uint8_t request[kDatagramSize + 1];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t n = ::recvfrom(listenFd_, request, sizeof request, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&sender), &length);
        if (n != static_cast<ssize_t>(kDatagramSize) || request[0] != 1)
            continue; // not a discovery request
        // A new request starts the answer anew, so what follows a reply stays bounded.
        asker_ = sender.sin_addr.s_addr;
        send(reply_, kDatagramSize);
        ++answered_;
        following_ = std::max<uint32_t>(faults_.copies, 1) - 1 + faults_.junk;
        followed_ = 0;
        next_ = Clock::now() + kFollowingInterval;
    }
}

} // namespace Corvane::Tools
