// Regular files for reading, through the platform layer.
#include "RegularFile.h"

#include "os/files.h"

namespace platform = corvane::platform;

bool isRegularFile(const std::string& path) {
    platform::PathInfo info;
    return platform::pathInfo(path.c_str(), true, info) == aErrNone &&
           info.kind == platform::PathKind::file;
}

aErr RegularFile::open(const std::string& path) {
    close();
    platform::FileHandle handle = platform::invalidFile;
    const aErr err = platform::openRegularFile(path.c_str(), handle, size_);
    systemError_ = platform::lastSystemError();
    if (err == aErrNone) {
        handle_ = handle;
    }
    return err;
}

aErr RegularFile::read(void* buffer, size_t count, size_t& got) {
    got = 0;
    if (handle_ < 0) {
        return aErrMode;
    }
    return platform::readFile(handle_, buffer, count, got);
}

void RegularFile::close() {
    if (handle_ >= 0) {
        platform::closeFile(handle_);
        handle_ = -1;
    }
    size_ = 0;
}

aErr readRegularFile(const std::string& path, size_t maxBytes, std::string& out, int* systemError) {
    out.clear();
    RegularFile file;
    const aErr err = file.open(path);
    if (systemError != nullptr) {
        *systemError = file.systemError();
    }
    if (err != aErrNone) {
        return err;
    }
    if (file.size() > maxBytes) {
        return aErrSize;
    }
    out.resize(static_cast<size_t>(file.size()));
    size_t got = 0;
    const aErr read = file.read(out.data(), out.size(), got);
    out.resize(got);
    return read;
}
