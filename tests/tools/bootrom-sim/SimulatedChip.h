// A bootrom-sim process for one test, and the host's end of its terminal driven byte by byte: raw,
// at a rate the test chooses, with bounded reads.
#pragma once

#include "SpawnedProgram.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace chiptest {

using namespace std::chrono_literals;

// The program's full path from PATH; empty when it is not installed.
inline std::string findProgram(const std::string& name) {
    std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(path, dir, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(dir) / name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return "";
}

class SimulatedChip {
  public:
    explicit SimulatedChip(std::vector<std::string> options) : program_(arguments(options)) {
        const auto line = program_.readLine(10s);
        if (!line || line->rfind(" on ") == std::string::npos)
            throw std::runtime_error("bootrom-sim did not start: " + program_.errors());
        device = line->substr(line->rfind(" on ") + 4);
        if (line->find("bootrom-sim: imx") == 0) {
            const auto entry = program_.readLine(10s);
            const std::string key = "CORVANE_USB_EMULATION=";
            if (!entry || entry->find(key) == std::string::npos)
                throw std::runtime_error("bootrom-sim did not name the liveloader's entry");
            emulation = entry->substr(entry->find(key) + key.size());
        }
    }
    // Waits for a line of the simulator's output holding text; false after 10 s.
    bool awaitLine(const std::string& text) {
        while (const auto line = program_.readLine(10s))
            if (line->find(text) != std::string::npos)
                return true;
        return false;
    }
    // Stops the simulator; everything it printed that was not read yet.
    std::string stop() {
        program_.signal(SIGTERM);
        EXPECT_EQ(program_.wait(10s), 0) << program_.errors();
        return program_.output();
    }

    std::string device;
    std::string emulation; // imx: the liveloader's CORVANE_USB_EMULATION entry

  private:
    static std::vector<std::string> arguments(std::vector<std::string> options) {
        options.insert(options.begin(), BOOTROM_SIM_BIN);
        return options;
    }
    SpawnedProgram program_;
};

// The host's end: raw 8N1 at the rate given.
class HostPort {
  public:
    HostPort(const std::string& device, uint32_t rate) {
        fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + device);
        setRate(rate);
    }
    ~HostPort() { close(fd_); }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    void setRate(uint32_t rate) {
        termios settings{};
        tcgetattr(fd_, &settings);
        cfmakeraw(&settings);
        const speed_t speed = rate == 57600    ? B57600
                              : rate == 230400 ? B230400
                              : rate == 9600   ? B9600
                                               : B115200;
        cfsetispeed(&settings, speed);
        cfsetospeed(&settings, speed);
        if (tcsetattr(fd_, TCSANOW, &settings) != 0)
            throw std::runtime_error("cannot set the rate");
    }
    void send(const std::string& bytes) {
        size_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
            const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    }
    // Exactly count bytes, or what came within 10 s.
    std::string read(size_t count) {
        std::string bytes;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
            char buffer[256];
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (n > 0) {
                bytes.append(buffer, static_cast<size_t>(n));
            } else {
                pollfd p{fd_, POLLIN, 0};
                poll(&p, 1, 100);
            }
        }
        return bytes;
    }
    // Up to and including the next CR LF.
    std::string readLine() {
        std::string line;
        while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
            const std::string byte = read(1);
            if (byte.empty())
                break;
            line += byte;
        }
        return line;
    }

  private:
    int fd_ = -1;
};

} // namespace chiptest
