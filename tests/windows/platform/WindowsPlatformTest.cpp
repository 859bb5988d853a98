// The Windows platform backend where it differs from Linux in kind: wake-ups made of a loopback
// socket, claims held by LockFileEx, store renames over files that are open, COM port names and
// TCP sockets that stay non-blocking.
#include "platform/platform.h"
#include "platform/serial.h"
#include "platform/socket.h"
#include "platform/udp.h"

#include "ScopedTempDir.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <map>
#include <string>
#include <thread>

namespace platform = corvane::platform;

namespace {

constexpr uint32_t kGenerousMs = 10000;

// ---- Wake-ups -------------------------------------------------------------------------------

class Wake : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(platform::makeWake(wake), aErrNone);
        ASSERT_EQ(platform::makeWake(other), aErrNone);
    }
    void TearDown() override {
        platform::closeWake(wake);
        platform::closeWake(other);
    }
    platform::WakeHandle wake = platform::noWake;
    platform::WakeHandle other = platform::noWake; // stands in for a quiet device socket
};

TEST_F(Wake, StaysRaisedUntilClearedHoweverOftenRaised) {
    platform::raiseWake(wake);
    platform::raiseWake(wake);
    EXPECT_EQ(platform::awaitReadableOrWake(other, wake, 0), aErrCancel);
    EXPECT_EQ(platform::awaitReadableOrWake(other, wake, 0), aErrCancel);
    platform::clearWake(wake);
    EXPECT_EQ(platform::awaitReadableOrWake(other, wake, 0), aErrNotReady);
}

TEST_F(Wake, ARaiseFromAnotherThreadEndsALongWait) {
    std::thread raiser([&] { platform::raiseWake(wake); });
    EXPECT_EQ(platform::awaitReadableOrWake(other, wake, kGenerousMs), aErrCancel);
    raiser.join();
}

TEST_F(Wake, InputOnTheWatchedSocketIsNotAWake) {
    platform::raiseWake(other);
    bool ready[2] = {};
    const int fds[2] = {other, wake};
    EXPECT_EQ(platform::waitAnyReadable(fds, ready, 2, kGenerousMs), aErrNone);
    EXPECT_TRUE(ready[0]);
    EXPECT_FALSE(ready[1]);
    EXPECT_EQ(platform::awaitReadableOrWake(other, wake, 0), aErrNone);
}

TEST(WatchSet, IsNotOfferedSoTheStreamPollsInstead) {
    platform::WatchSet set = 0;
    EXPECT_NE(platform::makeWatchSet(set), aErrNone);
    EXPECT_EQ(set, platform::noWatchSet);
}

// ---- Claims ---------------------------------------------------------------------------------

TEST(Claim, OneHolderAtATimeEvenInOneProcess) {
    const std::string name = "windows-test-" + std::to_string(platform::currentProcessId());
    platform::ClaimHandle first = platform::noClaim, second = platform::noClaim;
    ASSERT_EQ(platform::claimExclusive(name.c_str(), first), aErrNone);
    EXPECT_EQ(platform::claimExclusive(name.c_str(), second), aErrBusy);
    EXPECT_EQ(second, platform::noClaim);
    platform::releaseClaim(first);
    ASSERT_EQ(platform::claimExclusive(name.c_str(), second), aErrNone);
    platform::releaseClaim(second);
}

class ClaimName : public testing::TestWithParam<const char*> {};

TEST_P(ClaimName, ThatIsNoFileNameIsRefused) {
    platform::ClaimHandle claim = platform::noClaim;
    EXPECT_EQ(platform::claimExclusive(GetParam(), claim), aErrParam);
    EXPECT_EQ(claim, platform::noClaim);
}

INSTANTIATE_TEST_SUITE_P(Windows, ClaimName,
                         testing::Values("", ".", "..", "a/b", "a\\b", "C:name"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return "Name" + std::to_string(info.index);
                         });

// ---- Store files ----------------------------------------------------------------------------

class StoreFiles : public testing::Test {
  protected:
    void write(const std::string& path, const std::string& text) {
        platform::FileHandle file = platform::invalidFile;
        ASSERT_EQ(platform::createExclusiveFile(path.c_str(), file), aErrNone) << path;
        size_t put = 0;
        ASSERT_EQ(platform::writeFile(file, text.data(), text.size(), put), aErrNone);
        ASSERT_EQ(platform::syncFile(file), aErrNone);
        ASSERT_EQ(platform::closeFile(file), aErrNone);
    }
    std::string read(const std::string& path) {
        platform::FileHandle file = platform::invalidFile;
        uint64_t size = 0;
        EXPECT_EQ(platform::openRegularFile(path.c_str(), file, size), aErrNone) << path;
        std::string text(size, '\0');
        size_t got = 0;
        EXPECT_EQ(platform::readFile(file, text.data(), text.size(), got), aErrNone);
        platform::closeFile(file);
        return text.substr(0, got);
    }
    ScopedTempDir dir;
};

