// Round trips of a model query through a sharing client link (client -> server -> module link ->
// virtual module and back) against the same query over a direct engine link to the same
// virtual module, in blocks taken in turns so the load of a shared machine weighs on both; what
// an idle sharing server with a client costs, against the engine link it serves alone; and how
// long closing a client link takes, against closing a direct engine link.
#include "BenchMedian.h"
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

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A quiet virtual module, the engine link to it and, once started, a sharing server on that link.
class ServedModule {
  public:
    ServedModule() : module_(quiet()) {
        if (module_.start(&error_))
            served_ = aLink_CreateTCPIP(kLoopback, module_.port());
    }
    ~ServedModule() {
        stopServer();
        aLink_Destroy(&served_);
    }
    // Why the module cannot be used; empty when it can.
    const std::string& error() const { return error_; }
    aLinkRef served() const { return served_; }
    bool startServer() {
        server_ = aServer_Create(served_, 0, true);
        return server_ != nullptr && aServer_Start(server_);
    }
    aServer* server() const { return server_; }
    void stopServer() { aServer_Destroy(&server_); }
    aLinkRef client() const { return aLink_CreateClient(kLoopback, aServer_GetPort(server_), 0); }
    // A link over a stream of its own is never shared, so the server's link stays the server's.
    aLinkRef sideLink() const {
        aStream* stream = nullptr;
        aStream_CreateSocket(kLoopback, module_.port(), &stream);
        return stream ? aLink_Create(stream) : 0;
    }

  private:
    static VirtualModuleConfig quiet() {
        VirtualModuleConfig config;
        config.heartbeatMs = 0;
        return config;
    }
    VirtualModule module_;
    std::string error_;
    aLinkRef served_ = 0;
    aServer* server_ = nullptr;
};

std::vector<double> gBlockRatios;
double gSharedTrips = 0;
double gSharedSeconds = 0;

void BM_SharedAgainstDirect(benchmark::State& state) {
    ServedModule module;
    if (!module.error().empty()) {
        state.SkipWithError(module.error().c_str());
        return;
    }
    if (!module.startServer()) {
        state.SkipWithError("server did not start");
        return;
    }
    aLinkRef shared = module.client();
    using Clock = std::chrono::steady_clock;
    auto block = [](aLinkRef link) {
        const auto started = Clock::now();
        for (int i = 0; i < kBlockTrips; ++i)
            if (!trip(link))
                return -1.0;
        return std::chrono::duration<double>(Clock::now() - started).count();
    };
    aLinkRef sideLink = module.sideLink();
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
    aLink_Destroy(&sideLink);
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
    ServedModule module;
    if (!module.error().empty()) {
        state.SkipWithError(module.error().c_str());
        return;
    }
    constexpr auto kSpan = std::chrono::seconds(3);
    for (auto _ : state) {
        gIdleAlone = idleCpu(kSpan);
        if (!module.startServer()) {
            state.SkipWithError("server did not start");
            break;
        }
        aServer_SetModule(module.server(), 0x1A2B3C4D, 0x13);
        aLinkRef client = module.client();
        if (!trip(client)) {
            state.SkipWithError("no answer through the server");
        } else {
            gIdleServed = idleCpu(kSpan);
        }
        aLink_Destroy(&client);
        module.stopServer();
    }
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
    ServedModule module;
    if (!module.error().empty()) {
        state.SkipWithError(module.error().c_str());
        return;
    }
    if (!module.startServer()) {
        state.SkipWithError("server did not start");
        return;
    }
    for (auto _ : state) {
        const double direct = timedClose(module.sideLink());
        const double client = timedClose(module.client());
        if (direct < 0 || client < 0) {
            state.SkipWithError("round trip failed");
            break;
        }
        gDirectCloses.push_back(direct);
        gClientCloses.push_back(client);
    }
}

BENCHMARK(BM_CloseClient)->UseRealTime()->Iterations(10);

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
