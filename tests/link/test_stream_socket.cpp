// The TCP socket stream against a loopback listener: byte order both ways, not-ready answers,
// push-back, waiting for bytes, watching them muted or not, a peer that closes, a peer that
// resets, and a port nobody listens on.
#include "aStream_Internal.h"
#include "corvane/aStream.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 at a port the system picks.
class LoopbackListener {
  public:
    LoopbackListener() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(listener_, 4) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~LoopbackListener() {
        for (int fd : accepted_) {
            close(fd);
        }
        close(listener_);
    }
    uint16_t port() const { return port_; }
    static uint32_t address() { return htonl(INADDR_LOOPBACK); }

    // The next connection, or -1 when a hang guard of 10 s passed without one.
    int accept() {
        pollfd pfd{listener_, POLLIN, 0};
        if (poll(&pfd, 1, 10000) != 1) {
            return -1;
        }
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        accepted_.push_back(fd);
        return fd;
    }
    // Closes a connection, with a reset when abortive.
    void drop(int fd, bool abortive) {
        if (abortive) {
            linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        close(fd);
        std::erase(accepted_, fd);
    }

  private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::vector<int> accepted_;
};

std::vector<uint8_t> receiveAll(int fd, size_t count) {
    std::vector<uint8_t> out(count);
    size_t got = 0;
    while (got < count) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 10000) != 1) { // a hang guard
            break;
        }
        ssize_t n = recv(fd, out.data() + got, count - got, 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
}

// Reads count bytes, polling as the link reader does; a hang guard ends it after 10 s.
aErr readWithin(aStream* s, uint8_t* buffer, size_t count) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    aErr err;
    while ((err = aStream_Read(s, buffer, count)) == aErrNotReady &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    return err;
}

class SocketStream : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(server.port(), 0);
        ASSERT_EQ(aStream_CreateSocket(LoopbackListener::address(), server.port(), &stream),
                  aErrNone);
        peer = server.accept();
        ASSERT_GE(peer, 0);
    }
    void TearDown() override { aStream_Destroy(&stream); }
    LoopbackListener server;
    aStream* stream = nullptr;
    int peer = -1;
};

TEST_F(SocketStream, KeepsByteOrderBothWays) {
    std::vector<uint8_t> bytes(10000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    }
    ASSERT_EQ(send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    std::vector<uint8_t> got(bytes.size());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(readWithin(stream, &got[i], 1), aErrNone) << "byte " << i;
    }
    EXPECT_EQ(got, bytes);

    ASSERT_EQ(aStream_Write(stream, bytes.data(), bytes.size()), aErrNone);
    ASSERT_EQ(aStream_Write(stream, bytes.data(), 1), aErrNone);
    std::vector<uint8_t> expected = bytes;
    expected.push_back(bytes[0]);
    EXPECT_EQ(receiveAll(peer, expected.size()), expected);
}

TEST_F(SocketStream, NothingThereIsNotReadyAndAShortReadIsPushedBack) {
    uint8_t buffer[4] = {};
    EXPECT_EQ(aStream_Read(stream, buffer, 1), aErrNotReady);
    ASSERT_EQ(send(peer, "\x04\x02", 2, 0), 2);
    ASSERT_EQ(aStream_Wait(stream, 10000), aErrNone); // bytes are there, fewer than asked for
    EXPECT_EQ(aStream_Read(stream, buffer, 4), aErrNotReady);
    ASSERT_EQ(send(peer, "\x11\x22", 2, 0), 2);
    ASSERT_EQ(readWithin(stream, buffer, 4), aErrNone);
    EXPECT_EQ(buffer[0], 0x04);
    EXPECT_EQ(buffer[1], 0x02);
    EXPECT_EQ(buffer[2], 0x11);
    EXPECT_EQ(buffer[3], 0x22);
}

TEST_F(SocketStream, WaitWakesForBytesFromAnotherThreadAndTimesOutWithoutThem) {
    EXPECT_EQ(aStream_Wait(stream, 0), aErrNotReady);
    EXPECT_EQ(aStream_Wait(stream, 20), aErrNotReady);

    std::thread module([this] {
        std::this_thread::sleep_for(50ms);
        send(peer, "\x42", 1, 0);
    });
    const auto started = std::chrono::steady_clock::now();
    const aErr waited = aStream_Wait(stream, 20000);
    const auto took = std::chrono::steady_clock::now() - started;
    module.join();
    ASSERT_EQ(waited, aErrNone);
    EXPECT_LT(took, 10s) << "woken by the byte, not by the time-out";
    uint8_t byte = 0;
    ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 0x42);
}

