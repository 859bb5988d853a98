// Regular files for reading, through the platform layer.
#include "RegularFile.h"

#include "platform/platform.h"

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
