// Round trips of a model query through a sharing client link (client -> server -> module link ->
// virtual module and back) against the same query over a direct engine link to the same
// virtual module, in blocks taken in turns so the load of a shared machine weighs on both.
#include "aServer_Internal.h"
#include "corvane/aLink.h"
#include "corvane/aServer.h"

#include "VirtualModule.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using Corvane::Tools::VirtualModule;
using Corvane::Tools::VirtualModuleConfig;

constexpr uint8_t kModuleAddress = 2;
constexpr int kBlockTrips = 500;

bool trip(aLinkRef link) {
    uint8_t model = 0;
    return aLink_GetModel(link, kModuleAddress, &model) == aErrNone;
}

std::vector<double> gBlockRatios;
double gSharedTrips = 0;
double gSharedSeconds = 0;

void BM_SharedAgainstDirect(benchmark::State& state) {
    VirtualModuleConfig config;
    config.heartbeatMs = 0;
    VirtualModule module(config);
    std::string error;
    if (!module.start(&error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    aLinkRef served = aLink_CreateTCPIP(loopback, module.port());
    aServer* server = aServer_Create(served, 0, true);
    if (server == nullptr || !aServer_Start(server)) {
        state.SkipWithError("server did not start");
        aLink_Destroy(&served);
        return;
    }
    aLinkRef shared = aLink_CreateClient(loopback, aServer_GetPort(server), 0);
    using Clock = std::chrono::steady_clock;
    auto block = [](aLinkRef link) {
        const auto started = Clock::now();
        for (int i = 0; i < kBlockTrips; ++i)
            if (!trip(link))
                return -1.0;
        return std::chrono::duration<double>(Clock::now() - started).count();
    };
    // A link over a stream of its own is never shared, so the server's link stays the server's.
    aStream* stream = nullptr;
    aStream_CreateSocket(loopback, module.port(), &stream);
    aLinkRef sideLink = stream ? aLink_Create(stream) : 0;
    for (auto _ : state) {
        const double directSeconds = block(sideLink);
        const double sharedSeconds = block(shared);
        if (directSeconds <= 0 || sharedSeconds <= 0) {
            state.SkipWithError("round trip failed");
            break;
        }
        gBlockRatios.push_back(directSeconds / sharedSeconds);
        gSharedTrips += kBlockTrips;
        gSharedSeconds += sharedSeconds;
    }
    state.SetItemsProcessed(state.iterations() * 2 * kBlockTrips);
    aLink_Destroy(&shared);
    aServer_Destroy(&server);
    aLink_Destroy(&sideLink);
    aLink_Destroy(&served);
}

BENCHMARK(BM_SharedAgainstDirect)->UseRealTime()->Iterations(20);

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    // Pinned to one CPU as bench_link_roundtrip is: a trip hands off between many threads, and
    // where the scheduler of a shared machine places them would otherwise decide the figure.
    if (argc < 2 || std::string(argv[argc - 1]) != "--unpinned") {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(std::max(0, sched_getcpu()), &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0)
            std::fprintf(stderr, "could not pin to one CPU; running unpinned\n");
    } else {
        --argc;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!gBlockRatios.empty() && gSharedSeconds > 0)
        std::printf("sharing_roundtrip: %.0f trips/s (ratio %.2f vs direct engine link)\n",
                    gSharedTrips / gSharedSeconds, median(gBlockRatios));
    return 0;
}
