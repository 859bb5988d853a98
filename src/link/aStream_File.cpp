// File streams: a file read one byte per get, and a file written byte by byte or by block.
// The stream's reference is the aFile itself, whose own check word guards every call.
#include "corvane/aFile.h"
#include "corvane/aStream.h"

#include "aStream_Internal.h"

namespace {

aErr fileGet(uint8_t* byte, void* reference) {
    size_t read = 0;
    aErr err = aFile_Read(static_cast<aFile*>(reference), byte, 1, &read);
    if (err == aErrNone && read == 1) {
        return aErrNone;
    }
    return err == aErrEOF || (err == aErrNone && read == 0) ? aErrEOF : aErrRead;
}

// A file never makes its reader wait: the next get has a byte, the end or a failure.
aErr fileWait(uint32_t, void*) {
    return aErrNone;
}

aErr fileWrite(const uint8_t* bytes, size_t count, void* reference) {
    size_t written = 0;
    aErr err = aFile_Write(static_cast<aFile*>(reference), bytes, count, &written);
    return err == aErrNone && written == count ? aErrNone : aErrWrite;
}

aErr filePut(uint8_t byte, void* reference) {
    return fileWrite(&byte, 1, reference);
}

aErr fileDelete(void* reference) {
    aFile* file = static_cast<aFile*>(reference);
    return aFile_Close(&file);
}

// A file read byte by byte, and one written by byte or by block.
constexpr aStreamKind kFileInputKind{.get = fileGet, .wait = fileWait, .del = fileDelete};
constexpr aStreamKind kFileOutputKind{.put = filePut, .write = fileWrite, .del = fileDelete};

aErr createFileStream(const char* path, aFileMode mode, aStream** stream) {
    if (stream == nullptr) {
        return aErrResource;
    }
    *stream = nullptr;
    if (path == nullptr) {
        return aErrResource;
    }
    aFile* file = aFile_Open(path, mode);
    if (file == nullptr) {
        return aErrResource;
    }
    *stream =
        aStream_CreateOfKind(mode == aFileModeReadOnly ? kFileInputKind : kFileOutputKind, file);
    if (*stream == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    return aErrNone;
}

} // namespace

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
    return createFileStream(path, aFileModeReadOnly, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
    return createFileStream(path, aFileModeWriteOnly, stream);
}