TEST_F(StoreFiles, ARenameReplacesAFileThatAReaderHoldsOpen) {
    write(dir / "build.bird", "old");
    write(dir / "build.bird.new", "new image");
    platform::FileHandle reader = platform::invalidFile;
    uint64_t size = 0;
    ASSERT_EQ(platform::openRegularFile((dir / "build.bird").c_str(), reader, size), aErrNone);
    EXPECT_EQ(platform::renamePath((dir / "build.bird.new").c_str(), (dir / "build.bird").c_str()),
              aErrNone);
    EXPECT_EQ(platform::syncDirectory(dir.path().c_str()), aErrNone);
    // The reader keeps what it opened; everyone after it sees the new file.
    char old[3];
    size_t got = 0;
    EXPECT_EQ(platform::readFile(reader, old, sizeof old, got), aErrNone);
    EXPECT_EQ(std::string(old, got), "old");
    platform::closeFile(reader);
    EXPECT_EQ(read(dir / "build.bird"), "new image");
    platform::PathInfo info;
    EXPECT_EQ(platform::pathInfo((dir / "build.bird.new").c_str(), false, info), aErrNotFound);
}

TEST_F(StoreFiles, ARenameToANewNameMovesTheFile) {
    write(dir / "a", "text");
    EXPECT_EQ(platform::renamePath((dir / "a").c_str(), (dir / "b").c_str()), aErrNone);
    EXPECT_EQ(read(dir / "b"), "text");
}

TEST_F(StoreFiles, ExclusiveCreationRefusesWhatIsThere) {
    write(dir / "taken", "x");
    platform::FileHandle file = platform::invalidFile;
    EXPECT_EQ(platform::createExclusiveFile((dir / "taken").c_str(), file), aErrDuplicate);
    EXPECT_EQ(file, platform::invalidFile);
    EXPECT_NE(platform::lastSystemError(), 0);
    EXPECT_FALSE(platform::systemErrorText(platform::lastSystemError()).empty());
}

TEST_F(StoreFiles, ADirectoryIsNoRegularFileNorReplaceable) {
    ASSERT_EQ(platform::makeDirectory((dir / "sub").c_str()), aErrNone);
    platform::FileHandle file = platform::invalidFile;
    uint64_t size = 0;
    EXPECT_EQ(platform::openRegularFile((dir / "sub").c_str(), file, size), aErrMode);
    EXPECT_EQ(platform::checkReplaceable((dir / "sub").c_str(), 260), aErrMode);
    EXPECT_EQ(platform::checkReplaceable((dir / "new").c_str(), 260), aErrNone);
    EXPECT_EQ(platform::checkReplaceable((dir / "new").c_str(), 4), aErrFileNameLength);
    EXPECT_EQ(platform::removeFile((dir / "sub").c_str()), aErrIO);
    EXPECT_EQ(platform::removeDirectory((dir / "sub").c_str()), aErrNone);
}

TEST_F(StoreFiles, ListingNamesEveryEntryWithItsKind) {
    write(dir / "f\xC3\xA9", "12345"); // a name beyond ASCII survives UTF-8 and UTF-16
    ASSERT_EQ(platform::makeDirectory((dir / "d").c_str()), aErrNone);
    std::map<std::string, std::pair<bool, uint64_t>> seen;
    ASSERT_EQ(platform::listDirectory(dir.path().c_str(),
                                      [&](const platform::DirectoryEntry& entry) {
                                          seen[entry.name] = {entry.isDirectory, entry.size};
                                          return true;
                                      }),
              aErrNone);
    EXPECT_EQ(seen.count("."), 1u);
    EXPECT_EQ(seen.count(".."), 1u);
    EXPECT_EQ(seen["f\xC3\xA9"], std::make_pair(false, uint64_t{5}));
    EXPECT_TRUE(seen["d"].first);
}

TEST(Processes, ThisOneRunsAndNumberZeroDoesNot) {
    EXPECT_TRUE(platform::processExists(platform::currentProcessId()));
    EXPECT_FALSE(platform::processExists(0));
}

