// Windows backend of the path procedures: file attributes, CreateDirectoryW, RemoveDirectoryW,
// DeleteFileW, FindFirstFileW listings and the well-known directories (working, executable,
// home: %USERPROFILE%). Paths are UTF-8 outside, UTF-16 towards the system.
#include "platform/platform.h"
#include "win_common.h"

#include <cstdlib>
#include <memory>
#include <vector>

namespace corvane::platform {

namespace {

PathKind kindOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return PathKind::directory;
    if ((attributes & (FILE_ATTRIBUTE_DEVICE)) != 0)
        return PathKind::other;
    return PathKind::file;
}

uint64_t sizeOf(DWORD high, DWORD low) {
    return static_cast<uint64_t>(high) << 32 | low;
}

struct FindCloser {
    void operator()(HANDLE find) const { FindClose(find); }
};

// The attributes and size of what a link points at: opened, so the system follows it.
bool describeTarget(const std::wstring& path, DWORD& attributes, uint64_t& size) {
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    if (ok) {
        attributes = info.dwFileAttributes;
        size = sizeOf(info.nFileSizeHigh, info.nFileSizeLow);
    }
    return ok;
}

} // namespace

aErr pathInfo(const char* path, bool followLinks, PathInfo& info) {
    info = PathInfo{};
    const std::wstring wide = wideFromUtf8(path);
    if (wide.empty())
        return aErrNotFound;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
        return errorFromWin32(GetLastError());
    DWORD attributes = data.dwFileAttributes;
    uint64_t size = sizeOf(data.nFileSizeHigh, data.nFileSizeLow);
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (link && followLinks && !describeTarget(wide, attributes, size))
        return errorFromWin32(GetLastError());
    info.kind = kindOf(attributes);
    info.isLink = link && !followLinks;
    info.size = info.kind == PathKind::directory ? 0 : size;
    return aErrNone;
}

aErr makeDirectory(const char* path) {
    const std::wstring wide = wideFromUtf8(path);
    if (wide.empty())
        return aErrNotFound;
    if (CreateDirectoryW(wide.c_str(), nullptr))
        return aErrNone;
    const DWORD error = GetLastError();
    return error == ERROR_PATH_NOT_FOUND ? aErrNotFound : errorFromWin32(error);
}

aErr removeDirectory(const char* path) {
    const std::wstring wide = wideFromUtf8(path);
    if (wide.empty())
        return aErrNotFound;
    return RemoveDirectoryW(wide.c_str()) ? aErrNone : errorFromWin32(GetLastError());
}

aErr removeFile(const char* path) {
    const std::wstring wide = wideFromUtf8(path);
    if (wide.empty())
        return aErrNotFound;
    if (DeleteFileW(wide.c_str()))
        return aErrNone;
    const DWORD error = GetLastError();
    // A directory is "not a file": a plain failure, not a permission problem.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return aErrIO;
    return errorFromWin32(error);
}

aErr listDirectory(const char* path, const std::function<bool(const DirectoryEntry&)>& visit) {
    std::wstring pattern = wideFromUtf8(path);
    if (pattern.empty())
        return aErrNotFound;
    const std::wstring directory = pattern;
    if (pattern.back() != L'\\' && pattern.back() != L'/')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found{};
    const HANDLE first = FindFirstFileW(pattern.c_str(), &found);
    if (first == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // FindFirstFile says "path not found" for a file given as the directory too.
        return error == ERROR_DIRECTORY ? aErrNotFound : errorFromWin32(error);
    }
    std::unique_ptr<void, FindCloser> find(first);
    do {
        const std::string name = utf8FromWide(found.cFileName);
        DWORD attributes = found.dwFileAttributes;
        uint64_t size = sizeOf(found.nFileSizeHigh, found.nFileSizeLow);
        const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (link) {
            std::wstring full = directory + L"\\" + found.cFileName;
            if (!describeTarget(full, attributes, size)) {
                attributes = 0; // a dangling link: neither a directory nor sized
                size = 0;
            }
        }
        const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        DirectoryEntry entry{name.c_str(), isDirectory, link, isDirectory ? 0 : size};
        if (!visit(entry))
            return aErrNone;
    } while (FindNextFileW(find.get(), &found));
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? aErrNone : errorFromWin32(error);
}

aErr currentDirectory(std::string& out) {
    const DWORD length = GetCurrentDirectoryW(0, nullptr);
    if (length == 0)
        return aErrIO;
    std::vector<wchar_t> buffer(length + 1);
    if (GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data()) == 0)
        return aErrIO;
    out = utf8FromWide(buffer.data());
    return aErrNone;
}

aErr executablePath(std::string& out) {
    // GetModuleFileNameW does not say how long the name is when it cuts it: grow until it fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return aErrNotFound;
        if (length < buffer.size()) {
            out = utf8FromWide(buffer.data());
            return aErrNone;
        }
        if (buffer.size() >= 32768)
            return aErrFileNameLength;
        buffer.resize(buffer.size() * 2);
    }
}

aErr homeDirectory(std::string& out) {
    // The profile folder, else the drive and path the logon set.
    if (const wchar_t* profile = _wgetenv(L"USERPROFILE"); profile != nullptr && *profile) {
        out = utf8FromWide(profile);
        return aErrNone;
    }
    const wchar_t* drive = _wgetenv(L"HOMEDRIVE");
    const wchar_t* path = _wgetenv(L"HOMEPATH");
    if (drive != nullptr && path != nullptr && *path) {
        out = utf8FromWide((std::wstring(drive) + path).c_str());
        return aErrNone;
    }
    return aErrNotFound;
}

} // namespace corvane::platform
