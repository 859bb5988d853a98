// Windows backend of the tools' file status: the volume serial number and file index of an open
// handle, and the times NTFS keeps in 100 ns steps.
#include "ToolFiles.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace Corvane::Tools::os {

namespace {

int64_t nanoseconds(LARGE_INTEGER time) {
    return static_cast<int64_t>(time.QuadPart) * 100;
}

} // namespace

bool fileStatus(const std::filesystem::path& path, FileStatus& out) {
    const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO times{};
    const bool ok = GetFileInformationByHandle(file, &info) &&
                    GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times);
    CloseHandle(file);
    if (!ok)
        return false;
    out = FileStatus{info.dwVolumeSerialNumber,
                     (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                     (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
                     nanoseconds(times.LastWriteTime), nanoseconds(times.ChangeTime)};
    return true;
}

void binaryStandardOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
}

} // namespace Corvane::Tools::os
