// "-D -r" network scan of a router with 3 modules behind it, the router answering after 1 ms,
// against the bound its round trips set: the trips times the latency, plus the wire time of the
// same scan measured against a network that answers at once.
#include "ModuleAccess.h"
#include "ModuleNetwork.h"
#include "RequestReplyModel.h"
#include "SilentDisplay.h"
#include "UpdaterCommands.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

#include "corvane/aVersion.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

using namespace Corvane::Tools;

namespace {

constexpr uint32_t kLatencyUs = 1000;
constexpr uint8_t kRouterAddress = 2;
constexpr uint8_t kBusModules[] = {4, 100, 252};

// Awaited exchanges of one scan: the link's synchronisation and address query, route-to-me on
// and off, one probe per bus address but the router's, and per module found its serial number,
// build, version, module address, router address and model.
constexpr uint64_t kProbes = (252 - 2) / 2 + 1 - 1;
constexpr uint64_t kRoundTrips = 2 + 2 + kProbes + 6 * std::size(kBusModules);

class Network {
  public:
    Network(uint32_t serial, uint32_t latencyUs) : serial_(serial) {
        VirtualModuleConfig config;
        config.heartbeatMs = 0;
        config.latencyUs = latencyUs;
        config.identity = {serial, 19, kRouterAddress};
        router = std::make_unique<VirtualModule>(config);
        model = std::make_unique<RequestReplyModel>(config.identity);
        model->install(*router);
        upgrade = std::make_unique<UpgradeModel>(*model);
        upgrade->install(*router);
        network = std::make_unique<ModuleNetwork>(*router, kRouterAddress);
        for (uint8_t address : kBusModules) {
            BusModuleConfig module;
            module.identity = {0x10000000u + address, 4, address};
            module.packedVersion = aVersion_Pack(2, 10, 4);
            network->attach(module);
        }
        network->install();
        std::string error;
        if (!router->start(&error))
            std::fprintf(stderr, "virtual router: %s\n", error.c_str());
    }

    std::string emulationEntry() const {
        char entry[64];
        std::snprintf(entry, sizeof entry, "%08X:13@127.0.0.1:%u", serial_, router->port());
        return entry;
    }

    // One scan; seconds taken.
    double scan(UpdaterContext& context) {
        const auto started = std::chrono::steady_clock::now();
        const DiscoveredDeviceList found = scanNetwork(context, serial_, 1);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (found.size() != std::size(kBusModules))
            std::fprintf(stderr, "scan found %zu modules\n", found.size());
        return seconds;
    }

    std::unique_ptr<VirtualModule> router;
    std::unique_ptr<RequestReplyModel> model;
    std::unique_ptr<UpgradeModel> upgrade;
    std::unique_ptr<ModuleNetwork> network;

  private:
    uint32_t serial_;
};

// The quickest run of each: connecting and closing the router's link swing with the machine's
// load from run to run, which the minimum leaves out.
double gSlow = 1e9, gFast = 1e9;
uint64_t gRuns = 0;

void BM_ScanThreeModules(benchmark::State& state) {
    static Network slow(0xD272031D, kLatencyUs), fast(0xD272031E, 0);
    const std::string emulation = slow.emulationEntry() + "," + fast.emulationEntry();
    setenv("CORVANE_USB_EMULATION", emulation.c_str(), 1);
    SilentDisplay display;
    const std::string store = (std::filesystem::temp_directory_path() / "bench_scan").string();
    UpdaterContext context("http://127.0.0.1:1/cgi/u", store, display);
    for (auto _ : state) {
        const double s = slow.scan(context);
        const double f = fast.scan(context);
        gSlow = std::min(gSlow, s);
        gFast = std::min(gFast, f);
        ++gRuns;
        state.SetIterationTime(s);
    }
}
BENCHMARK(BM_ScanThreeModules)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gRuns == 0)
        return 0;
    const double latency = kRoundTrips * (kLatencyUs / 1e6);
    const double bound = latency + gFast;
    std::printf("scan_3_modules_1ms: %.3f s (ratio %.2f vs probe bound %.3f s = %llu trips x 1 ms "
                "+ wire %.3f s)\n",
                gSlow, gSlow / bound, bound, static_cast<unsigned long long>(kRoundTrips), gFast);
    // The part the latency adds, alone: the fixed cost of the link does not hide extra trips.
    std::printf("scan_3_modules_latency_share: %.3f s (ratio %.2f vs %llu trips x 1 ms = %.3f s)\n",
                gSlow - gFast, (gSlow - gFast) / latency,
                static_cast<unsigned long long>(kRoundTrips), latency);
    return 0;
}
