// Windows backend of what the updater store needs beyond plain file handles: regular files
// opened for reading, exclusive creation, replacing renames (ReplaceFileW, else MoveFileExW),
// whether a rename may replace a path and whether a writer still lives.
#include "platform/platform.h"
#include "win_common.h"

#include <cstring>

namespace corvane::platform {

namespace {

thread_local DWORD lastError = 0;

aErr failed(DWORD error) {
    lastError = error;
    return errorFromWin32(error);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

aErr openRegularFile(const char* path, FileHandle& out, uint64_t& size) {
    out = invalidFile;
    size = 0;
    lastError = 0;
    const std::wstring wide = wideFromUtf8(path);
    if (wide.empty())
        return failed(ERROR_FILE_NOT_FOUND);
    if (isDirectory(wide)) {
        lastError = ERROR_DIRECTORY;
        return aErrMode;
    }
    // Devices (COM1, a named pipe) are refused below before anything is read from them.
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failed(GetLastError());
    LARGE_INTEGER length{};
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        lastError = ERROR_INVALID_FUNCTION;
        return aErrMode;
    }
    if (!GetFileSizeEx(handle, &length)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return failed(error);
    }
    out = descriptorFromHandle(handle, true);
    if (out < 0)
        return failed(ERROR_TOO_MANY_OPEN_FILES);
    size = static_cast<uint64_t>(length.QuadPart);
    return aErrNone;
}

aErr createExclusiveFile(const char* path, FileHandle& out) {
    out = invalidFile;
    lastError = 0;
    const std::wstring wide = wideFromUtf8(path);
    if (wide.empty())
        return failed(ERROR_PATH_NOT_FOUND);
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failed(GetLastError());
    out = descriptorFromHandle(handle, false);
    return out >= 0 ? aErrNone : failed(ERROR_TOO_MANY_OPEN_FILES);
}

aErr renamePath(const char* from, const char* to) {
    lastError = 0;
    const std::wstring source = wideFromUtf8(from);
    const std::wstring target = wideFromUtf8(to);
    if (source.empty() || target.empty())
        return failed(ERROR_FILE_NOT_FOUND);
    if (isDirectory(target))
        return failed(ERROR_ACCESS_DENIED);
    // ReplaceFileW swaps in the new file in one step and keeps the old one's security; it
    // wants the target to exist, and a few file systems refuse it: a replacing move then.
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES &&
        ReplaceFileW(target.c_str(), source.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                     nullptr, nullptr))
        return aErrNone;
    if (MoveFileExW(source.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return aErrNone;
    return failed(GetLastError());
}

aErr syncDirectory(const char*) {
    // NTFS journals a rename with the directory it changes; MOVEFILE_WRITE_THROUGH waited for
    // it. A directory has nothing more to flush.
    lastError = 0;
    return aErrNone;
}

aErr checkReplaceable(const char* path, size_t maxLength) {
    lastError = 0;
    const size_t length = strlen(path);
    if (length == 0) {
        lastError = ERROR_FILE_NOT_FOUND;
        return aErrNotFound;
    }
    if (length > maxLength) {
        lastError = ERROR_FILENAME_EXCED_RANGE;
        return aErrFileNameLength;
    }
    const std::wstring wide = wideFromUtf8(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    const char last = path[length - 1];
    if (last == '/' || last == '\\' || (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
        lastError = ERROR_DIRECTORY;
        return aErrMode;
    }
    if (!exists)
        return aErrNone; // for a new file the creation decides
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return failed(ERROR_ACCESS_DENIED);
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failed(GetLastError());
    const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
    CloseHandle(handle);
    if (!disk) {
        lastError = ERROR_INVALID_FUNCTION;
        return aErrMode;
    }
    return aErrNone;
}

uint32_t currentProcessId() {
    return static_cast<uint32_t>(GetCurrentProcessId());
}

bool processExists(uint32_t id) {
    if (id == 0)
        return false;
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED; // there, but someone else's
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

int lastSystemError() {
    return static_cast<int>(lastError);
}

} // namespace corvane::platform
