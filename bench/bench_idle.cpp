// What Links cost while nothing happens, in CPU seconds of this process per wall-clock second,
// against virtual modules running as programs of their own (so their time is not counted):
//   idle_cpu_1_link: one Link with one stream registration and no samples;
//   idle_cpu_8_links: eight Links, each on its own module with one registration;
// each against the same Links connected without a registration, measured in the same run.
// Windows of the two sides take turns; each figure is the median of its windows.
#include "BenchMedian.h"
#include "ModuleProgram.h"
#include "corvane/Module.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kAddress = 2;
constexpr uint8_t kQuietCommand = 200; // no entity of the model: registered, never streamed
constexpr auto kWindow = std::chrono::milliseconds(1500);
constexpr std::size_t kModules = 8;

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<std::unique_ptr<ModuleProgram>>& programs() {
    return modulePrograms(kModules, 0);
}

// count Modules, each on its own module program; empty when one cannot connect.
std::vector<std::unique_ptr<Corvane::Module>> connect(std::size_t count) {
    std::vector<std::unique_ptr<Corvane::Module>> modules;
    for (std::size_t i = 0; i < count; ++i) {
        linkSpec spec{};
        spec.type = TCPIP;
        spec.ipAddress = htonl(INADDR_LOOPBACK);
        spec.port = programs()[i]->port();
        auto module = std::make_unique<Corvane::Module>(kAddress);
        if (spec.port == 0 || module->connectFromSpec(spec) != aErrNone)
            return {};
        modules.push_back(std::move(module));
    }
    return modules;
}

bool setRegistrations(std::vector<std::unique_ptr<Corvane::Module>>& modules, bool on) {
    for (auto& module : modules)
        if (module->getLink()->enableStream(kAddress, kQuietCommand, 1, 0, on) != aErrNone)
            return false;
    return true;
}

// CPU seconds per wall second over one window in which nothing is asked of the Links.
double idleWindow() {
    const auto wallStart = Clock::now();
    const double cpuStart = processCpuSeconds();
    std::this_thread::sleep_for(kWindow);
    const double cpu = processCpuSeconds() - cpuStart;
    return cpu / std::chrono::duration<double>(Clock::now() - wallStart).count();
}

struct Figures {
    std::vector<double> registered;
    std::vector<double> plain;
};
Figures gOne, gEight;

void idleLinks(benchmark::State& state, std::size_t count, Figures& figures) {
    auto modules = connect(count);
    if (modules.empty()) {
        state.SkipWithError("cannot connect to the module programs");
        return;
    }
    for (auto _ : state) {
        figures.plain.push_back(idleWindow());
        if (!setRegistrations(modules, true)) {
            state.SkipWithError("registration failed");
            break;
        }
        figures.registered.push_back(idleWindow());
        setRegistrations(modules, false);
    }
}

void BM_IdleOneLink(benchmark::State& state) {
    idleLinks(state, 1, gOne);
}
void BM_IdleEightLinks(benchmark::State& state) {
    idleLinks(state, kModules, gEight);
}

BENCHMARK(BM_IdleOneLink)->UseRealTime()->Iterations(5);
BENCHMARK(BM_IdleEightLinks)->UseRealTime()->Iterations(5);

void report(const char* name, const Figures& figures) {
    if (figures.registered.empty() || figures.plain.empty())
        return;
    const double registered = median(figures.registered);
    const double plain = median(figures.plain);
    std::printf("%s: %.4f cpu-s/s (ratio %.2f vs no registration, %.4f cpu-s/s)\n", name,
                registered, plain > 0 ? registered / plain : 0.0, plain);
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
    report("idle_cpu_1_link", gOne);
    report("idle_cpu_8_links", gEight);
    return 0;
}
