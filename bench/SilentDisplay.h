// A display for the benchmarks: it shows nothing, so they measure the flows, not the console.
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
    std::string lastError; // the last error shown, for the benchmark's own report
};
