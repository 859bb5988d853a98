// Serial ports on Win32 COM ports: opened for overlapped I/O with exclusive access (the system
// grants a COM port to one handle), raw 8N1-style settings from a DCB, and the settings found at
// open put back at close. "COM3" and "\\.\COM12" both name a port.
#include "platform/serial.h"

#include "platform/platform.h"
#include "sys_poll.h"
#include "win_common.h"

#include <algorithm>
#include <cctype>
#include <new>

namespace corvane::platform {

struct SerialPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB saved{};
    COMMTIMEOUTS savedTimeouts{};
    HANDLE ioDone = nullptr;    // event of the overlapped reads and writes
    HANDLE eventDone = nullptr; // event of the overlapped WaitCommEvent
    HANDLE wakeDone = nullptr;  // event a wake-up socket signals while a watch waits
    OVERLAPPED eventIo{};       // of the WaitCommEvent in flight
    bool eventPending = false;  // a WaitCommEvent is in flight
    DWORD eventMask = 0;        // filled by the WaitCommEvent in flight
};

namespace {

bool knownBaud(uint32_t baud) {
    switch (baud) {
    case 2400:
    case 4800:
    case 9600:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
    case 230400: return true;
    default: return false;
    }
}

HANDLE openPort(const char* path) {
    const std::wstring wide = wideFromUtf8(serialDevicePath(path).c_str());
    if (wide.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// The bytes the driver holds for reading; false when the port fails.
bool queued(SerialPort* port, DWORD& bytes) {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(port->handle, &errors, &status))
        return false;
    bytes = status.cbInQue;
    return true;
}

// Makes sure a WaitCommEvent is in flight, so that eventDone is set by the next arrival (or
// fault). False when the port fails; ready is set when one completed at once.
bool armEvent(SerialPort* port, bool& ready) {
    ready = false;
    if (port->eventPending)
        return true;
    ResetEvent(port->eventDone);
    port->eventIo = OVERLAPPED{};
    port->eventIo.hEvent = port->eventDone;
    if (WaitCommEvent(port->handle, &port->eventMask, &port->eventIo)) {
        ready = true;
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING)
        return false;
    port->eventPending = true;
    return true;
}

// Waits at most timeoutMs for input (or a fault) on the port, or for wake when it is a wake-up.
aErr waitPort(SerialPort* port, int wake, uint32_t timeoutMs) {
    DWORD bytes = 0;
    bool ready = false;
    // Bytes that came before the wait was armed raise no event: look after arming, too.
    if (!queued(port, bytes) || !armEvent(port, ready) || (!ready && !queued(port, bytes)))
        return aErrIO;
    if (bytes > 0 || ready)
        return wake >= 0 && waitReadable(wake, 0) == aErrNone ? aErrCancel : aErrNone;
    HANDLE events[2] = {port->eventDone, port->wakeDone};
    DWORD count = 1;
    if (wake >= 0) {
        // A wake raised already signals the event as soon as it is selected.
        ResetEvent(port->wakeDone);
        if (WSAEventSelect(intToSocket(wake), port->wakeDone, FD_READ) != 0)
            return aErrIO;
        count = 2;
    }
    const DWORD waited = WaitForMultipleObjects(count, events, FALSE, timeoutMs);
    if (wake >= 0)
        WSAEventSelect(intToSocket(wake), nullptr, 0);
    if (waited == WAIT_OBJECT_0) {
        DWORD ignored = 0;
        GetOverlappedResult(port->handle, &port->eventIo, &ignored, FALSE);
        port->eventPending = false;
    }
    if (wake >= 0 && waitReadable(wake, 0) == aErrNone)
        return aErrCancel;
    if (waited == WAIT_TIMEOUT)
        return aErrNotReady;
    return waited == WAIT_OBJECT_0 || waited == WAIT_OBJECT_0 + 1 ? aErrNone : aErrIO;
}

} // namespace

std::string serialDevicePath(const char* name) {
    std::string path(name != nullptr ? name : "");
    // COM10 and above need the device namespace; COM1 to COM9 work either way.
    if (path.rfind("\\\\.\\", 0) == 0)
        return path;
    if (path.size() > 3 && (path[0] == 'C' || path[0] == 'c') &&
        (path[1] == 'O' || path[1] == 'o') && (path[2] == 'M' || path[2] == 'm') &&
        std::isdigit(static_cast<unsigned char>(path[3])))
        return "\\\\.\\" + path;
    return path;
}

aErr openSerialPort(const char* path, const SerialSettings& settings, SerialPort*& out) {
    out = nullptr;
    if (path == nullptr || !knownBaud(settings.baud))
        return aErrIO;
    auto* port = new (std::nothrow) SerialPort{};
    if (port == nullptr)
        return aErrMemory;
    port->handle = openPort(path);
    port->saved.DCBlength = sizeof port->saved;
    bool ok = port->handle != INVALID_HANDLE_VALUE && GetCommState(port->handle, &port->saved) &&
              GetCommTimeouts(port->handle, &port->savedTimeouts);
    if (ok) {
        DCB raw = port->saved;
        // Binary: no flow control, no character translation, errors do not stop the port.
        raw.BaudRate = settings.baud;
        raw.fBinary = TRUE;
        raw.fParity = settings.oddParity ? TRUE : FALSE;
        raw.Parity = settings.oddParity ? ODDPARITY : NOPARITY;
        raw.ByteSize = settings.dataBits == 7 ? 7 : 8;
        raw.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        raw.fOutxCtsFlow = FALSE;
        raw.fOutxDsrFlow = FALSE;
        raw.fDtrControl = DTR_CONTROL_ENABLE;
        raw.fRtsControl = RTS_CONTROL_ENABLE;
        raw.fDsrSensitivity = FALSE;
        raw.fOutX = FALSE;
        raw.fInX = FALSE;
        raw.fErrorChar = FALSE;
        raw.fNull = FALSE;
        raw.fAbortOnError = FALSE;
        // Reads return what is there at once (the VMIN 0, VTIME 0 of termios).
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        ok = SetCommState(port->handle, &raw) && SetCommTimeouts(port->handle, &timeouts) &&
             SetCommMask(port->handle, EV_RXCHAR | EV_ERR | EV_BREAK);
        if (!ok)
            SetCommState(port->handle, &port->saved);
    }
    if (ok) {
        port->ioDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        port->eventDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        port->wakeDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ok = port->ioDone != nullptr && port->eventDone != nullptr && port->wakeDone != nullptr;
    }
    if (!ok) {
        for (HANDLE event : {port->ioDone, port->eventDone, port->wakeDone})
            if (event != nullptr)
                CloseHandle(event);
        if (port->handle != INVALID_HANDLE_VALUE)
            CloseHandle(port->handle);
        delete port;
        return aErrIO;
    }
    out = port;
    return aErrNone;
}

aErr readSerialPort(SerialPort* port, uint8_t* buffer, size_t size, size_t& got) {
    got = 0;
    if (size == 0)
        return aErrNone;
    OVERLAPPED io{};
    io.hEvent = port->ioDone;
    ResetEvent(port->ioDone);
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
    if (!ReadFile(port->handle, buffer, chunk, &n, &io)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return aErrIO;
        // With the time-outs set at open the read completes at once with what is there.
        if (!GetOverlappedResult(port->handle, &io, &n, TRUE))
            return aErrIO;
    }
    got = n;
    return aErrNone;
}

aErr waitSerialPortReadable(SerialPort* port, uint32_t timeoutMs) {
    return waitPort(port, -1, timeoutMs);
}

aErr watchSerialPort(SerialPort* port, int wake, uint32_t timeoutMs) {
    return waitPort(port, wake, timeoutMs);
}

aErr writeSerialPort(SerialPort* port, const uint8_t* bytes, size_t count, uint32_t timeoutMs) {
    const uint64_t deadline = monotonicMilliseconds() + timeoutMs;
    size_t done = 0;
    while (done < count) {
        OVERLAPPED io{};
        io.hEvent = port->ioDone;
        ResetEvent(port->ioDone);
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 20));
        if (!WriteFile(port->handle, bytes + done, chunk, &n, &io)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return aErrIO;
            // The driver's buffer is full: wait for room, but never past the deadline.
            const uint64_t now = monotonicMilliseconds();
            const DWORD left = deadline > now ? static_cast<DWORD>(deadline - now) : 0;
            if (WaitForSingleObject(port->ioDone, left) != WAIT_OBJECT_0) {
                CancelIoEx(port->handle, &io);
                GetOverlappedResult(port->handle, &io, &n, TRUE);
                return aErrIO;
            }
            if (!GetOverlappedResult(port->handle, &io, &n, FALSE))
                return aErrIO;
        }
        done += n;
        if (n == 0 && monotonicMilliseconds() >= deadline)
            return aErrIO;
    }
    return aErrNone;
}