TEST_F(SocketStream, WaitIsReadyAtOnceForBytesAlreadyTaken) {
    // Three bytes arrive in one receive; after the first, two wait in the stream's own buffer.
    ASSERT_EQ(send(peer, "\x01\x02\x03", 3, 0), 3);
    uint8_t buffer[4] = {};
    ASSERT_EQ(readWithin(stream, buffer, 1), aErrNone);
    EXPECT_EQ(aStream_Wait(stream, 0), aErrNone);
    // A short read pushes them back: ready still, though the socket itself is empty.
    EXPECT_EQ(aStream_Read(stream, buffer, 4), aErrNotReady);
    EXPECT_EQ(aStream_Wait(stream, 0), aErrNone);
    ASSERT_EQ(aStream_Read(stream, buffer, 2), aErrNone);
    EXPECT_EQ(buffer[1], 0x03);
    EXPECT_EQ(aStream_Wait(stream, 0), aErrNotReady);
}

// The link reader idles in a watch that stop calls it away from: a wake raised before or during
// the watch must end it (or stop would hang), and one cleared must not (or the reader spins).
TEST_F(SocketStream, WatchIsCalledAwayByARaisedWakeUntilItIsCleared) {
    namespace platform = corvane::platform;
    platform::WakeHandle wake = platform::noWake;
    ASSERT_EQ(platform::makeWake(wake), aErrNone);
    EXPECT_EQ(aStream_Watch(stream, wake, 0), aErrNotReady);
    platform::raiseWake(wake);
    platform::raiseWake(wake);
    EXPECT_EQ(aStream_Watch(stream, wake, 20000), aErrCancel);
    EXPECT_EQ(aStream_Watch(stream, wake, 0), aErrCancel); // raised until cleared
    platform::clearWake(wake);                             // takes back both raises
    EXPECT_EQ(aStream_Watch(stream, wake, 0), aErrNotReady);
    std::thread raiser([&] { platform::raiseWake(wake); });
    EXPECT_EQ(aStream_Watch(stream, wake, 20000), aErrCancel);
    raiser.join();
    platform::clearWake(wake);
    ASSERT_EQ(send(peer, "\x42", 1, 0), 1);
    EXPECT_EQ(aStream_Watch(stream, wake, 20000), aErrNone);
    platform::closeWake(wake);
}

// A caller reading for itself mutes the socket in the idle reader's watch, so its reply does not
// wake the reader as well. Muted, bytes must not end the watch (or the reader wakes for every
// reply); a raised wake and a reset connection still must, and unmuting with bytes waiting ends
// it at once (or they wait out the reader's whole watch).
TEST_F(SocketStream, MutedWatchSleepsThroughBytesButNotThroughAWakeOrAReset) {
    namespace platform = corvane::platform;
    platform::WakeHandle wake = platform::noWake;
    ASSERT_EQ(platform::makeWake(wake), aErrNone);
    ASSERT_EQ(aStream_Mute(stream, true), aErrNone);
    ASSERT_EQ(send(peer, "\x42", 1, 0), 1);
    EXPECT_EQ(aStream_Watch(stream, wake, 50), aErrNotReady);
    platform::raiseWake(wake);
    EXPECT_EQ(aStream_Watch(stream, wake, 20000), aErrCancel);
    platform::clearWake(wake);
    std::thread unmute([&] { aStream_Mute(stream, false); });
    EXPECT_EQ(aStream_Watch(stream, wake, 20000), aErrNone);
    unmute.join();
    uint8_t byte = 0;
    ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    ASSERT_EQ(aStream_Mute(stream, true), aErrNone);
    server.drop(peer, true);
    EXPECT_EQ(aStream_Watch(stream, wake, 20000), aErrNone);
    platform::closeWake(wake);
}

