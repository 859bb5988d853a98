// Windows backend of exclusive claims: LockFileEx on a file in the user's own local application
// data folder. The system lets go of the lock when the holder's handle closes, however the
// holder ends.
#include "platform/platform.h"
#include "win_common.h"

#include <cstring>

namespace corvane::platform {

namespace {

// %LOCALAPPDATA%\corvane\claims (the profile's, so no other user sees it), made when missing.
aErr claimDirectory(std::wstring& out) {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    std::wstring base;
    if (local != nullptr && *local) {
        base = local;
    } else {
        wchar_t temp[MAX_PATH + 1];
        const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
        if (length == 0 || length > MAX_PATH)
            return aErrNotFound;
        base = temp;
    }
    if (base.back() == L'\\' || base.back() == L'/')
        base.pop_back();
    out = base + L"\\corvane";
    for (const std::wstring& folder : {out, out + L"\\claims"}) {
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return errorFromWin32(GetLastError());
    }
    out += L"\\claims";
    return aErrNone;
}

} // namespace

aErr claimExclusive(const char* name, ClaimHandle& out) {
    out = noClaim;
    if (name == nullptr || name[0] == '\0' || std::strpbrk(name, "/\\:") != nullptr ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return aErrParam;
    std::wstring directory;
    if (const aErr err = claimDirectory(directory); err != aErrNone)
        return err;
    const std::wstring path = directory + L"\\" + wideFromUtf8(name);
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return errorFromWin32(GetLastError());
    // Each open is a holder of its own, so a second claim in the same process is refused too.
    OVERLAPPED at{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? aErrBusy
                                                                          : errorFromWin32(error);
    }
    out = descriptorFromHandle(handle, false);
    return out >= 0 ? aErrNone : aErrResource;
}

void releaseClaim(ClaimHandle claim) {
    if (claim != noClaim)
        closeFile(claim); // the lock ends with the handle
}

} // namespace corvane::platform
