// The serial stream on a pseudo-terminal pair: argument rules, bytes both ways, waiting for
// bytes, the line settings it applies and the settings it puts back.
#include "corvane/aStream.h"

#include "FakeStream.h"
#include "aStream_Internal.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class SerialStream : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    void TearDown() override {
        if (master >= 0) {
            close(master);
        }
        close(slave);
    }
    // Reads from the master side until count bytes came; a hang guard ends it after 10 s.
    std::vector<uint8_t> readMaster(size_t count) {
        std::vector<uint8_t> out;
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            uint8_t buffer[256];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                out.insert(out.end(), buffer, buffer + n);
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
        return out;
    }
    // Reads count bytes from the stream, polling as its users do; a hang guard ends it after 10 s.
    aErr readStream(aStream* s, uint8_t* buffer, size_t count) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        aErr err;
        while ((err = aStream_Read(s, buffer, count)) == aErrNotReady &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        return err;
    }
    int master = -1;
    int slave = -1;
    char name[128] = {};
};

TEST_F(SerialStream, ArgumentRules) {
    aStream* s = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateSerial(name, 8, 0, 0, 0, &s), aErrRange);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSerial(name, 2, 0, 2, 0, &s), aErrMode);
    EXPECT_EQ(aStream_CreateSerial(name, 2, 0, 0, 2, &s), aErrMode);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 2, 0, 0, 0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(name, 2, 0, 0, 0, nullptr), aErrParam);
    EXPECT_EQ(aStream_CreateSerial("/nonexistent/ttyCorvane", 2, 0, 0, 0, &s), aErrIO);
    EXPECT_EQ(aStream_CreateSerial("/dev/null", 2, 0, 0, 0, &s), aErrIO) << "not a terminal";
    EXPECT_EQ(s, nullptr);
}

TEST_F(SerialStream, ABareNameIsTakenUnderDev) {
    // "ptmx" opens /dev/ptmx, a terminal device that every Linux system has.
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateSerial("ptmx", 6, 0, 0, 0, &s), aErrNone);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(aStream_CreateSerial("ttyCorvaneMissing", 6, 0, 0, 0, &s), aErrIO);
}

TEST_F(SerialStream, NamesItsRatesDevicesAndWhyAPortCannotOpen) {
    const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 0};
    for (uint32_t index = 0; index < std::size(rates); ++index) {
        EXPECT_EQ(aStream_SerialBaudRate(index), rates[index]) << index;
    }

    char path[16];
    EXPECT_EQ(aStream_SerialDevicePath("ttyS0", path, sizeof path), aErrNone);
    EXPECT_STREQ(path, "/dev/ttyS0");
    EXPECT_EQ(aStream_SerialDevicePath("./ttyS0", path, sizeof path), aErrNone);
    EXPECT_STREQ(path, "./ttyS0");
    EXPECT_EQ(aStream_SerialDevicePath("ttyS0", path, 11), aErrNone);
    EXPECT_EQ(aStream_SerialDevicePath("ttyS0", path, 10), aErrSize);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(aStream_SerialDevicePath(nullptr, path, sizeof path), aErrParam);
    EXPECT_EQ(aStream_SerialDevicePath("ttyS0", path, 0), aErrParam);

    const struct {
        const char* port;
        const char* why;
    } cases[] = {
        {"ttyCorvaneMissing", "serial port /dev/ttyCorvaneMissing does not exist"},
        {"/dev/null", "serial port /dev/null is not a serial device"},
        {name, ""},
    };
    char text[128];
    for (const auto& c : cases) {
        EXPECT_EQ(aStream_DescribeSerialFailure(c.port, text, sizeof text), aErrNone);
        EXPECT_STREQ(text, c.why) << c.port;
    }
    EXPECT_EQ(aStream_DescribeSerialFailure("/dev/null", text, 12), aErrNone);
    EXPECT_STREQ(text, "serial port") << "cut to fit";
    EXPECT_EQ(aStream_DescribeSerialFailure(nullptr, text, sizeof text), aErrParam);
    EXPECT_EQ(aStream_DescribeSerialFailure("/dev/null", text, 0), aErrParam);
}

