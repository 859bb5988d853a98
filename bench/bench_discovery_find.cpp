// Time of aDiscovery_FindModule for a TCP/IP module that answers at once, against the
// 2000 ms listening window a search for an absent module takes, both measured in the same run.
// Discovery multicasts, so the program runs itself again inside a private network namespace
// (unshare -rn, or unshare -n) with a veth interface at 10.9.0.1; where no namespace can be
// made it says so and measures nothing.
#include "BenchMedian.h"
#include "corvane/aDiscovery.h"

#include "DiscoveryResponder.h"
#include "VirtualModule.h"

#include "BenchNamespace.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Corvane::Tools::DiscoveryResponder;
using Corvane::Tools::VirtualModule;
using Corvane::Tools::VirtualModuleConfig;

constexpr const char* kInterface = kBenchInterface;
constexpr uint32_t kSerial = 0x0DEC0DE5;

std::vector<double> gFindMs, gWindowMs;

double timedFind(uint32_t serial, bool expectFound) {
    const auto started = Clock::now();
    linkSpec* spec = aDiscovery_FindModule(TCPIP, serial, 0);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    if ((spec != nullptr) != expectFound) {
        std::fprintf(stderr, "discovery: module %08X %s\n", serial,
                     expectFound ? "not found" : "found unexpectedly");
        std::exit(1);
    }
    aLinkSpec_Destroy(&spec);
    return ms;
}

void BM_FindAnsweringModule(benchmark::State& state) {
    for (auto _ : state) {
        const double ms = timedFind(kSerial, true);
        gFindMs.push_back(ms);
        state.SetIterationTime(ms / 1000);
    }
}

void BM_ListeningWindow(benchmark::State& state) {
    for (auto _ : state) {
        const double ms = timedFind(kSerial + 1, false);
        gWindowMs.push_back(ms);
        state.SetIterationTime(ms / 1000);
    }
}

BENCHMARK(BM_FindAnsweringModule)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListeningWindow)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!insideBenchNamespace()) {
        const int status = runInsideNamespace(argv);
        if (status < 0)
            std::printf("discovery_find: skipped (no network namespace can be made here)\n");
        return status < 0 ? 0 : status;
    }
    VirtualModuleConfig config;
    config.bindAddress = kInterface;
    config.heartbeatMs = 0;
    config.identity.serialNumber = kSerial;
    VirtualModule module(config);
    DiscoveryResponder responder;
    std::string error;
    if (!module.start(&error) ||
        !responder.start(kInterface, config.identity, module.port(), &error)) {
        std::fprintf(stderr, "discovery: %s\n", error.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!gFindMs.empty() && !gWindowMs.empty()) {
        const double find = median(gFindMs), window = median(gWindowMs);
        std::printf("discovery_find: %.2f ms (ratio %.2g vs listening window of %.0f ms)\n", find,
                    find / window, window);
    }
    return 0;
}
