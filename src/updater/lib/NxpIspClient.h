// Host side of the NXP LPC boot loader's UART ISP protocol: text commands ended by CR LF, numeric
// return codes and UU-encoded data lines checked by running sums, over a serial stream.
#pragma once

#include "NxpIspLine.h" // the line layer, and nxpReplyCode for reply lines

#include <corvane/aStream.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
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
    static constexpr uint32_t kFlashSize = 0x80000;
    // The ISP's compare and read commands see the boot ROM, not the flash, in the first 512
    // bytes of the address space while the boot loader runs.
    static constexpr uint32_t kRemappedBytes = 512;
    // The code of the "M" reply that a line with the offset of the first difference follows.
    static constexpr int kCompareError = 10;
    // The probe for a chip inside a RAM write: zero-byte data lines, so that RAM keeps what it
    // holds, as many as bring a chip from anywhere in a block to its checksum.
    static constexpr char kProbeLine[] = "`\r\n";
    static constexpr size_t kProbeLines = kLinesPerBlock;
    // What synchronize() sends to a port where nothing answers: "?", the line end that ends it,
    // and the probe lines. Whatever chip listens there takes them in (an i.MX ROM counts them
    // into its frames).
    static constexpr size_t kSilentPortBytes = 1 + 2 + kProbeLines * (sizeof kProbeLine - 1);

    // How long a reply may take, in ms of waiting. Erase and copy get time in proportion to
    // their work: a real chip needs about 100 ms to erase a sector and ~1 ms per 256 bytes
    // programmed, so a fixed short budget would fail on hardware. Tests may shorten them.
    struct Budgets {
        uint32_t command = 1000; // A, U, N, P and the W command line
        uint32_t erasePerSector = 400;
        uint32_t copyPer256 = 100; // on top of command
        uint32_t checksum = 2000;  // the OK or RESEND after a block of data lines
        // Quiet time after which an echo or a late reply is given up. Only a silent port pays
        // for it; a chip behind a USB adapter on a busy host can fall 100 ms behind.
        uint32_t echo = 400;
    };

    NxpIspClient() = default;
    ~NxpIspClient();
    NxpIspClient(const NxpIspClient&) = delete;
    NxpIspClient& operator=(const NxpIspClient&) = delete;

    // Opens portName at the first supported rate not below baudRate (2400 at or below it; 9600
    // above 230400), 8 data bits, no parity, one stop bit. The stream's error when it fails;
    // failure() then says why in words for the user (missing, busy, no permission).
    aErr open(const std::string& portName, uint32_t baudRate) {
        return line_.open(portName, baudRate);
    }
    // Takes over an already open stream (a scripted one in tests) as if open had made it.
    void attach(aStream* stream, const std::string& portName, uint32_t baudRate) {
        line_.attach(stream, portName, baudRate);
    }
    void close() { line_.close(); }
    bool isOpen() const { return line_.isOpen(); }

    // The auto-baud dialogue: "?", "Synchronized", the crystal frequency. A boot loader that an
    // earlier session synchronised takes the "?" as the start of a command line: one line end
    // more shows it, and its echo (left on or off by that session) is found out and turned on,
    // so the client and the chip agree on it whatever the session before did. When that line
    // gets no answer either, kProbeLines short lines look for a chip that an interrupted session
    // left inside a RAM write: it answers only where it expects the block's checksum, and only a
    // reset into the boot ROM brings it back. That is aErrMode, and failure() tells the user so.
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
    // "R": reads count bytes (a multiple of 4, at most one checksum block of 900) from address
    // into out; a block whose sum does not match is asked for again at most twice.
    aErr Read(uint32_t address, uint32_t count, uint8_t* out);
    // "M": aErrNone when count bytes at first and at second are equal. aErrParam when they
    // differ (failure() names the offset of the first difference) or the chip refuses.
    aErr compare(uint32_t first, uint32_t second, uint32_t count);
    // "B": the chip answers at the rate it has and then runs at the first supported rate not
    // below baudRate (one stop bit); the port follows it. Nothing is sent when the rate is
    // already the one open.
    aErr changeBaudRate(uint32_t baudRate);

    const std::array<uint32_t, 4>& uid() const { return uid_; }
    bool echo() const { return line_.echo(); }
    uint32_t baudRate() const { return line_.baudRate(); }
    const std::string& portName() const { return line_.portName(); }
    // Why the last failing operation failed, naming the port; empty after success.
    const std::string& failure() const { return line_.failure(); }
    // Bytes moved over the line since open, for wire-time accounting.
    uint64_t bytesSent() const { return line_.bytesSent(); }
    uint64_t bytesReceived() const { return line_.bytesReceived(); }

    Budgets budgets;
    // Called about every 100 ms while a reply is awaited (an erase takes seconds), so the
    // caller can show that the wait goes on.
    std::function<void()> waiting;

    // The next allowed copy length (256, 512, 1024, 4096); longer lengths come back unchanged.
    static uint32_t copySizeFor(uint32_t length);
    static uint32_t sectorOfAddress(uint32_t address);
    // Text of the ISP return code at the start of line ("Unknown error" for codes it lacks).
    static const char* returnCodeText(const char* line);
    // One UU-encoded line for at most 45 bytes, without its line end.
    static std::string uuEncodeLine(const uint8_t* data, size_t count);
    // The bytes of one UU-encoded line (without its line end); false when it is malformed.
    static bool uuDecodeLine(const char* line, size_t length, std::string& bytes);
    // The rate open picks for a request, as an index into the supported rates.
    static uint32_t rateIndexFor(uint32_t baudRate) { return NxpIspLine::rateIndexFor(baudRate); }

    // ---- the line layer (NxpIspLine says what each does) ----
    aErr SendCommand(const std::string& text, uint32_t waitMs = 0) {
        return line_.SendCommand(text, waitMs);
    }
    aErr GetLine(char* buffer, size_t size, size_t& length, uint32_t budgetMs) {
        return line_.GetLine(buffer, size, length, budgetMs);
    }
    aErr GetEcho(const char* text, size_t count, size_t& matched) {
        return line_.GetEcho(text, count, matched);
    }
    aErr Response(char* buffer, size_t size, size_t& length, const char* expected,
                  size_t expectedLength) {
        return line_.Response(buffer, size, length, expected, expectedLength);
    }

  private:
    // Sends command, reads its return line and judges it: aErrNone for code 0, aErrParam for
    // another code (kept in lastCode_), aErrIO for a line that holds no return code.
    aErr command(const std::string& text, uint32_t budgetMs, bool logCode);
    // What a chip that did not answer "?" with "Synchronized" makes of the line that "?" began.
    enum class Probe {
        Silent,      // nothing that the ISP says
        Commands,    // a return code: synchronised by an earlier session
        InsideWrite, // "RESEND" or "OK": the chip is inside the data of a RAM write
    };
    // Ends the line and reads the answer. echoed: the chip sent the "?" back, so its echo is on.
    Probe alreadySynchronized(bool echoed);
    // Sends the probe lines; true when the chip answers them as data of a RAM write.
    bool insideRamWrite();

    // The port, the echo and the reply lines; it waits with budgets.echo and calls waiting, as
    // they are set when it waits.
    NxpIspLine line_{budgets.echo, waiting};
    std::array<uint32_t, 4> uid_{};
    int lastCode_ = 0; // the return code of the last command refused
};
