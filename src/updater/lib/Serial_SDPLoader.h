// The Serial Download Protocol over a UART: the HID messages without their report id, at
// 115200 baud, 8 data bits, no parity, one stop bit.
#pragma once

#include "SDPLoader_Interface.h"

#include <corvane/aStream.h>

class Serial_SDPLoader : public SDPLoader_Interface {
  public:
    static constexpr uint32_t kBaudRate = 115200;
    // The association key a ROM on a UART waits for before it reads any command, and echoes.
    static constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};
    static constexpr size_t kFrameSize = 16;

    explicit Serial_SDPLoader(const std::string& portName);
    ~Serial_SDPLoader() override;

    // Opens the port and associates with the ROM (associate()); false, with failure() saying
    // why, when either fails.
    bool open() override;
    // Takes over an open stream (a scripted one in tests) whose ROM is associated, as open
    // leaves it.
    void attach(aStream* stream);
    // Writes bytes[1..]; a port that has not taken them after twice their line time plus a
    // second fails the write.
    std::ptrdiff_t write(const std::vector<uint8_t>& bytes) override;
    // Waits up to timeoutMs for a first byte, then reads until enough bytes have come or the
    // line is quiet for interByteGapMs.
    std::ptrdiff_t read(std::vector<uint8_t>& bytesOut, int timeoutMs, size_t enough = 0) override;
    bool parseStatus(const std::vector<uint8_t>& bytes, size_t index, uint32_t& valueOut) override;
    size_t replySize(bool withStatus) const override { return withStatus ? 8 : 4; }
    uint32_t pendingMs(size_t count) const override;

    // Sends the association key until the ROM echoes it: the handshake a ROM on a UART needs,
    // and the way to find the start of a frame again in a ROM that holds part of one (the bytes
    // of another protocol's probe, or of a host that gave up). Such a ROM takes the key only at
    // the start of a frame, so each try first completes the frame for one guess of how many
    // bytes it holds (zero bytes complete it as an unknown command, which the ROM drops). Every
    // guess is tried once; then, after a quiet spell that makes a ROM abandon a frame on its
    // own, the key alone. True once echoed.
    bool associate();

    const std::string& devicePath() const { return path_; }

    uint32_t interByteGapMs = 50;
    // How long each try waits for the echo beyond the line time.
    uint32_t echoWaitMs = 50;
    // The quiet spell before the last try.
    uint32_t quietMs = 300;

  private:
    // Appends the bytes the port holds now, at most max; the count appended.
    size_t takeAvailable(std::vector<uint8_t>& bytesOut, size_t max);
    // Sends fill zero bytes and the key; true when the key comes back within the wait.
    bool tryAssociation(size_t fill);

    std::string portName_;
    std::string path_;
    aStream* stream_ = nullptr;
};
