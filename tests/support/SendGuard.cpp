// Linked into every test program: a datagram for many hosts (multicast, broadcast) that a test
// sends outside a network namespace it made itself is refused, and fails that test.
#include "NetworkNamespace.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// Read once: library threads send while tests change other variables of the environment.
bool outsideTestNamespace() {
    static const bool outside = !testsupport::insideNetworkNamespace();
    return outside;
}

// A multicast group, the limited broadcast, or a broadcast address from a socket allowed to
// broadcast (the loopback beacon's 127.255.255.255, a subnet's x.y.z.255).
bool forManyHosts(int fd, const void* to, socklen_t length, sockaddr_in& target) {
    if (to == nullptr || length < sizeof target)
        return false;
    std::memcpy(&target, to, sizeof target);
    if (target.sin_family != AF_INET)
        return false;
    const uint32_t address = ntohl(target.sin_addr.s_addr);
    if (IN_MULTICAST(address) || address == INADDR_BROADCAST)
        return true;
    int broadcast = 0;
    socklen_t size = sizeof broadcast;
    return (address & 0xFF) == 0xFF &&
           getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &broadcast, &size) == 0 && broadcast != 0;
}

ssize_t refuse(const sockaddr_in& target) {
    // One failure for each test is enough: a beacon repeats every 100 ms.
    static std::atomic<const testing::TestInfo*> lastFailed{nullptr};
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr || lastFailed.exchange(test) != test) {
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &target.sin_addr, text, sizeof text);
        ADD_FAILURE() << "a datagram to " << text << ":" << ntohs(target.sin_port)
                      << " would reach other hosts: start the test with "
                         "testsupport::enterNetworkNamespace()";
    }
    errno = EPERM;
    return -1;
}

} // namespace

// These replace the C library's own for the test program and the libraries it loads.
extern "C" ssize_t sendto(int fd, const void* bytes, size_t count, int flags, const sockaddr* to,
                          socklen_t length) {
    sockaddr_in target{};
    if (outsideTestNamespace() && forManyHosts(fd, to, length, target))
        return refuse(target);
    return syscall(SYS_sendto, fd, bytes, count, flags, to, length);
}

extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
    sockaddr_in target{};
    if (outsideTestNamespace() && message != nullptr &&
        forManyHosts(fd, message->msg_name, message->msg_namelen, target))
        return refuse(target);
    return syscall(SYS_sendmsg, fd, message, flags);
}
