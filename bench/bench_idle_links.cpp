// What a test rack's worth of open, idle links costs: 32 of them, each to its own virtual module
// program sending heartbeats once a second (the programs' time is not counted), held open for
// 10 s while nothing is asked of them, in CPU seconds of this process per wall-clock second,
// per link:
//   idle_cpu_per_link: engine links alone (heartbeats answered, nothing else);
//   idle_cpu_per_registration: a Module per link with one stream registration, never streamed;
//   idle_cpu_per_sharing_server: a sharing server per link, with one client in this process.
// Each is against a budget of 1 % of a core per link; the whole process's figure is shown too.
#include "ModuleProgram.h"
#include "corvane/Module.h"
#include "corvane/aLink.h"
#include "corvane/aServer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLinks = 32;
constexpr auto kSpan = std::chrono::seconds(10);
constexpr uint8_t kAddress = 2;
constexpr uint8_t kQuietCommand = 200; // no entity of the model: registered, never streamed
constexpr double kBudget = 0.01;       // of a core, per link

std::vector<std::unique_ptr<ModuleProgram>>& programs() {
    return modulePrograms(kLinks, 1000);
}

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// CPU seconds of this process per wall-clock second while it sleeps through the span.
double idleCpu() {
    auto cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
    };
    const double before = cpu();
    const auto started = Clock::now();
    std::this_thread::sleep_for(kSpan);
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    return (cpu() - before) / wall;
}

double gLinks = -1, gRegistrations = -1, gServers = -1;

bool answers(aLinkRef link) {
    uint8_t model = 0;
    return aLink_GetModel(link, kAddress, &model) == aErrNone;
}

void BM_IdleLinks(benchmark::State& state) {
    std::vector<aLinkRef> links;
    for (const auto& program : programs())
        if (aLinkRef link = aLink_CreateTCPIP(kLoopback, program->port()); link != 0)
            links.push_back(link);
    bool ready = links.size() == kLinks;
    for (aLinkRef link : links)
        ready = ready && answers(link);
    for (auto _ : state) {
        if (!ready) {
            state.SkipWithError("cannot reach the module programs");
            break;
        }
        gLinks = idleCpu();
    }
    for (aLinkRef& link : links)
        aLink_Destroy(&link);
}

void BM_IdleRegistrations(benchmark::State& state) {
    std::vector<std::unique_ptr<Corvane::Module>> modules;
    bool ready = true;
    for (const auto& program : programs()) {
        linkSpec spec{};
        spec.type = TCPIP;
        spec.ipAddress = kLoopback;
        spec.port = program->port();
        auto module = std::make_unique<Corvane::Module>(kAddress);
        ready = ready && program->port() != 0 && module->connectFromSpec(spec) == aErrNone &&
                module->getLink()->enableStream(kAddress, kQuietCommand, 1, 0, true) == aErrNone;
        modules.push_back(std::move(module));
    }
    for (auto _ : state) {
        if (!ready) {
            state.SkipWithError("cannot register streams");
            break;
        }
        gRegistrations = idleCpu();
    }
}

void BM_IdleSharingServers(benchmark::State& state) {
    struct Served {
        aLinkRef link = 0;
        aServer* server = nullptr;
        aLinkRef client = 0;
    };
    std::vector<Served> all(kLinks);
    bool ready = true;
    for (std::size_t i = 0; i < kLinks && ready; ++i) {
        Served& s = all[i];
        s.link = aLink_CreateTCPIP(kLoopback, programs()[i]->port());
        s.server = s.link != 0 ? aServer_Create(s.link, 0, true) : nullptr;
        ready = s.server != nullptr && aServer_Start(s.server);
        if (ready) {
            s.client = aLink_CreateClient(kLoopback, aServer_GetPort(s.server), 0);
            ready = s.client != 0 && answers(s.client);
        }
    }
    for (auto _ : state) {
        if (!ready) {
            state.SkipWithError("cannot serve the modules");
            break;
        }
        gServers = idleCpu();
    }
    for (Served& s : all) {
        if (s.client != 0)
            aLink_Destroy(&s.client);
        if (s.server != nullptr)
            aServer_Destroy(&s.server);
        if (s.link != 0)
            aLink_Destroy(&s.link);
    }
}

BENCHMARK(BM_IdleLinks)->UseRealTime()->Iterations(1);
BENCHMARK(BM_IdleRegistrations)->UseRealTime()->Iterations(1);
BENCHMARK(BM_IdleSharingServers)->UseRealTime()->Iterations(1);

void report(const char* name, double whole) {
    if (whole < 0)
        return;
    const double perLink = whole / kLinks;
    std::printf("%s: %.3f %% of a core (ratio %.2f vs a budget of %.1f %%; %zu links: %.2f %%)\n",
                name, perLink * 100, perLink / kBudget, kBudget * 100, kLinks, whole * 100);
}

} // namespace

int main(int argc, char** argv) {
    if (std::string(VIRTUAL_MODULE_BIN).empty()) {
        std::fprintf(stderr, "virtual-module is not built\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    report("idle_cpu_per_link", gLinks);
    report("idle_cpu_per_registration", gRegistrations);
    report("idle_cpu_per_sharing_server", gServers);
    return 0;
}
