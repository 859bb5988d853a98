// What the Windows backend files share: UTF-8 and UTF-16 text, the translation of Win32 error
// codes, Winsock's start-up, and the C runtime descriptors that stand for handles in the
// platform headers' int handle types.
#ifndef CORVANE_PLATFORM_WINDOWS_WIN_COMMON_H
#define CORVANE_PLATFORM_WINDOWS_WIN_COMMON_H

#include "corvane/aError.h"

#include <windows.h>
#include <winsock2.h>

#include <string>

namespace corvane::platform {

// UTF-8 to UTF-16 and back; text that is not valid UTF-8 comes back empty.
std::wstring wideFromUtf8(const char* text);
std::string utf8FromWide(const wchar_t* text);

// The one translation of a Win32 error code (GetLastError, WSAGetLastError) into aErr.
aErr errorFromWin32(DWORD error);

// Starts Winsock once for the process; false when it cannot be started.
bool winsockReady();

// A socket as the platform headers' int handle and back. Socket handles are kernel handle
// values, which stay far below INT_MAX.
inline int socketToInt(SOCKET socket) {
    return socket == INVALID_SOCKET ? -1 : static_cast<int>(socket);
}
inline SOCKET intToSocket(int socket) {
    return socket < 0 ? INVALID_SOCKET : static_cast<SOCKET>(socket);
}

// A file handle as a C runtime descriptor (the platform headers' FileHandle) and back. The
// descriptor owns the handle: closing it closes the handle. -1 when no descriptor is free (the
// handle is closed then).
int descriptorFromHandle(HANDLE handle, bool readOnly);
HANDLE handleOfDescriptor(int descriptor);

} // namespace corvane::platform

#endif