std::string describeSerialOpenFailure(const char* path) {
    const std::string port = std::string("serial port ") + path;
    const HANDLE handle = openPort(path);
    if (handle != INVALID_HANDLE_VALUE) {
        DCB settings{};
        settings.DCBlength = sizeof settings;
        const bool serial = GetCommState(handle, &settings) != 0;
        CloseHandle(handle);
        return serial ? std::string() : port + " is not a serial device";
    }
    const DWORD error = GetLastError();
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST: return port + " does not exist";
    // Windows grants a COM port to one handle: another program's open reads as a refusal.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return port + " is in use by another program";
    default: return port + " cannot be opened: " + systemErrorText(static_cast<int>(error));
    }
}

aErr closeSerialPort(SerialPort* port) {
    if (port == nullptr)
        return aErrParam;
    if (port->eventPending) {
        // A new mask completes the wait in flight, which must end before its record goes.
        SetCommMask(port->handle, 0);
        DWORD ignored = 0;
        GetOverlappedResult(port->handle, &port->eventIo, &ignored, TRUE);
    }
    const bool restored = SetCommState(port->handle, &port->saved) &&
                          SetCommTimeouts(port->handle, &port->savedTimeouts);
    CloseHandle(port->handle);
    for (HANDLE event : {port->ioDone, port->eventDone, port->wakeDone})
        CloseHandle(event);
    delete port;
    return restored ? aErrNone : aErrIO;
}

} // namespace corvane::platform
