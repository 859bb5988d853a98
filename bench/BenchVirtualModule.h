// The in-process virtual module of a round-trip benchmark: started on first use and kept for the
// whole run, without heartbeats or latency, so every byte on the link is a trip's own. A
// benchmark that cannot start it has nothing to measure and ends.
#pragma once

#include "VirtualModule.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

inline Corvane::Tools::VirtualModule& benchVirtualModule() {
    static std::unique_ptr<Corvane::Tools::VirtualModule> instance = [] {
        Corvane::Tools::VirtualModuleConfig config;
        config.heartbeatMs = 0;
        config.latencyUs = 0;
        auto m = std::make_unique<Corvane::Tools::VirtualModule>(config);
        std::string error;
        if (!m->start(&error)) {
            std::fprintf(stderr, "virtual module: %s\n", error.c_str());
            std::exit(1);
        }
        return m;
    }();
    return *instance;
}
