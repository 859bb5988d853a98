// The port and line under the NXP ISP commands: the serial stream at its rate, the chip's echo,
// reply lines read within time budgets, and the bytes that crossed.
#pragma once

#include <corvane/aStream.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class NxpIspLine {
  public:
    // echoMs (the quiet time after which an echo or a late reply is given up) and waiting (called
    // about every 100 ms while a byte is awaited) belong to the owner, who may change them at any
    // time; the line reads them each time it waits.
    NxpIspLine(const uint32_t& echoMs, const std::function<void()>& waiting)
        : echoMs_(echoMs), waiting_(waiting) {}
    ~NxpIspLine() { close(); }
    NxpIspLine(const NxpIspLine&) = delete;
    NxpIspLine& operator=(const NxpIspLine&) = delete;

    // The rate open picks for a request, as an index into the supported rates: the first not below
    // baudRate, 9600 above the fastest.
    static uint32_t rateIndexFor(uint32_t baudRate);

    // Opens portName at rateIndexFor(baudRate), 8 data bits, no parity, one stop bit, with the
    // echo on. The stream's error when it fails; failure() then says why in words for the user.
    aErr open(const std::string& portName, uint32_t baudRate);
    // Takes over an already open stream as if open had made it.
    void attach(aStream* stream, const std::string& portName, uint32_t baudRate);
    // Opens the port again at the supported rate rateIndex; closed, with the stream's error, when
    // that fails.
    aErr reopen(uint32_t rateIndex);
    void close();
    bool isOpen() const { return stream_ != nullptr; }

    // Whether the chip echoes what it is sent, as the dialogue found or set it.
    bool echo() const { return echo_; }
    void assumeEcho(bool on) { echo_ = on; }
    uint32_t baudRate() const { return baudRate_; }
    const std::string& portName() const { return portName_; }
    uint64_t bytesSent() const { return bytesSent_; }
    uint64_t bytesReceived() const { return bytesReceived_; }

    // Why the last failing operation failed, naming the port; empty after success.
    const std::string& failure() const { return failure_; }
    // Records what failed and returns err.
    aErr fail(aErr err, const std::string& what);
    void clearFailure() { failure_.clear(); }

    // The ms that bytes take on the line at the open rate, rounded up.
    uint32_t wireMs(size_t bytes) const;
    // One byte, waiting until deadline (a millisecond tick) at most: aErrNotReady when none came.
    aErr readByte(uint8_t& byte, uint64_t deadline);
    // A write that does not complete is the stream's error, recorded in failure().
    aErr writeBytes(const uint8_t* bytes, size_t count);
    // Drops the bytes already waiting: they cannot answer what is sent next.
    void discardInput();

    // Sends text (after dropping input that is already waiting: it cannot answer this command)
    // and, with echo on, reads its echo. A write that does not complete is the stream's error.
    aErr SendCommand(const std::string& text, uint32_t waitMs = 0);
    // Reads up to CR LF (kept) into buffer, waiting at most budgetMs for bytes. Bytes that cannot
    // start a reply (line ends, NUL, other non-printables) are dropped before its first byte.
    aErr GetLine(char* buffer, size_t size, size_t& length, uint32_t budgetMs);
    // Reads until the count bytes of text have been seen in order, skipping other bytes.
    aErr GetEcho(const char* text, size_t count, size_t& matched);
    // Reads an expected reply of the synchronisation dialogue. A "?" where the reply should
    // start is the echo of a chip synchronised before: nothing else follows, so the wait ends.
    aErr Response(char* buffer, size_t size, size_t& length, const char* expected,
                  size_t expectedLength);

  private:
    const uint32_t& echoMs_;
    const std::function<void()>& waiting_;
    aStream* stream_ = nullptr;
    bool echo_ = true; // the boot loader echoes until told otherwise
    uint32_t baudRate_ = 0;
    std::string portName_;
    std::string failure_;
    uint64_t lastTick_ = 0; // when waiting_ was last called
    uint64_t bytesSent_ = 0;
    uint64_t bytesReceived_ = 0;
};

// The code of a reply line: its decimal digits before CR LF once leading bytes that are not
// printable are dropped. False when the line holds anything else (no digit, letters, no CR LF).
bool nxpReplyCode(const char* line, size_t length, int& code);
// The count of leading bytes that no reply starts with: line ends of an earlier echo, NUL, noise.
size_t nxpSkipNoise(const char* line, size_t length);
// The bytes as text for the trace, with a space for each byte that is not printable.
std::string nxpVisibleText(const uint8_t* bytes, size_t count);
