// The paced pseudo-terminal: reads the host's bytes only as fast as the line would deliver
// them (so the host's writes back up as on a real port) and releases answers at wire speed.
#include "PacedLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <time.h>
#include <unistd.h>

int64_t monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

namespace {

constexpr size_t kReadChunk = 4096;
constexpr ssize_t kPiece = 16;     // bytes handed to the ROM at once: 1.4 ms at 115200 baud
constexpr size_t kBacklog = 16384; // bytes read ahead of the line before the host must wait

uint32_t rateOf(speed_t speed) {
    static constexpr struct {
        speed_t speed;
        uint32_t rate;
    } kRates[] = {{B50, 50},         {B75, 75},         {B110, 110},        {B134, 134},
                  {B150, 150},       {B200, 200},       {B300, 300},        {B600, 600},
                  {B1200, 1200},     {B1800, 1800},     {B2400, 2400},      {B4800, 4800},
                  {B9600, 9600},     {B19200, 19200},   {B38400, 38400},    {B57600, 57600},
                  {B115200, 115200}, {B230400, 230400}, {B460800, 460800},  {B500000, 500000},
                  {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
    for (const auto& entry : kRates) {
        if (entry.speed == speed) {
            return entry.rate;
        }
    }
    return 0;
}

void sleepUntil(int64_t dueUs) {
    const int64_t left = dueUs - monotonicMicros();
    if (left > 0) {
        timespec pause{static_cast<time_t>(left / 1000000),
                       static_cast<long>(left % 1000000) * 1000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
}

} // namespace

PacedLine::PacedLine(uint32_t baudRate, bool checkRate)
    : checkRate_(checkRate), byteUs_(10 * 1000000LL / std::max<uint32_t>(baudRate, 1)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") +
                                 strerror(errno));
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
        throw std::runtime_error("cannot name the pseudo-terminal");
    }
    devicePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
        throw std::runtime_error("cannot open " + devicePath_ + ": " + strerror(errno));
    }
    // Raw from the start: between two host sessions the terminal must not echo or translate.
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PacedLine::~PacedLine() {
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

uint8_t PacedLine::garbled(uint8_t byte) {
    const uint8_t wrong = static_cast<uint8_t>(0x80 | ((byte * 37 + 11) & 0x7F));
    return wrong == byte ? static_cast<uint8_t>(wrong ^ 1) : wrong;
}

uint32_t PacedLine::hostRateNow() const {
    // The terminal's settings are shared by both ends: what the host set is readable here.
    termios settings{};
    if (tcgetattr(slave_, &settings) != 0) {
        return 0;
    }
    return rateOf(cfgetospeed(&settings));
}

void PacedLine::setRate(uint32_t baud) {
    romRate_ = baud;
    if (checkRate_ && baud != 0) {
        byteUs_ = 10 * 1000000LL / baud;
    }
}

void PacedLine::send(const std::string& bytes) {
    if (bytes.empty()) {
        return;
    }
    sent_ += bytes.size();
    const int64_t start = std::max({txClockUs_, busyUntilUs_, monotonicMicros()});
    txClockUs_ = start + byteUs_ * static_cast<int64_t>(bytes.size());
    out_.push_back({txClockUs_, bytes, romRate_});
}

void PacedLine::busy(uint32_t ms) {
    busyMs_ += ms;
    busyUntilUs_ = std::max({busyUntilUs_, txClockUs_, monotonicMicros()}) + int64_t{ms} * 1000;
}

void PacedLine::flushDue(int64_t now) {
    const uint32_t hostRate = checkRate_ && !out_.empty() ? hostRateNow() : 0;
    while (!out_.empty() && out_.front().dueUs <= now) {
        std::string& bytes = out_.front().bytes;
        if (hostRate != 0 && out_.front().rate != 0 && out_.front().rate != hostRate) {
            for (char& c : bytes) {
                c = static_cast<char>(garbled(static_cast<uint8_t>(c)));
            }
        }
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                break;
            } else if (n < 0 && errno == EAGAIN) {
                // Nobody reads the other end: what a real line would lose.
                break;
            }
        }
        out_.pop_front();
    }
}

void PacedLine::run(BootRom& rom, const volatile int& stop, uint32_t quietMs) {
    // Bytes read from the host, each piece with the time its last byte has crossed the line.
    // They are read as soon as they come (so their arrival is known) and handed to the ROM when
    // the wire would have delivered them; past kBacklog the host's writes back up in the
    // terminal as on a real port.
    std::deque<Pending> arriving;
    size_t backlog = 0;
    int64_t lastArrival = monotonicMicros();
    bool quietReported = true;
    const int64_t quietUs = int64_t{quietMs} * 1000;
    while (!stop) {
        rom.poll(*this);
        int64_t now = monotonicMicros();
        flushDue(now);
        if (!arriving.empty() && arriving.front().dueUs <= now && busyUntilUs_ <= now) {
            Pending piece = std::move(arriving.front());
            arriving.pop_front();
            backlog -= piece.bytes.size();
            if (checkRate_ && romRate_ != 0 && piece.rate != romRate_) {
                for (char& c : piece.bytes) {
                    c = static_cast<char>(garbled(static_cast<uint8_t>(c)));
                }
            }
            // A gap on the wire counts however late this loop got to see it.
            const int64_t pieceStart =
                piece.dueUs - byteUs_ * static_cast<int64_t>(piece.bytes.size());
            if (!quietReported && pieceStart - lastArrival >= quietUs) {
                rom.quiet();
            }
            deliveringRate_ = piece.rate;
            rom.receive(reinterpret_cast<const uint8_t*>(piece.bytes.data()), piece.bytes.size(),
                        *this);
            lastArrival = piece.dueUs;
            quietReported = false;
            continue;
        }
        if (!quietReported && arriving.empty() && now - lastArrival >= quietUs) {
            rom.quiet();
            quietReported = true;
        }
        int64_t wake = now + 100000;
        if (!out_.empty()) {
            wake = std::min(wake, out_.front().dueUs);
        }
        if (!arriving.empty()) {
            wake = std::min(wake, std::max(arriving.front().dueUs, busyUntilUs_));
        } else if (!quietReported) {
            wake = std::min(wake, lastArrival + quietUs);
        }
        const int64_t left = std::max<int64_t>(0, wake - now);
        timespec timeout{static_cast<time_t>(left / 1000000),
                         static_cast<long>(left % 1000000) * 1000};
        pollfd p{master_, static_cast<short>(backlog < kBacklog ? POLLIN : 0), 0};
        const int ready = ppoll(&p, 1, &timeout, nullptr);
        if (ready <= 0 || (p.revents & POLLIN) == 0) {
            if (ready > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
                sleepUntil(wake); // no host on the line: nothing to read until one opens it
            }
            continue;
        }
        char buffer[kReadChunk];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            continue;
        }
        const int64_t arrival = monotonicMicros();
        const uint32_t rate = hostRateNow();
        received_ += static_cast<uint64_t>(n);
        backlog += static_cast<size_t>(n);
        // Small pieces, so a reply can follow the byte that completes a command closely; a CR
        // and the LF right behind it stay together, as they cross the line back to back.
        for (ssize_t at = 0; at < n;) {
            ssize_t size = std::min<ssize_t>(kPiece, n - at);
            if (at + size < n && buffer[at + size - 1] == '\r' && buffer[at + size] == '\n') {
                ++size;
            }
            rxClockUs_ = std::max(rxClockUs_, arrival) + byteUs_ * size;
            arriving.push_back(
                {rxClockUs_, std::string(buffer + at, static_cast<size_t>(size)), rate});
            at += size;
        }
    }
    flushDue(INT64_MAX);
}
