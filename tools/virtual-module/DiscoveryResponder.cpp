// Answers TCP/IP discovery requests for the virtual module on one interface.
#include "DiscoveryResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Corvane::Tools {

namespace {

constexpr const char* kGroup = "232.2.2.2";
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr size_t kDatagramSize = 16;

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

DiscoveryResponder::~DiscoveryResponder() {
    stop();
}

void DiscoveryResponder::buildReply(const ModuleIdentity& identity, uint16_t tcpPort,
                                    uint8_t reply[16]) {
    std::memset(reply, 0, kDatagramSize);
    reply[1] = identity.address;
    reply[2] = static_cast<uint8_t>(tcpPort & 0xFF);
    reply[3] = static_cast<uint8_t>(tcpPort >> 8);
    for (int i = 0; i < 4; ++i)
        reply[4 + i] = static_cast<uint8_t>(identity.serialNumber >> (8 * i));
    reply[12] = identity.model;
}

bool DiscoveryResponder::start(const std::string& interfaceAddress, const ModuleIdentity& identity,
                               uint16_t tcpPort, std::string* error) {
    stop();
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
    closeFd(wakeFd_);
}

void DiscoveryResponder::serve() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        uint8_t request[kDatagramSize + 1];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t n = ::recvfrom(listenFd_, request, sizeof request, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&sender), &length);
        if (n != static_cast<ssize_t>(kDatagramSize) || request[0] != 1)
            continue; // not a discovery request
        sender.sin_port = htons(kReplyPort);
        if (::sendto(replyFd_, reply_, kDatagramSize, MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&sender),
                     sizeof sender) == static_cast<ssize_t>(kDatagramSize))
            ++answered_;
    }
}

} // namespace Corvane::Tools
