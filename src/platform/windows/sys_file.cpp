// Windows backend of file handles: CreateFileW handles held by C runtime descriptors, opened
// for sharing so that the store can replace a file someone is reading, never inherited.
#include "platform/platform.h"
#include "win_common.h"

#include <algorithm>
#include <io.h>

namespace corvane::platform {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

aErr openFile(const char* path, OpenMode mode, FileHandle& out) {
    out = invalidFile;
    const std::wstring wide = wideFromUtf8(path);
    if (wide.empty())
        return aErrNotFound;
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
    case OpenMode::readExisting: break;
    case OpenMode::writeTruncate:
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    case OpenMode::readWrite:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        break;
    }
    // A directory cannot be opened without backup semantics, so it fails here as on Linux later.
    const HANDLE handle = CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        const bool directory =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return error == ERROR_ACCESS_DENIED && directory ? aErrMode : errorFromWin32(error);
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return aErrMode;
    }
    if (mode == OpenMode::readWrite &&
        SetFilePointer(handle, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return errorFromWin32(error);
    }
    out = descriptorFromHandle(handle, mode == OpenMode::readExisting);
    return out >= 0 ? aErrNone : aErrResource;
}

aErr readFile(FileHandle file, void* buffer, size_t count, size_t& got) {
    got = 0;
    const HANDLE handle = handleOfDescriptor(file);
    auto* bytes = static_cast<char*>(buffer);
    while (got < count) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - got, 1u << 30));
        DWORD n = 0;
        if (!ReadFile(handle, bytes + got, chunk, &n, nullptr)) {
            const DWORD error = GetLastError();
            return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE ? aErrNone
                                                                           : errorFromWin32(error);
        }
        if (n == 0)
            break;
        got += n;
    }
    return aErrNone;
}

aErr writeFile(FileHandle file, const void* buffer, size_t count, size_t& put) {
    put = 0;
    const HANDLE handle = handleOfDescriptor(file);
    const auto* bytes = static_cast<const char*>(buffer);
    while (put < count) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - put, 1u << 30));
        DWORD n = 0;
        if (!WriteFile(handle, bytes + put, chunk, &n, nullptr))
            return errorFromWin32(GetLastError());
        if (n == 0)
            return aErrMedia;
        put += n;
    }
    return aErrNone;
}

aErr seekFile(FileHandle file, int64_t offset, SeekOrigin origin, uint64_t& position) {
    const DWORD method = origin == SeekOrigin::start     ? FILE_BEGIN
                         : origin == SeekOrigin::current ? FILE_CURRENT
                                                         : FILE_END;
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    LARGE_INTEGER at{};
    if (!SetFilePointerEx(handleOfDescriptor(file), distance, &at, method)) {
        const DWORD error = GetLastError();
        return error == ERROR_NEGATIVE_SEEK || error == ERROR_INVALID_PARAMETER ? aErrRange
                                                                                : aErrIO;
    }
    position = static_cast<uint64_t>(at.QuadPart);
    return aErrNone;
}

aErr fileSize(FileHandle file, uint64_t& size) {
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(handleOfDescriptor(file), &length))
        return errorFromWin32(GetLastError());
    size = static_cast<uint64_t>(length.QuadPart);
    return aErrNone;
}

aErr syncFile(FileHandle file) {
    const HANDLE handle = handleOfDescriptor(file);
    if (FlushFileBuffers(handle))
        return aErrNone;
    const DWORD error = GetLastError();
    // A handle opened for reading, or a console or pipe, has nothing to flush.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ||
        error == ERROR_INVALID_FUNCTION)
        return aErrNone;
    return errorFromWin32(error);
}

aErr closeFile(FileHandle file) {
    return _close(file) == 0 ? aErrNone : aErrIO;
}

} // namespace corvane::platform
