// Time of aDiscovery_FindModule for a TCP/IP module that answers at once, against the
// 2000 ms listening window a search for an absent module takes, both measured in the same run.
// Discovery multicasts, so the program runs itself again inside a private network namespace
// (unshare -rn, or unshare -n) with a veth interface at 10.9.0.1; where no namespace can be
// made it says so and measures nothing.
#include "corvane/aDiscovery.h"

#include "DiscoveryResponder.h"
#include "VirtualModule.h"

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Corvane::Tools::DiscoveryResponder;
using Corvane::Tools::VirtualModule;
using Corvane::Tools::VirtualModuleConfig;

constexpr const char* kInside = "CORVANE_BENCH_IN_NETNS";
constexpr const char* kInterface = "10.9.0.1";
constexpr uint32_t kSerial = 0x0DEC0DE5;

std::vector<double> gFindMs, gWindowMs;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

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

// Runs this program again inside a new network namespace; returns its exit status, or -1 when
// no namespace can be made here.
int runInsideNamespace(char** argv) {
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return -1;
    const char* script = "ip link set lo up multicast on && "
                         "ip link add v0 type veth peer name v1 && "
                         "ip addr add 10.9.0.1/24 dev v0 && ip link set v0 up multicast on && "
                         "ip link set v1 up && exec \"$0\" \"$@\"";
    for (const char* option : {"-rn", "-n"}) {
        if (std::system((std::string("unshare ") + option + " true 2>/dev/null").c_str()) != 0)
            continue;
        std::vector<const char*> args = {"unshare", option, "/bin/sh", "-c", script, self};
        for (char** arg = argv + 1; *arg != nullptr; ++arg)
            args.push_back(*arg);
        args.push_back(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            setenv(kInside, "1", 1);
            execvp("unshare", const_cast<char* const*>(args.data()));
            _exit(127);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child)
            return 1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv(kInside) == nullptr) {
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
