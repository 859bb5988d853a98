// Host side of the NXP LPC boot loader's UART ISP protocol: text commands ended by CR LF, numeric
// return codes and UU-encoded data lines checked by running sums, over a serial stream.
#pragma once

#include <corvane/aStream.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class NxpIspClient {
  public:
    // The code the boot loader's "U" command wants before it erases or writes anything.
    static constexpr uint32_t kUnlockCode = 23130;
    // Crystal frequency announced at synchronisation, in kHz (14.7456 MHz).
    static constexpr uint32_t kCrystalKHz = 14746;
    static constexpr size_t kBytesPerLine = 45;
    static constexpr size_t kLinesPerBlock = 20;
    static constexpr uint32_t kSectorCount = 30; // sectors 0 to 29; 30 means "outside the flash"

    // How long a reply may take, in ms of waiting. Erase and copy get time in proportion to
    // their work: a real chip needs about 100 ms to erase a sector and ~1 ms per 256 bytes
    // programmed, so a fixed short budget would fail on hardware. Tests may shorten them.
    struct Budgets {
        uint32_t command = 1000; // A, U, N, P and the W command line
        uint32_t erasePerSector = 400;
        uint32_t copyPer256 = 100; // on top of command
        uint32_t checksum = 2000;  // the OK or RESEND after a block of data lines
        uint32_t echo = 100;       // quiet time after which an echo or a late reply is given up
    };

    NxpIspClient() = default;
    ~NxpIspClient();
    NxpIspClient(const NxpIspClient&) = delete;
    NxpIspClient& operator=(const NxpIspClient&) = delete;

    // Opens portName at the first supported rate not below baudRate (2400 at or below it; 9600
    // above 230400), 8 data bits, no parity, one stop bit. The stream's error when it fails;
    // failure() then says why in words for the user (missing, busy, no permission).
    aErr open(const std::string& portName, uint32_t baudRate);
    // Takes over an already open stream (a scripted one in tests) as if open had made it.
    void attach(aStream* stream, const std::string& portName, uint32_t baudRate);
    void close();
    bool isOpen() const { return stream_ != nullptr; }

    // The auto-baud dialogue: "?", "Synchronized", the crystal frequency.
    aErr synchronize();
    aErr setEcho(bool on);
    aErr unlock();
    aErr prepareSectors(uint32_t first, uint32_t last);
    aErr eraseSectors(uint32_t first, uint32_t last);
    // Writes count bytes (non-zero, a multiple of 4) to RAM at ramAddress as UU-encoded lines,
    // 20 lines per checksum; a block the chip asks for again is sent again at most twice.
    aErr Write(uint32_t ramAddress, uint32_t count, const uint8_t* data);
    // flashAddress must be a multiple of 256 and count 256, 512, 1024 or 4096 (else aErrParam,
    // nothing sent).
    aErr copyRamToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count);
    // Starts the code at address in Thumb mode; no reply is read.
    aErr go(uint32_t address);
    // The "N" command: fills uid() with the chip's four identifier words.
    aErr readUid();

    const std::array<uint32_t, 4>& uid() const { return uid_; }
    bool echo() const { return echo_; }
    uint32_t baudRate() const { return baudRate_; }
    const std::string& portName() const { return portName_; }
    // Why the last failing operation failed, naming the port; empty after success.
    const std::string& failure() const { return failure_; }
    // Bytes moved over the line since open, for wire-time accounting.
    uint64_t bytesSent() const { return bytesSent_; }
    uint64_t bytesReceived() const { return bytesReceived_; }

    Budgets budgets;

    // The next allowed copy length (256, 512, 1024, 4096); longer lengths come back unchanged.
    static uint32_t copySizeFor(uint32_t length);
    static uint32_t sectorOfAddress(uint32_t address);
    // Text of the ISP return code at the start of line ("Unknown error" for codes it lacks).
    static const char* returnCodeText(const char* line);
    // One UU-encoded line for at most 45 bytes, without its line end.
    static std::string uuEncodeLine(const uint8_t* data, size_t count);
    // The rate open picks for a request, as an index into the supported rates.
    static uint32_t rateIndexFor(uint32_t baudRate);

    // ---- the line layer ----
    // Sends text (after dropping input that is already waiting: it cannot answer this command)
    // and, with echo on, reads its echo. A write that does not complete is the stream's error.
    aErr SendCommand(const std::string& text, uint32_t waitMs = 0);
    // Reads up to CR LF (kept) into buffer, waiting at most budgetMs for bytes. Bytes that cannot
    // start a reply (line ends, NUL, other non-printables) are dropped before its first byte.
    aErr GetLine(char* buffer, size_t size, size_t& length, uint32_t budgetMs);
    // Reads until the count bytes of text have been seen in order, skipping other bytes.
    aErr GetEcho(const char* text, size_t count, size_t& matched);
    // Reads an expected reply of the synchronisation dialogue.
    aErr Response(char* buffer, size_t size, size_t& length, const char* expected,
                  size_t expectedLength);

  private:
    // Sends command, reads its return line and judges it: aErrNone for code 0, aErrParam for
    // another code, aErrIO for a line that holds no return code.
    aErr command(const std::string& text, uint32_t budgetMs, bool logCode);
    // True when the chip answers a bare line end with a return code: it was synchronised before.
    bool alreadySynchronized();
    aErr readByte(uint8_t& byte, uint64_t deadline);
    aErr writeBytes(const uint8_t* bytes, size_t count);
    void discardInput();
    uint32_t wireMs(size_t bytes) const;
    aErr fail(aErr err, const std::string& what);

    aStream* stream_ = nullptr;
    bool echo_ = true; // the boot loader echoes until told otherwise
    uint32_t baudRate_ = 0;
    std::string portName_;
    std::array<uint32_t, 4> uid_{};
    std::string failure_;
    uint64_t bytesSent_ = 0;
    uint64_t bytesReceived_ = 0;
};

// The code of a reply line: its decimal digits before CR LF once leading bytes that are not
// printable are dropped. False when the line holds anything else (no digit, letters, no CR LF).
bool nxpReplyCode(const char* line, size_t length, int& code);
