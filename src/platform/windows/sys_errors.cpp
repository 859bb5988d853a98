// Windows backend: the single place where Win32 and Winsock error codes become library error
// codes, and where the process starts Winsock.
#include "platform/platform.h"
#include "win_common.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <mutex>

namespace corvane::platform {

aErr errorFromWin32(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS: return aErrNone;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DEV_NOT_EXIST: return aErrNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD: return aErrPermission;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return aErrDuplicate;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_DIR_NOT_EMPTY:
    case ERROR_BUSY:
    case ERROR_USER_MAPPED_FILE: return aErrBusy;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return aErrMemory;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW: return aErrFileNameLength;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_TOO_MANY_OPEN_FILES:
    case WSAEMFILE:
    case WSAENOBUFS: return aErrResource;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY: return aErrParam;
    case ERROR_NEGATIVE_SEEK: return aErrRange;
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
    case WSAETIMEDOUT: return aErrTimeout;
    default: return aErrIO;
    }
}

aErr errorFromSystem(int systemError) {
    return errorFromWin32(static_cast<DWORD>(systemError));
}

bool isRetryableError(int systemError) {
    // ZeroMQ reports its failures with the C runtime's numbers; Winsock has its own.
    return systemError == EAGAIN || systemError == EINTR || systemError == WSAEWOULDBLOCK ||
           systemError == WSAEINTR;
}

std::string systemErrorText(int systemError) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(systemError), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (length > 0 && text != nullptr)
        out = utf8FromWide(text);
    LocalFree(text);
    // The system's texts end in a full stop and a line end; the callers add their own.
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out.empty() ? "error " + std::to_string(systemError) : out;
}

std::wstring wideFromUtf8(const char* text) {
    if (text == nullptr || *text == '\0')
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out.data(), length);
    out.resize(static_cast<size_t>(length) - 1);
    return out;
}

std::string utf8FromWide(const wchar_t* text) {
    if (text == nullptr || *text == L'\0')
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length) - 1);
    return out;
}

bool winsockReady() {
    // Never cleaned up: sockets live until the process ends, and Windows ends Winsock with it.
    static const bool ready = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

int descriptorFromHandle(HANDLE handle, bool readOnly) {
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                           _O_BINARY | _O_NOINHERIT | (readOnly ? _O_RDONLY : 0));
    if (descriptor < 0)
        CloseHandle(handle);
    return descriptor;
}

HANDLE handleOfDescriptor(int descriptor) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

} // namespace corvane::platform