// ---- COM ports ------------------------------------------------------------------------------

struct PortName {
    const char* name;
    const char* given;
    const char* device;
};

class ComPortName : public testing::TestWithParam<PortName> {};

TEST_P(ComPortName, MapsToTheDeviceNamespace) {
    EXPECT_EQ(platform::serialDevicePath(GetParam().given), GetParam().device);
}

INSTANTIATE_TEST_SUITE_P(Windows, ComPortName,
                         testing::Values(PortName{"Short", "COM3", "\\\\.\\COM3"},
                                         PortName{"LowerCase", "com12", "\\\\.\\com12"},
                                         PortName{"Device", "\\\\.\\COM12", "\\\\.\\COM12"},
                                         PortName{"NoNumber", "COMX", "COMX"}),
                         [](const testing::TestParamInfo<PortName>& info) {
                             return std::string(info.param.name);
                         });

TEST(ComPort, AMissingOneIsNamedAsMissing) {
    EXPECT_EQ(platform::describeSerialOpenFailure("COM231"), "serial port COM231 does not exist");
    platform::SerialPort* port = nullptr;
    EXPECT_EQ(platform::openSerialPort("COM231", platform::SerialSettings{}, port), aErrIO);
    EXPECT_EQ(port, nullptr);
}

// ---- TCP ------------------------------------------------------------------------------------

// The test's own sockets need Winsock too; start-ups are counted, so this one is harmless.
bool winsockStarted() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// One accepted loopback connection, served from the test's own listening socket.
class Tcp : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(winsockStarted());
        listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(listener, INVALID_SOCKET);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 1), 0);
        ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        ASSERT_EQ(platform::connectTcp(address.sin_addr.s_addr, ntohs(address.sin_port),
                                       kGenerousMs, client),
                  aErrNone);
        peer = ::accept(listener, nullptr, nullptr);
        ASSERT_NE(peer, INVALID_SOCKET);
    }
    void TearDown() override {
        platform::closeSocket(client);
        if (peer != INVALID_SOCKET)
            ::closesocket(peer);
        ::closesocket(listener);
    }
    SOCKET listener = INVALID_SOCKET;
    SOCKET peer = INVALID_SOCKET;
    platform::SocketHandle client = platform::invalidSocket;
};

TEST_F(Tcp, ReceivingWithoutWaitingFindsNothingThenWhatCame) {
    uint8_t buffer[8];
    size_t got = 0;
    EXPECT_EQ(platform::receiveSocket(client, buffer, sizeof buffer, got),
              platform::SocketOutcome::wouldBlock);
    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    ASSERT_EQ(platform::waitSocketReadable(client, kGenerousMs), aErrNone);
    EXPECT_EQ(platform::receiveSocket(client, buffer, sizeof buffer, got),
              platform::SocketOutcome::done);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "abc");
}

TEST_F(Tcp, AWaitingReceiveTakesBytesThatComeDuringTheWait) {
    ASSERT_EQ(platform::setSocketReceiveWait(client, kGenerousMs), aErrNone);
    std::thread sender([&] { ::send(peer, "x", 1, 0); });
    uint8_t byte = 0;
    size_t got = 0;
    EXPECT_EQ(platform::receiveSocketWaiting(client, &byte, 1, got), platform::SocketOutcome::done);
    EXPECT_EQ(byte, 'x');
    sender.join();
}

TEST_F(Tcp, APeerThatClosesIsToldApartFromOneThatVanished) {
    const uint8_t out[2] = {1, 2};
    size_t sent = 0;
    EXPECT_EQ(platform::sendSocket(client, out, 2, sent), platform::SocketOutcome::done);
    EXPECT_EQ(sent, 2u);
    ::shutdown(peer, SD_SEND);
    ASSERT_EQ(platform::waitSocketReadable(client, kGenerousMs), aErrNone);
    uint8_t buffer[4];
    size_t got = 0;
    EXPECT_EQ(platform::receiveSocket(client, buffer, sizeof buffer, got),
              platform::SocketOutcome::peerClosed);
}

TEST(TcpConnect, ARefusedConnectionIsAConnectionError) {
    ASSERT_TRUE(winsockStarted());
    // A port just released by a listener of this test: nothing listens there now.
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::closesocket(s);
    platform::SocketHandle client = platform::invalidSocket;
    EXPECT_EQ(
        platform::connectTcp(address.sin_addr.s_addr, ntohs(address.sin_port), kGenerousMs, client),
        aErrConnection);
    EXPECT_EQ(client, platform::invalidSocket);
}

} // namespace
