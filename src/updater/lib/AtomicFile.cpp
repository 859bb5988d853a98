// Whole-file replacement through a synced temporary file and rename(2). The store is the only
// user; the support layer's aFile has no sync or rename, so this talks to POSIX itself.
#include "AtomicFile.h"

#include <corvane/aDefs.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kNameAttempts = 16;

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A hidden name next to the target, so directory listings that skip dot files never show it.
std::string temporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937 random{std::random_device{}()};
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char suffix[48];
    snprintf(suffix, sizeof suffix, ".tmp-%ld-%u-%08x", static_cast<long>(getpid()),
             counter.fetch_add(1), static_cast<unsigned>(random()));
    return dir + "." + base + suffix;
}

bool writeAll(int fd, const unsigned char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) { // a regular file never does this; treat it like a full disk
            errno = ENOSPC;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

aErr writeFileAtomically(const std::string& path, const void* data, size_t length,
                         int* systemError) {
    int dummy = 0;
    int& error = systemError != nullptr ? *systemError : dummy;
    error = 0;

    // Refuse what opening the file for writing would refuse: the rename must not reach
    // further than that. A path too long for the readers, or a file this user may not write,
    // would otherwise be replaced by a reader that could merely not open it.
    if (path.empty()) {
        error = ENOENT;
        return aErrNotFound;
    }
    if (path.size() > aFILE_MAXPATH) {
        error = ENAMETOOLONG;
        return aErrNotFound;
    }
    struct stat target {};
    const bool exists = ::stat(path.c_str(), &target) == 0;
    if (path.back() == '/' || (exists && S_ISDIR(target.st_mode))) {
        error = EISDIR;
        return aErrNotFound;
    }
    if (exists && ::access(path.c_str(), W_OK) != 0) {
        error = errno;
        return aErrNotFound;
    }

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
        temporary = temporaryName(path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        error = errno;
        return aErrNotFound;
    }

    bool ok = writeAll(fd, static_cast<const unsigned char*>(data), length) && ::fsync(fd) == 0;
    if (!ok) {
        error = errno;
    }
    if (::close(fd) != 0 && ok) {
        error = errno;
        ok = false;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return aErrWrite;
    }
    // Make the rename itself durable; the file is already complete either way.
    int dirFd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return aErrNone;
}
