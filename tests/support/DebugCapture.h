// Captures the updater's debug trace for one test: the sink points at a temporary file until the
// capture ends. The mask bits it adds stay set (the mask is never cleared), which is harmless
// because the sink is null again afterwards.
#pragma once

#include "Debug.h"

#include <cstdio>
#include <string>

class DebugCapture {
  public:
    explicit DebugCapture(uint32_t mask) : file_(std::tmpfile()) {
        Debug_AddMask(mask);
        Debug_SetSink(file_);
    }
    ~DebugCapture() {
        Debug_SetSink(nullptr);
        std::fclose(file_);
    }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::string text() const {
        std::fflush(file_);
        std::string all;
        std::rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
            all.append(buffer, n);
        }
        std::fseek(file_, 0, SEEK_END); // later writes go after what was read
        return all;
    }

  private:
    FILE* file_;
};
