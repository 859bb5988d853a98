// A display that keeps every line and call it receives, so tests can check what a flow showed.
#pragma once

#include "UpdaterDisplayInterface.h"

#include <string>
#include <vector>

class RecordingDisplay final : public UpdaterDisplayInterface {
  public:
    struct Line {
        bool isError;
        std::string text;
        bool operator==(const Line&) const = default;
    };

    void showProgress(bool on) override {
        calls.push_back(on ? "showProgress(on)" : "showProgress(off)");
    }
    void progress(double fraction, const char* label) override {
        calls.push_back("progress(" + std::to_string(fraction) + "," + (label ? label : "") + ")");
    }
    void spinner(bool on, const char* label) override {
        calls.push_back(std::string(on ? "spinner(on," : "spinner(off,") + (label ? label : "") +
                        ")");
    }
    void message(const char* text) override { lines.push_back({false, text}); }
    void error(const char* text) override { lines.push_back({true, text}); }

    // The texts of the information lines, then of the error lines, in order.
    std::vector<std::string> messages() const { return texts(false); }
    std::vector<std::string> errors() const { return texts(true); }

    std::vector<Line> lines;        // every message and error, in order
    std::vector<std::string> calls; // progress, spinner and showProgress calls, in order

  private:
    std::vector<std::string> texts(bool isError) const {
        std::vector<std::string> out;
        for (const Line& line : lines) {
            if (line.isError == isError) {
                out.push_back(line.text);
            }
        }
        return out;
    }
};
