// Reading store files and files named on the command line: only regular files, opened so that a
// named pipe or a device in their place can never hold the program.
#pragma once

#include <corvane/aError.h>

#include <cstddef>
#include <cstdint>
#include <string>

// True when path names a regular file (after following symbolic links).
bool isRegularFile(const std::string& path);

// The whole of a regular file into out. aErrSize when it is larger than maxBytes; otherwise as
// RegularFile::open and read say. systemError (when given) receives the open's error number.
aErr readRegularFile(const std::string& path, size_t maxBytes, std::string& out,
                     int* systemError = nullptr);

class RegularFile {
  public:
    RegularFile() = default;
    ~RegularFile() { close(); }
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    // Opens path for reading. aErrMode when it is not a regular file, aErrNotFound,
    // aErrPermission or aErrIO as the system says; systemError() then has its error number.
    aErr open(const std::string& path);
    // Reads until count bytes arrived or the file ended; got holds what was read.
    aErr read(void* buffer, size_t count, size_t& got);
    void close();

    bool isOpen() const { return handle_ >= 0; }
    uint64_t size() const { return size_; }
    int systemError() const { return systemError_; }

  private:
    int handle_ = -1;
    uint64_t size_ = 0;
    int systemError_ = 0;
};
