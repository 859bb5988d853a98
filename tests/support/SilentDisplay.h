// A display that shows nothing and keeps the last error, for benchmarks that time a flow rather
// than the console.
#pragma once

#include "UpdaterDisplayInterface.h"

#include <string>

class SilentDisplay final : public UpdaterDisplayInterface {
  public:
    void showProgress(bool) override {}
    void progress(double, const char*) override {}
    void spinner(bool, const char*) override {}
    void message(const char*) override {}
    void error(const char* text) override { lastError = text; }
    std::string lastError;
};
