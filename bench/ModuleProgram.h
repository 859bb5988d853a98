// A virtual-module program for benchmarks that measure a process's own CPU: the module runs in
// a process of its own, so its work does not count. Quiet: no samples unless asked.
#pragma once

#include "SpawnedProgram.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#ifndef VIRTUAL_MODULE_BIN
#define VIRTUAL_MODULE_BIN ""
#endif

class ModuleProgram {
  public:
    // heartbeatMs 0: the module sends no heartbeats.
    explicit ModuleProgram(unsigned heartbeatMs)
        : program_({VIRTUAL_MODULE_BIN, "--heartbeat-ms", std::to_string(heartbeatMs)}) {
        const auto line = program_.readLine(std::chrono::seconds(10));
        const std::string prefix = "listening on ";
        if (line && line->rfind(prefix, 0) == 0)
            port_ = static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
    }
    // 0 when the program did not start.
    uint16_t port() const { return port_; }

  private:
    SpawnedProgram program_;
    uint16_t port_ = 0;
};

// The benchmark's count module programs, started on first use and kept for the whole run.
inline std::vector<std::unique_ptr<ModuleProgram>>& modulePrograms(std::size_t count,
                                                                   unsigned heartbeatMs) {
    static std::vector<std::unique_ptr<ModuleProgram>> all;
    while (all.size() < count)
        all.push_back(std::make_unique<ModuleProgram>(heartbeatMs));
    return all;
}
