// What one round trip costs the machine rather than the caller: context switches (voluntary
// and involuntary) and CPU time per trip of this whole process, which holds the caller, the
// link's threads and the virtual module, for a model query through an engine link against the
// same bytes ping-ponged over a raw socket to the same module in the same run. A raw trip
// hands off twice (host to module and back); every switch the engine adds is a hand-off
// between its own threads.
//   link_handoffs: context switches per trip (ratio vs raw);
//   link_cpu_per_trip: CPU microseconds per trip (ratio vs raw).
// Blocks of raw and link trips take turns; the figures are the medians of the blocks.
//
// The program pins itself to one CPU unless given --unpinned (BenchPinning.h says why).
#include "BenchMedian.h"
#include "LoopbackSocket.h"
#include "corvane/aLink.h"

#include "BenchVirtualModule.h"

#include "BenchPinning.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using Corvane::Tools::VirtualModule;

constexpr uint8_t kModuleAddress = 2;
const uint8_t kQuery[] = {kModuleAddress, 3, 0x03, 0x48, 0x20}; // get model
constexpr size_t kAnswerSize = 6;
constexpr int kBlockTrips = 2000;

VirtualModule& module() {
    return benchVirtualModule();
}

struct Usage {
    double switches = 0; // voluntary and involuntary
    double cpuSeconds = 0;
};

Usage processUsage() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw),
            seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

// Per-trip usage of a block of trips; negative switches when a trip failed.
template <class Trip> Usage block(Trip&& trip) {
    const Usage before = processUsage();
    for (int i = 0; i < kBlockTrips; ++i)
        if (!trip())
            return {-1, -1};
    const Usage after = processUsage();
    return {(after.switches - before.switches) / kBlockTrips,
            (after.cpuSeconds - before.cpuSeconds) / kBlockTrips};
}

struct Figures {
    std::vector<double> rawSwitches, linkSwitches, rawCpu, linkCpu;
};
Figures gFigures;

void BM_HandOffs(benchmark::State& state) {
    const int fd = connectLoopbackNoDelay(module().port());
    aLinkRef link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module().port());
    auto rawTrip = [&] {
        uint8_t answer[kAnswerSize];
        return exchangeExactly(fd, kQuery, sizeof kQuery, answer, sizeof answer);
    };
    auto linkTrip = [&] {
        uint8_t model = 0;
        return aLink_GetModel(link, kModuleAddress, &model) == aErrNone;
    };
    if (fd < 0 || link == 0)
        state.SkipWithError("cannot reach the module");
    for (auto _ : state) {
        if (fd < 0 || link == 0)
            break;
        const Usage raw = block(rawTrip);
        const Usage viaLink = block(linkTrip);
        if (raw.switches < 0 || viaLink.switches < 0) {
            state.SkipWithError("round trip failed");
            break;
        }
        gFigures.rawSwitches.push_back(raw.switches);
        gFigures.linkSwitches.push_back(viaLink.switches);
        gFigures.rawCpu.push_back(raw.cpuSeconds);
        gFigures.linkCpu.push_back(viaLink.cpuSeconds);
    }
    aLink_Destroy(&link);
    if (fd >= 0)
        close(fd);
}

BENCHMARK(BM_HandOffs)->UseRealTime()->Iterations(20);

} // namespace

int main(int argc, char** argv) {
    const bool pinned = pinUnlessUnpinned(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const Figures& f = gFigures;
    const char* placement = pinned ? "pinned" : "unpinned";
    if (!f.rawSwitches.empty()) {
        const double raw = median(f.rawSwitches), viaLink = median(f.linkSwitches);
        std::printf("link_handoffs (%s): %.2f context switches per trip (ratio %.2f vs raw "
                    "socket ping-pong, %.2f)\n",
                    placement, viaLink, raw > 0 ? viaLink / raw : 0.0, raw);
        const double rawCpu = median(f.rawCpu), linkCpu = median(f.linkCpu);
        std::printf("link_cpu_per_trip (%s): %.1f us (ratio %.2f vs raw socket ping-pong, "
                    "%.1f us)\n",
                    placement, linkCpu * 1e6, rawCpu > 0 ? linkCpu / rawCpu : 0.0, rawCpu * 1e6);
    }
    module().stop();
    return 0;
}
