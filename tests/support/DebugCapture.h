// Captures the updater's debug trace for one test: the sink points at a temporary file until the
// capture ends. The mask bits it adds stay set (the mask is never cleared), which is harmless
// because the sink is null again afterwards.
#pragma once

#include "Debug.h"

#include <cstdio>
#include <string>

class DebugCapture {
  public:
    explicit DebugCapture(uint32_t mask) : file_(tmpfile()) {
        Debug_AddMask(mask);
        Debug_SetSink(file_);
    }
    ~DebugCapture() {
        Debug_SetSink(nullptr);
        if (file_ != nullptr) {
            fclose(file_);
        }
    }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::string text() const {
        std::string out;
        if (file_ == nullptr) {
            return out;
        }
        fflush(file_);
        rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) {
            out.append(buffer, n);
        }
        fseek(file_, 0, SEEK_END);
        return out;
    }

  private:
    FILE* file_;
};