TEST_F(SerialStream, CarriesBytesBothWays) {
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, 6, 0, 0, 0, &s), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(s, &byte, 1), aErrNotReady) << "nothing there: answers at once";

    // Every byte value passes untouched: no echo, no CR/LF translation, no flow control.
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(write(master, all.data(), all.size()), 256);
    std::vector<uint8_t> got(256);
    ASSERT_EQ(readStream(s, got.data(), got.size()), aErrNone);
    EXPECT_EQ(got, all);

    ASSERT_EQ(aStream_Write(s, all.data(), all.size()), aErrNone);
    ASSERT_EQ(aStream_Write(s, all.data() + 0x0D, 1), aErrNone);
    std::vector<uint8_t> expected = all;
    expected.push_back(0x0D);
    EXPECT_EQ(readMaster(expected.size()), expected);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST_F(SerialStream, AppliesLineSettingsAndRestoresThemAtClose) {
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ECHO) << "a fresh pseudo-terminal echoes";

    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, 0, 1, 1, 1, &s), aErrNone);
    termios during{};
    ASSERT_EQ(tcgetattr(slave, &during), 0);
    EXPECT_EQ(cfgetospeed(&during), B2400);
    // A pseudo-terminal forces 8 data bits without parity; the odd-parity bit stays visible.
    EXPECT_TRUE(during.c_cflag & PARODD);
    EXPECT_TRUE(during.c_cflag & CSTOPB);
    EXPECT_FALSE(during.c_lflag & (ECHO | ICANON));
    EXPECT_EQ(during.c_cc[VMIN], 0);
    EXPECT_EQ(during.c_cc[VTIME], 0);
    ASSERT_EQ(aStream_Destroy(&s), aErrNone);

    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST_F(SerialStream, WaitWakesForBytesAndTimesOutWithoutThem) {
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, 6, 0, 0, 0, &s), aErrNone);
    EXPECT_EQ(aStream_Wait(s, 0), aErrNotReady);
    EXPECT_EQ(aStream_Wait(s, 20), aErrNotReady);

    std::thread module([this] {
        std::this_thread::sleep_for(50ms);
        (void)!write(master, "\x11\x22", 2);
    });
    const auto started = std::chrono::steady_clock::now();
    const aErr waited = aStream_Wait(s, 20000);
    const auto took = std::chrono::steady_clock::now() - started;
    module.join();
    ASSERT_EQ(waited, aErrNone);
    EXPECT_LT(took, 10s) << "woken by the bytes, not by the time-out";
    uint8_t byte = 0;
    ASSERT_EQ(readStream(s, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 0x11);
    // The second byte may sit in the stream's own buffer, away from the port: still ready.
    EXPECT_EQ(aStream_Wait(s, 1000), aErrNone);
    ASSERT_EQ(aStream_Read(s, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 0x22);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

// The link reader idles in a watch of the line that stop must be able to call it away from.
TEST_F(SerialStream, WatchEndsForBytesOrARaisedWake) {
    namespace platform = corvane::platform;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, 6, 0, 0, 0, &s), aErrNone);
    platform::WakeHandle wake = platform::noWake;
    ASSERT_EQ(platform::makeWake(wake), aErrNone);
    EXPECT_EQ(aStream_Watch(s, wake, 20), aErrNotReady);
    std::thread stopper([&] { platform::raiseWake(wake); });
    EXPECT_EQ(aStream_Watch(s, wake, 20000), aErrCancel);
    stopper.join();
    platform::clearWake(wake);
    ASSERT_EQ(write(master, "\x11", 1), 1);
    EXPECT_EQ(aStream_Watch(s, wake, 20000), aErrNone);
    platform::closeWake(wake);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST_F(SerialStream, WaitingOnAHungUpLineDoesNotSpin) {
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, 6, 0, 0, 0, &s), aErrNone);
    close(master);
    master = -1;
    // The hang-up wakes the wait, yet a read of the line finds nothing.
    ASSERT_EQ(aStream_Wait(s, 1000), aErrNone);
    uint8_t byte = 0;
    int sleeps = 0;
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(aStream_Read(s, &byte, 1), aErrNotReady);
        sleeps += aStream_Wait(s, 1) == aErrNotReady;
    }
    EXPECT_GE(sleeps, 3);
    aStream_Destroy(&s);
}

TEST_F(SerialStream, RecordWithoutItsCheckWordIsRefused) {
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, 6, 0, 0, 0, &s), aErrNone);
    // The serial record begins with its check word.
    auto* check = static_cast<uint16_t*>(aStream_Reference(s));
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(*check, 0xDEEF);
    ASSERT_EQ(write(master, "\x5A", 1), 1);
    ASSERT_EQ(aStream_Wait(s, 10000), aErrNone); // the byte is there to be lost

    *check = 0;
    uint8_t byte = 0x42;
    EXPECT_EQ(aStream_Read(s, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Wait(s, 0), aErrParam);
    EXPECT_EQ(aStream_Write(s, &byte, 1), aErrParam);

    *check = 0xDEEF;
    ASSERT_EQ(readStream(s, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 0x5A) << "the refused read lost nothing";
    const uint8_t marker = 0xA5;
    ASSERT_EQ(aStream_Write(s, &marker, 1), aErrNone);
    EXPECT_EQ(readMaster(1), std::vector<uint8_t>{marker}) << "the refused write reached the line";
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST_F(SerialStream, ShortReadKeepsItsBytesForTheNextRead) {
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(name, 6, 0, 0, 0, &s), aErrNone);
    ASSERT_EQ(write(master, "\x04\x02", 2), 2);
    ASSERT_EQ(aStream_Wait(s, 10000), aErrNone); // bytes are there, fewer than asked for
    uint8_t packet[4] = {};
    EXPECT_EQ(aStream_Read(s, packet, 4), aErrNotReady);
    ASSERT_EQ(write(master, "\x11\x22", 2), 2);
    ASSERT_EQ(readStream(s, packet, 4), aErrNone);
    EXPECT_EQ(packet[0], 0x04);
    EXPECT_EQ(packet[3], 0x22);
    aStream_Destroy(&s);
}

} // namespace
