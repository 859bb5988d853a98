// update-server build-list requests for a module with 20 builds of 8 MiB (info blocks last, so
// every version costs a whole image): cold (a fresh server) against loading the 20 images in
// full, cached against a ping, and the server's peak memory against its own after a ping. Then
// the same catalogue with a 180 MB decompression bomb, one request and four at once.
// BENCH_UPDATE_SERVER names another server program to measure (an older build, say).
#include "BenchMedian.h"
#include "BirdBomb.h"
#include "BirdFile.h"
#include "BirdWriter.h"
#include "FirmwareLikeImage.h"
#include "ServerCommClass.h"
#include "UpdateServerProcess.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr int kBuilds = 20;
using Clock = std::chrono::steady_clock;

std::string serverProgram() {
    const char* other = std::getenv("BENCH_UPDATE_SERVER");
    return other != nullptr ? other : UPDATE_SERVER_BIN;
}

// A catalogue whose module holds kBuilds copies of one 8 MiB image, and optionally a bomb.
struct Catalogue {
    explicit Catalogue(bool withBomb) {
        char pattern[] = "/tmp/bench-update-server-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root = pattern;
        const fs::path module = root / "cat" / "40F5849A";
        fs::create_directories(module);
        BirdWriter writer;
        writer.addFirmware(0x10000, firmwareLikeImage(8u << 20));
        writer.setInfoField(1, "2.11.4");
        std::string error;
        if (!writer.writeFile((module / "1000.bird").string(), error, 6)) {
            throw std::runtime_error(error);
        }
        for (int i = 1; i < kBuilds; ++i) {
            fs::copy_file(module / "1000.bird", module / (std::to_string(1000 + i) + ".bird"));
        }
        for (int i = 0; i < kBuilds; ++i) {
            paths.push_back((module / (std::to_string(1000 + i) + ".bird")).string());
        }
        if (withBomb) {
            // 1400 MiB of zeros before the info block, in a 175 MiB file.
            const auto bomb = testsupport::birdBombBytes({uint64_t{1400} << 20, false});
            std::ofstream(module / "2000.bird", std::ios::binary)
                .write(reinterpret_cast<const char*>(bomb.data()),
                       static_cast<std::streamsize>(bomb.size()));
        }
    }
    ~Catalogue() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::string catalogue() const { return (root / "cat").string(); }
    std::string log() const { return (root / "log").string(); }

    fs::path root;
    std::vector<std::string> paths;
};

Catalogue& honest() {
    static Catalogue catalogue(false);
    return catalogue;
}

Catalogue& bombed() {
    static Catalogue catalogue(true);
    return catalogue;
}

bool buildList(const std::string& url, size_t expected) {
    const ServerCommClass client;
    BuildList builds;
    return client.GetBuildList(kSerial, builds, url) && builds.size() >= expected;
}

// The server's peak resident memory so far, in MiB (VmHWM).
double peakMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return -1;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct ColdRun {
    double ms = 0;
    double peak = 0;     // MiB, after the requests
    double idlePeak = 0; // MiB, after a ping alone
    bool ok = false;
};

// A fresh server: a ping, then `parallel` build-list requests at once.
ColdRun cold(const Catalogue& catalogue, int parallel) {
    testsupport::UpdateServerProcess server(serverProgram(), catalogue.catalogue(),
                                            catalogue.log());
    ColdRun run;
    if (!ServerCommClass().ping(server.url())) {
        return run;
    }
    run.idlePeak = peakMiB(server.pid());
    const auto start = Clock::now();
    std::vector<std::future<bool>> requests;
    for (int i = 0; i < parallel; ++i) {
        requests.push_back(std::async(std::launch::async, buildList, server.url(), kBuilds));
    }
    run.ok = true;
    for (auto& request : requests) {
        run.ok = request.get() && run.ok;
    }
    run.ms = msSince(start);
    run.peak = peakMiB(server.pid());
    return run;
}

void BM_BuildListCached(benchmark::State& state) {
    testsupport::UpdateServerProcess server(serverProgram(), honest().catalogue(), honest().log());
    buildList(server.url(), kBuilds);
    for (auto _ : state) {
        if (!buildList(server.url(), kBuilds)) {
            state.SkipWithError("the build list is wrong");
            break;
        }
    }
}

void BM_Ping(benchmark::State& state) {
    testsupport::UpdateServerProcess server(serverProgram(), honest().catalogue(), honest().log());
    const ServerCommClass client;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.ping(server.url()));
    }
}

BENCHMARK(BM_Ping)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_BuildListCached)->Unit(benchmark::kMillisecond)->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    constexpr int kRounds = 5;
    // Cold requests on fresh servers, alternating with loading the 20 images in full in this
    // process, so a busy moment on the shared machine hits both alike.
    std::vector<double> coldMs, loadMs, peaks, idlePeaks;
    for (int i = 0; i < kRounds; ++i) {
        const ColdRun run = cold(honest(), 1);
        if (!run.ok) {
            std::printf("update_server_builds: the server did not list the builds\n");
            return 1;
        }
        coldMs.push_back(run.ms);
        peaks.push_back(run.peak);
        idlePeaks.push_back(run.idlePeak);
        const auto start = Clock::now();
        for (const std::string& path : honest().paths) {
            benchmark::DoNotOptimize(BirdFile(path).version());
        }
        loadMs.push_back(msSince(start));
    }
    // Cached requests against pings on one server, alternating.
    std::vector<double> cachedMs, pingMs;
    {
        testsupport::UpdateServerProcess server(serverProgram(), honest().catalogue(),
                                                honest().log());
        buildList(server.url(), kBuilds);
        const ServerCommClass client;
        for (int i = 0; i < 51; ++i) {
            auto start = Clock::now();
            buildList(server.url(), kBuilds);
            cachedMs.push_back(msSince(start));
            start = Clock::now();
            client.ping(server.url());
            pingMs.push_back(msSince(start));
        }
    }
    std::printf("update_server_builds_cold: %.1f ms (ratio %.2f vs loading the 20 images in "
                "full)\n",
                median(coldMs), median(coldMs) / median(loadMs));
    std::printf("update_server_builds_cached: %.2f ms (ratio %.2f vs a ping)\n", median(cachedMs),
                median(cachedMs) / median(pingMs));
    std::printf("update_server_builds_peak_memory: %.1f MiB (ratio %.2f vs the server after a "
                "ping)\n",
                median(peaks), median(peaks) / median(idlePeaks));

    // The bomb: it is left out, so the list has the 20 honest builds.
    for (const int parallel : {1, 4}) {
        std::vector<double> bombMs, bombPeaks, bombIdle;
        for (int i = 0; i < 3; ++i) {
            const ColdRun run = cold(bombed(), parallel);
            if (!run.ok) {
                std::printf("update_server_builds: the server did not list the builds beside the "
                            "bomb\n");
                return 1;
            }
            bombMs.push_back(run.ms);
            bombPeaks.push_back(run.peak);
            bombIdle.push_back(run.idlePeak);
        }
        std::printf("update_server_builds_bomb_cold_x%d: %.1f ms (ratio %.2f vs the cold request "
                    "without the bomb)\n",
                    parallel, median(bombMs), median(bombMs) / median(coldMs));
        std::printf("update_server_builds_bomb_peak_memory_x%d: %.1f MiB (ratio %.2f vs the "
                    "server after a ping)\n",
                    parallel, median(bombPeaks), median(bombPeaks) / median(bombIdle));
    }
    return 0;
}
