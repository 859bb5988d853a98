// "-D -t TCP" with 16 virtual modules answering, against the same with 1,000 junk replies in the
// listening window as well: 400 copies of one module's reply, 300 replies and malformed
// datagrams from the limited broadcast address, and 300 replies from the loopback broadcast and
// a multicast group. Both are measured in the same run; the junk must cost next to nothing.
// Discovery multicasts, so the program runs itself again inside a private network namespace
// (unshare -rn, or unshare -n) with a veth interface at 10.9.0.1; where no namespace can be made
// it says so and measures nothing.
#include "BenchMedian.h"
#include "DiscoveryResponder.h"
#include "RecordingDisplay.h"
#include "RequestReplyModel.h"
#include "UpdaterCommands.h"
#include "VirtualModule.h"

#include "BenchNamespace.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace Corvane::Tools;

constexpr const char* kInterface = kBenchInterface;
constexpr size_t kModules = 16;

struct Module {
    explicit Module(uint32_t serial) {
        VirtualModuleConfig config;
        config.bindAddress = kInterface;
        config.heartbeatMs = 0;
        config.identity.serialNumber = serial;
        identity = config.identity;
        model = std::make_unique<RequestReplyModel>(config.identity);
        module = std::make_unique<VirtualModule>(config);
        model->install(*module);
        std::string error;
        if (!module->start(&error) ||
            !responder.start(kInterface, identity, module->port(), &error))
            std::fprintf(stderr, "virtual module: %s\n", error.c_str());
    }
    ModuleIdentity identity;
    std::unique_ptr<RequestReplyModel> model;
    std::unique_ptr<VirtualModule> module;
    DiscoveryResponder responder;
};

// The hosts that send the junk; started for the junk runs only.
struct Junk {
    void start(const Module& copied) {
        const struct {
            const char* from;
            uint32_t copies, junk;
        } senders[] = {{"", 400, 0},
                       {"255.255.255.255", 1, 299},
                       {"127.255.255.255", 150, 0},
                       {"224.0.0.1", 150, 0}};
        for (size_t i = 0; i < std::size(senders); ++i) {
            DiscoveryFaults faults{senders[i].copies, senders[i].junk, senders[i].from};
            ModuleIdentity identity = copied.identity;
            if (i != 0)
                identity.serialNumber = 0x7E000000u + static_cast<uint32_t>(i);
            std::string error;
            if (!responders[i].start(kInterface, identity, copied.module->port(), &error, faults))
                std::fprintf(stderr, "junk sender: %s\n", error.c_str());
        }
    }
    void stop() {
        for (DiscoveryResponder& responder : responders)
            responder.stop();
    }
    DiscoveryResponder responders[4];
};

std::vector<double> gCleanMs, gJunkMs;

double timedDiscover() {
    RecordingDisplay display;
    const std::string store = (std::filesystem::temp_directory_path() / "bench_discover").string();
    UpdaterContext context("http://127.0.0.1:1/cgi/u", store, display);
    const auto started = Clock::now();
    discoverCommand(context, {.transport = TCPIP});
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    const size_t rows = display.messages().size() - 3; // search line, title, header
    if (rows != kModules || !display.errors().empty())
        std::fprintf(stderr, "discover: %zu rows, %zu errors\n", rows, display.errors().size());
    return ms;
}

void BM_DiscoverSixteen(benchmark::State& state) {
    static std::vector<std::unique_ptr<Module>> modules = [] {
        std::vector<std::unique_ptr<Module>> made;
        for (size_t i = 0; i < kModules; ++i)
            made.push_back(std::make_unique<Module>(0x10000000u + static_cast<uint32_t>(i)));
        return made;
    }();
    static Junk junk;
    for (auto _ : state) {
        // Alternating, so that the machine's load weighs on both alike.
        const double clean = timedDiscover();
        junk.start(*modules.front());
        const double withJunk = timedDiscover();
        junk.stop();
        gCleanMs.push_back(clean);
        gJunkMs.push_back(withJunk);
        state.SetIterationTime(withJunk / 1000);
    }
}
BENCHMARK(BM_DiscoverSixteen)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!insideBenchNamespace()) {
        const int status = runInsideNamespace(argv);
        if (status < 0)
            std::printf("discover_16_with_1000_junk: skipped (no network namespace can be made "
                        "here)\n");
        return status < 0 ? 0 : status;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!gCleanMs.empty()) {
        const double clean = median(gCleanMs), withJunk = median(gJunkMs);
        std::printf("discover_16_with_1000_junk: %.0f ms (ratio %.2f vs 16 modules alone, %.0f "
                    "ms)\n",
                    withJunk, withJunk / clean, clean);
    }
    return 0;
}
