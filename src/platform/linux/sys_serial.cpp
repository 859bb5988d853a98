// Serial ports on termios: a non-blocking descriptor in raw mode (VMIN 0, VTIME 0), taken for
// exclusive use, with the settings found at open put back at close.
#include "platform/serial.h"

#include "platform/platform.h"
#include "sys_poll.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <new>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace corvane::platform {

struct SerialPort {
    int fd = -1;
    termios saved{};
};

namespace {

speed_t speedOf(uint32_t baud) {
    switch (baud) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
    }
}

int64_t nowMs() {
    return static_cast<int64_t>(monotonicMilliseconds());
}

int setAttributes(int fd, const termios& settings) {
    int rc;
    do {
        rc = tcsetattr(fd, TCSANOW, &settings);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

} // namespace

aErr openSerialPort(const char* path, const SerialSettings& settings, SerialPort*& out) {
    out = nullptr;
    const speed_t speed = speedOf(settings.baud);
    if (path == nullptr || speed == B0) {
        return aErrIO;
    }
    auto* port = new (std::nothrow) SerialPort{};
    if (port == nullptr) {
        return aErrMemory;
    }
    do {
        port->fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (port->fd < 0 && errno == EINTR);
    bool ok =
        port->fd >= 0 && ioctl(port->fd, TIOCEXCL) == 0 && tcgetattr(port->fd, &port->saved) == 0;
    if (ok) {
        termios raw = port->saved;
        // Binary: no line editing, echo, signals, translations or software flow control.
        raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                              ICRNL | IXON | IXOFF | IXANY | INPCK);
        raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
        raw.c_cflag |= CREAD | CLOCAL | (settings.dataBits == 7 ? CS7 : CS8);
        if (settings.oddParity) {
            raw.c_cflag |= PARENB | PARODD;
            raw.c_iflag |= INPCK;
        }
        if (settings.stopBits == 2) {
            raw.c_cflag |= CSTOPB;
        }
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        ok = cfsetispeed(&raw, speed) == 0 && cfsetospeed(&raw, speed) == 0 &&
             setAttributes(port->fd, raw) == 0;
        if (!ok) {
            setAttributes(port->fd, port->saved);
        }
    }
    if (!ok) {
        if (port->fd >= 0) {
            ioctl(port->fd, TIOCNXCL);
            ::close(port->fd);
        }
        delete port;
        return aErrIO;
    }
    out = port;
    return aErrNone;
}

aErr readSerialPort(SerialPort* port, uint8_t* buffer, size_t size, size_t& got) {
    got = 0;
    for (;;) {
        ssize_t n = ::read(port->fd, buffer, size);
        if (n >= 0) {
            got = static_cast<size_t>(n);
            return aErrNone;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? aErrNone : aErrIO;
    }
}

aErr waitSerialPortReadable(SerialPort* port, uint32_t timeoutMs) {
    return waitReadable(port->fd, timeoutMs);
}

aErr watchSerialPort(SerialPort* port, int wake, uint32_t timeoutMs) {
    return awaitReadableOrWake(port->fd, wake, timeoutMs);
}

aErr writeSerialPort(SerialPort* port, const uint8_t* bytes, size_t count, uint32_t timeoutMs) {
    const int64_t deadline = nowMs() + timeoutMs;
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::write(port->fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return aErrIO;
        }
        // The driver's buffer is full: wait for room, but never past the deadline.
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            return aErrIO;
        }
        pollfd pfd{port->fd, POLLOUT, 0};
        int rc = ::poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 && errno != EINTR) {
            return aErrIO;
        }
        if (rc > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return aErrIO;
        }
    }
    return aErrNone;
}

std::string serialDevicePath(const char* name) {
    std::string path(name != nullptr ? name : "");
    return path.find('/') == std::string::npos ? "/dev/" + path : path;
}

std::string describeSerialOpenFailure(const char* path) {
    const std::string port = std::string("serial port ") + path;
    int fd;
    do {
        fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        const bool terminal = isatty(fd) != 0;
        ::close(fd);
        return terminal ? std::string() : port + " is not a serial device";
    }
    switch (errno) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return port + " does not exist";
    case EBUSY: return port + " is in use by another program";
    case EACCES:
    case EPERM: {
        // Serial devices belong to the group whose members may use them, dialout on Debian.
        std::string groupName = "dialout";
        struct stat info {};
        if (stat(path, &info) == 0) {
            if (const struct group* entry = getgrgid(info.st_gid); entry != nullptr) {
                groupName = entry->gr_name;
            }
        }
        return "no permission to open " + port + ": join the group \"" + groupName +
               "\" (sudo usermod -aG " + groupName + " $USER) and log in again";
    }
    default: return port + " cannot be opened: " + strerror(errno);
    }
}

aErr closeSerialPort(SerialPort* port) {
    if (port == nullptr) {
        return aErrParam;
    }
    const bool restored = setAttributes(port->fd, port->saved) == 0;
    ioctl(port->fd, TIOCNXCL);
    ::close(port->fd);
    delete port;
    return restored ? aErrNone : aErrIO;
}

} // namespace corvane::platform
