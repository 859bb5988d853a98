// Files behind a checked handle. Writes are made durable when a writable file is closed (one
// flush per file) rather than on every write, which would cost a disk flush per line.
#include "corvane/aFile.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace platform = corvane::platform;

namespace {

constexpr uint32_t fileCheck = 0xFEED;

bool canRead(aFileMode mode) {
    return mode == aFileModeReadOnly || mode == aFileModeAppend;
}
bool canWrite(aFileMode mode) {
    return mode == aFileModeWriteOnly || mode == aFileModeAppend;
}

} // namespace

struct aFile {
    uint32_t check; // fileCheck while the handle is open
    platform::FileHandle handle;
    aFileMode mode;
};

namespace {

bool valid(const aFile* file) {
    return file && file->check == fileCheck;
}

} // namespace

bool aFile_Exists(const char* path) {
    if (!path)
        return false;
    platform::PathInfo info;
    return platform::pathInfo(path, true, info) == aErrNone &&
           info.kind != platform::PathKind::directory;
}

aFile* aFile_Open(const char* path, aFileMode mode) {
    if (!path || strlen(path) > aFILE_MAXPATH)
        return nullptr;
    platform::OpenMode how;
    switch (mode) {
    case aFileModeReadOnly: how = platform::OpenMode::readExisting; break;
    case aFileModeWriteOnly: how = platform::OpenMode::writeTruncate; break;
    case aFileModeAppend: how = platform::OpenMode::readWrite; break;
    default: return nullptr;
    }
    auto* file = new (std::nothrow) aFile{fileCheck, platform::invalidFile, mode};
    if (!file)
        return nullptr;
    if (platform::openFile(path, how, file->handle) != aErrNone) {
        delete file;
        return nullptr;
    }
    return file;
}

aErr aFile_Close(aFile** file) {
    if (!file || !valid(*file))
        return aErrParam;
    aFile* closing = *file;
    aErr result = aErrNone;
    if (canWrite(closing->mode) && platform::syncFile(closing->handle) != aErrNone)
        result = aErrWrite; // the data may not have reached the disk: say so
    if (platform::closeFile(closing->handle) != aErrNone && result == aErrNone)
        result = aErrIO;
    closing->check = 0;
    delete closing;
    *file = nullptr;
    return result;
}

aErr aFile_Read(aFile* file, void* buffer, size_t count, size_t* read) {
    if (read)
        *read = 0;
    if (!valid(file) || (!buffer && count > 0))
        return aErrParam;
    if (!canRead(file->mode))
        return aErrMode;
    size_t got = 0;
    aErr err = platform::readFile(file->handle, buffer, count, got);
    if (read)
        *read = got;
    if (got == 0 && count != 0)
        return err == aErrNone ? aErrEOF : aErrRead;
    return err == aErrNone ? aErrNone : aErrRead;
}

aErr aFile_Write(aFile* file, const void* buffer, size_t count, size_t* written) {
    if (written)
        *written = 0;
    if (!valid(file) || (!buffer && count > 0))
        return aErrParam;
    if (!canWrite(file->mode))
        return aErrMode;
    size_t put = 0;
    aErr err = platform::writeFile(file->handle, buffer, count, put);
    if (written)
        *written = put;
    return err == aErrNone ? aErrNone : aErrWrite;
}

aErr aFile_Seek(aFile* file, int64_t offset, aFileSeekOrigin origin) {
    if (!valid(file))
        return aErrParam;
    uint64_t size = 0;
    if (platform::fileSize(file->handle, size) != aErrNone)
        return aErrIO;
    uint64_t base = 0;
    switch (origin) {
    case aSeekStart: break;
    case aSeekCurrent:
        if (platform::seekFile(file->handle, 0, platform::SeekOrigin::current, base) != aErrNone)
            return aErrIO;
        break;
    case aSeekEnd: base = size; break;
    default: return aErrParam;
    }
    int64_t target = 0;
    if (__builtin_add_overflow(static_cast<int64_t>(base), offset, &target) || target < 0 ||
        static_cast<uint64_t>(target) > size)
        return aErrRange;
    uint64_t position = 0;
    if (platform::seekFile(file->handle, target, platform::SeekOrigin::start, position) != aErrNone)
        return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFile* file, uint64_t* size) {
    if (!valid(file) || !size)
        return aErrParam;
    return platform::fileSize(file->handle, *size) == aErrNone ? aErrNone : aErrIO;
}

aErr aFile_GetPosition(aFile* file, uint64_t* position) {
    if (!valid(file) || !position)
        return aErrParam;
    aErr err = platform::seekFile(file->handle, 0, platform::SeekOrigin::current, *position);
    return err == aErrNone ? aErrNone : aErrIO;
}

aErr aFile_Delete(const char* path) {
    if (!path)
        return aErrParam;
    switch (platform::removeFile(path)) {
    case aErrNone: return aErrNone;
    case aErrNotFound: return aErrNotFound;
    case aErrPermission: return aErrPermission;
    default: return aErrIO;
    }
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
    if (length)
        *length = 0;
    if (!valid(file))
        return aErrParam;
    if (!canRead(file->mode))
        return aErrMode;
    if (!buffer || size == 0)
        return aErrParam;
    buffer[0] = '\0';
    // A buffer with room for no byte cannot make progress; reading zero bytes would look like EOF.
    if (size < 2)
        return aErrParam;
    size_t got = 0;
    if (platform::readFile(file->handle, buffer, size - 1, got) != aErrNone) {
        buffer[0] = '\0';
        return aErrIO;
    }
    if (got == 0)
        return aErrEOF;
    const auto* lineFeed = static_cast<const char*>(memchr(buffer, '\n', got));
    if (lineFeed) {
        const size_t lineLength = static_cast<size_t>(lineFeed - buffer) + 1;
        if (lineLength < got) {
            // Give back what follows the line so the next read starts there.
            uint64_t position = 0;
            const auto back = static_cast<int64_t>(got - lineLength);
            if (platform::seekFile(file->handle, -back, platform::SeekOrigin::current, position) !=
                aErrNone) {
                buffer[0] = '\0';
                return aErrIO;
            }
        }
        buffer[lineLength] = '\0';
        if (length)
            *length = lineLength;
        return aErrNone;
    }
    buffer[got] = '\0';
    if (length)
        *length = got;
    return got == size - 1 ? aErrOverrun : aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
    if (!valid(file) || !format)
        return aErrParam;
    if (!canWrite(file->mode))
        return aErrMode;
    // One process-wide buffer; the lock makes concurrent callers wait rather than mix texts.
    static char text[64 * 1024];
    static std::mutex textLock; // guards text
    std::lock_guard<std::mutex> hold(textLock);
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= sizeof text)
        return aErrIO;
    size_t put = 0;
    return platform::writeFile(file->handle, text, static_cast<size_t>(length), put) == aErrNone
               ? aErrNone
               : aErrWrite;
}

aErr aFile_SetUnbuffered(aFile* file) {
    (void)file;
    return aErrMode;
}
