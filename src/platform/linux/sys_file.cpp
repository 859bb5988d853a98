// Linux backend of file handles: open/read/write/lseek/fstat/fsync/close on descriptors that are
// never inherited by child processes.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::platform {

aErr openFile(const char* path, OpenMode mode, FileHandle& out) {
    out = invalidFile;
    int flags = O_CLOEXEC;
    switch (mode) {
    case OpenMode::readExisting: flags |= O_RDONLY; break;
    case OpenMode::writeTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case OpenMode::readWrite: flags |= O_RDWR | O_CREAT; break;
    }
    // Non-blocking only for the open itself: a FIFO given as a path must not hang the open
    // until a peer appears. Reads and writes block as usual afterwards.
    int fd;
    do {
        fd = open(path, flags | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errorFromSystem(errno);
    // Opening a directory read-only succeeds on Linux; a file handle on one is of no use.
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return aErrMode;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
        aErr err = errorFromSystem(errno);
        close(fd);
        return err;
    }
    if (mode == OpenMode::readWrite && lseek(fd, 0, SEEK_END) < 0) {
        aErr err = errorFromSystem(errno);
        close(fd);
        return err;
    }
    out = fd;
    return aErrNone;
}

aErr readFile(FileHandle file, void* buffer, size_t count, size_t& got) {
    got = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (got < count) {
        ssize_t n = read(file, bytes + got, count - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errorFromSystem(errno);
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return aErrNone;
}

aErr writeFile(FileHandle file, const void* buffer, size_t count, size_t& put) {
    put = 0;
    const auto* bytes = static_cast<const char*>(buffer);
    while (put < count) {
        ssize_t n = write(file, bytes + put, count - put);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errorFromSystem(errno);
        }
        if (n == 0)
            return aErrMedia;
        put += static_cast<size_t>(n);
    }
    return aErrNone;
}

aErr seekFile(FileHandle file, int64_t offset, SeekOrigin origin, uint64_t& position) {
    int whence = origin == SeekOrigin::start     ? SEEK_SET
                 : origin == SeekOrigin::current ? SEEK_CUR
                                                 : SEEK_END;
    off_t at = lseek(file, static_cast<off_t>(offset), whence);
    if (at < 0)
        return errno == EINVAL || errno == EOVERFLOW ? aErrRange : aErrIO;
    position = static_cast<uint64_t>(at);
    return aErrNone;
}

aErr fileSize(FileHandle file, uint64_t& size) {
    struct stat st {};
    if (fstat(file, &st) != 0)
        return errorFromSystem(errno);
    size = static_cast<uint64_t>(st.st_size);
    return aErrNone;
}

aErr syncFile(FileHandle file) {
    if (fsync(file) == 0)
        return aErrNone;
    // EINVAL/EROFS: the file is of a kind that has nothing to synchronise.
    if (errno == EINVAL || errno == EROFS)
        return aErrNone;
    return errorFromSystem(errno);
}

aErr closeFile(FileHandle file) {
    // Linux releases the descriptor even when close fails, so it is never retried (not on EINTR).
    if (close(file) != 0 && errno != EINTR)
        return aErrIO;
    return aErrNone;
}

} // namespace corvane::platform
