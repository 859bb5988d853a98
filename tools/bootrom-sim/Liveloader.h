// The module an i.MX liveloader brings up once the boot ROM jumps to it: a virtual module with
// the recovery serial number, attached through USB emulation on a loopback port reserved at start.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

struct LiveloaderSettings {
    uint8_t model = 0x13;
    uint16_t port = 0; // 0: a free port, chosen and held when the simulator starts
    // The chip's unique identifier, served as SystemClass option 39: word 3 - p at parameter p.
    std::array<uint32_t, 4> uid{0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
    bool absent = false; // the jump starts nothing (a broken loader)
};

class Liveloader {
  public:
    static constexpr uint32_t kRecoverySerial = 0xDEADDEAD;

    // Holds the port until the loader starts, so the address printed now stays good; throws
    // std::runtime_error when the port cannot be had.
    explicit Liveloader(const LiveloaderSettings& settings);
    ~Liveloader();
    Liveloader(const Liveloader&) = delete;
    Liveloader& operator=(const Liveloader&) = delete;

    // The CORVANE_USB_EMULATION entry under which the loader will be seen: "DEADDEAD:MM@IP:PORT".
    std::string emulationEntry() const;

    // Brings the module up (a call while it is up does nothing). False with a reason when it
    // cannot.
    bool start(std::string* error);

    // True once a host has reset the chip through the loader (a system reset before any firmware
    // was taken) and the reset's answer has had time to go out.
    bool resetRequested() const;
    // Takes the module down, as the chip's reset does; the port is held again for the next start.
    void stop();

    // The build the module runs: the loader's own until a firmware transfer and reboot; 0 while
    // it is not up.
    uint32_t runningBuild() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
