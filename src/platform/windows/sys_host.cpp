// Windows backend of os/host.h: the account from the process token, the running programs from a
// Toolhelp snapshot and the room on a volume. Windows has no groups that grant device nodes, so
// the group questions answer for a system without them.
#include "os/host.h"

#include "platform/platform.h"
#include "win_common.h"

#include <tlhelp32.h>

#include <algorithm>

namespace corvane::platform {

UserAccount currentUser() {
    UserAccount account;
    wchar_t name[257] = {};
    DWORD length = sizeof name / sizeof name[0];
    if (GetUserNameW(name, &length))
        account.name = utf8FromWide(name);
    // An elevated administrator: nothing on this machine refuses it for lack of permission.
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
            account.privileged = elevation.TokenIsElevated != 0;
        CloseHandle(token);
    }
    return account;
}

bool groupDatabaseLists(const std::string&, const std::string&) {
    return false;
}

aErr pathGroup(const char* path, std::string& group) {
    group.clear();
    PathInfo info;
    const aErr err = pathInfo(path, true, info);
    // Device access on Windows is not granted by a group that owns a node.
    return err != aErrNone ? err : aErrNotFound;
}

bool mayReadAndWrite(const char* path) {
    const std::wstring wide = wideFromUtf8(path);
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(handle);
    return true;
}

std::vector<std::string> runningPrograms() {
    std::vector<std::string> programs;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return programs;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        // The image name without ".exe", cut to 15 characters as Linux keeps program names.
        std::string name = utf8FromWide(entry.szExeFile);
        if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0)
            name.resize(name.size() - 4);
        programs.push_back(name.substr(0, 15));
    }
    CloseHandle(snapshot);
    return programs;
}

std::vector<std::string> serialPortNames() {
    // The serial ports the drivers announced, as COM names.
    std::vector<std::string> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0; index < 1024; ++index) {
        wchar_t name[256];
        wchar_t value[256];
        DWORD nameLength = 256, valueBytes = sizeof value - sizeof(wchar_t), type = 0;
        const LONG rc = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(value), &valueBytes);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;
        value[valueBytes / sizeof(wchar_t)] = L'\0';
        ports.push_back(utf8FromWide(value));
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end());
    return ports;
}

aErr freeSpace(const char* path, uint64_t& bytes) {
    bytes = 0;
    const std::wstring wide = wideFromUtf8(path);
    ULARGE_INTEGER available{};
    if (wide.empty() || !GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr))
        return errorFromWin32(wide.empty() ? ERROR_PATH_NOT_FOUND : GetLastError());
    bytes = available.QuadPart;
    return aErrNone;
}

} // namespace corvane::platform
