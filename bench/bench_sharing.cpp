// Round trips of a model query through a sharing client link (client -> server -> module link ->
// virtual module and back) against the same query over a direct engine link to the same
// virtual module, in blocks taken in turns so the load of a shared machine weighs on both; what
// an idle sharing server with a client costs, against the engine link it serves alone; and how
// long closing a client link takes, against closing a direct engine link.
#include "corvane/aLink.h"
#include "corvane/aServer.h"

#include "VirtualModule.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
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

double gIdleServed = -1;
double gIdleAlone = -1;

// CPU seconds per wall second of this whole process while it does nothing for span.
double idleCpu(std::chrono::milliseconds span) {
    auto cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
    };
    using Clock = std::chrono::steady_clock;
    const double before = cpu();
    const auto started = Clock::now();
    std::this_thread::sleep_for(span);
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    return (cpu() - before) / wall;
}

void BM_IdleServer(benchmark::State& state) {
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
    constexpr auto kSpan = std::chrono::seconds(3);
    for (auto _ : state) {
        gIdleAlone = idleCpu(kSpan);
        aServer* server = aServer_Create(served, 0, true);
        if (server == nullptr || !aServer_Start(server)) {
            state.SkipWithError("server did not start");
            break;
        }
        aServer_SetModule(server, 0x1A2B3C4D, 0x13);
        aLinkRef client = aLink_CreateClient(loopback, aServer_GetPort(server), 0);
        if (!trip(client)) {
            state.SkipWithError("no answer through the server");
        } else {
            gIdleServed = idleCpu(kSpan);
        }
        aLink_Destroy(&client);
        aServer_Destroy(&server);
    }
    aLink_Destroy(&served);
}

BENCHMARK(BM_IdleServer)->UseRealTime()->Iterations(1);

std::vector<double> gClientCloses;
std::vector<double> gDirectCloses;

// Seconds aLink_Destroy takes on a link that has just answered a query.
double timedClose(aLinkRef link) {
    using Clock = std::chrono::steady_clock;
    if (link == 0 || !trip(link)) {
        aLink_Destroy(&link);
        return -1;
    }
    const auto started = Clock::now();
    aLink_Destroy(&link);
    return std::chrono::duration<double>(Clock::now() - started).count();
}

void BM_CloseClient(benchmark::State& state) {
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
    for (auto _ : state) {
        aStream* stream = nullptr;
        aStream_CreateSocket(loopback, module.port(), &stream);
        const double direct = timedClose(stream ? aLink_Create(stream) : 0);
        const double client = timedClose(aLink_CreateClient(loopback, aServer_GetPort(server), 0));
        if (direct < 0 || client < 0) {
            state.SkipWithError("round trip failed");
            break;
        }
        gDirectCloses.push_back(direct);
        gClientCloses.push_back(client);
    }
    aServer_Destroy(&server);
    aLink_Destroy(&served);
}

BENCHMARK(BM_CloseClient)->UseRealTime()->Iterations(10);

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
    if (gIdleServed >= 0 && gIdleAlone > 0)
        std::printf("sharing_idle_cpu: %.4f CPU s per wall s (ratio %.2f vs the engine link "
                    "alone, %.4f)\n",
                    gIdleServed, gIdleServed / gIdleAlone, gIdleAlone);
    if (!gClientCloses.empty()) {
        const double client = median(gClientCloses), direct = median(gDirectCloses);
        std::printf("sharing_client_close: %.1f ms (ratio %.2f vs closing a direct engine link, "
                    "%.1f ms)\n",
                    client * 1e3, direct > 0 ? client / direct : 0.0, direct * 1e3);
    }
    return 0;
}