// The caller's read waits and reads in one step: bytes held back come first without a wait,
// none within the time is not ready, and bytes that come during the wait end it.
TEST_F(SocketStream, ReadWithinHandsOutWhatComesWithinItsTime) {
    uint8_t buffer[8] = {};
    size_t got = 0;
    EXPECT_EQ(aStream_ReadWithin(stream, buffer, sizeof buffer, &got, 20), aErrNotReady);
    EXPECT_EQ(got, 0u);
    const uint8_t held[] = {7, 8};
    ASSERT_EQ(aStream_Unread(stream, held, 2), aErrNone);
    ASSERT_EQ(aStream_ReadWithin(stream, buffer, sizeof buffer, &got, 20000), aErrNone);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buffer[1], 8);
    std::thread module([this] {
        std::this_thread::sleep_for(50ms); // most likely mid-wait by then; it holds either way
        send(peer, "\x01\x02\x03", 3, 0);
    });
    ASSERT_EQ(aStream_ReadWithin(stream, buffer, 2, &got, 20000), aErrNone);
    module.join();
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buffer[1], 0x02);
    ASSERT_EQ(aStream_ReadWithin(stream, buffer, sizeof buffer, &got, 20000), aErrNone);
    EXPECT_EQ(got, 1u); // the rest of that receive, from the stream's own buffer
    EXPECT_EQ(buffer[0], 0x03);
    server.drop(peer, false);
    EXPECT_EQ(aStream_ReadWithin(stream, buffer, sizeof buffer, &got, 20000), aErrConnection);
}

TEST_F(SocketStream, PeerCloseDeliversWhatWasSentThenReportsTheConnectionGone) {
    // A module that reboots closes its end cleanly; the link must see it leave, not silence.
    ASSERT_EQ(send(peer, "ab", 2, 0), 2);
    server.drop(peer, false);
    uint8_t buffer[2] = {};
    ASSERT_EQ(readWithin(stream, buffer, 2), aErrNone);
    EXPECT_EQ(buffer[1], 'b');
    EXPECT_EQ(readWithin(stream, buffer, 1), aErrConnection);
    EXPECT_EQ(aStream_Read(stream, buffer, 1), aErrConnection);
}

TEST_F(SocketStream, ResetConnectionIsReestablishedOnRead) {
    server.drop(peer, true);
    ASSERT_EQ(aStream_Wait(stream, 10000), aErrNone); // the reset has come
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    int second = server.accept();
    ASSERT_GE(second, 0) << "the stream connected again";
    ASSERT_EQ(send(second, "z", 1, 0), 1);
    ASSERT_EQ(readWithin(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'z');
}

TEST_F(SocketStream, WriteAfterAResetGoesOutOnANewConnection) {
    server.drop(peer, true);
    ASSERT_EQ(aStream_Wait(stream, 10000), aErrNone); // the reset has come
    const uint8_t bytes[] = {1, 2, 3};
    ASSERT_EQ(aStream_Write(stream, bytes, 3), aErrNone);
    int second = server.accept();
    ASSERT_GE(second, 0);
    EXPECT_EQ(receiveAll(second, 3), std::vector<uint8_t>(bytes, bytes + 3));
}

TEST_F(SocketStream, RecordWithoutItsCheckWordIsRefused) {
    // The socket record begins with its check word.
    auto* check = static_cast<uint16_t*>(aStream_Reference(stream));
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(*check, 0xDEAD);
    ASSERT_EQ(send(peer, "q", 1, 0), 1);

    *check = 0;
    uint8_t byte = 0x42;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Wait(stream, 0), aErrParam);
    EXPECT_EQ(aStream_Write(stream, &byte, 1), aErrParam);

    *check = 0xDEAD;
    ASSERT_EQ(readWithin(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 'q');
    ASSERT_EQ(aStream_Write(stream, &byte, 1), aErrNone);
    EXPECT_EQ(receiveAll(peer, 1), std::vector<uint8_t>{'q'}) << "only the accepted write";
}

TEST_F(SocketStream, WriteToAPeerThatNeverReadsGivesUp) {
    // Far more than the kernel buffers on both sides hold: the write must end, not hang.
    std::vector<uint8_t> flood(32 * 1024 * 1024, 0x5A);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Write(stream, flood.data(), flood.size()), aErrIO);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(SocketStreamCreate, NobodyListeningIsAResourceError) {
    uint16_t port = 0;
    {
        LoopbackListener closed; // take a free port, then stop listening on it
        port = closed.port();
    }
    aStream* stream = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateSocket(LoopbackListener::address(), port, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateSocket(LoopbackListener::address(), port, nullptr), aErrParam);
}

} // namespace
