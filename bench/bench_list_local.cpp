// -L over a store of 20 builds of 8 MiB: its time against loading all 20 images in full, and its
// peak memory (the Updater as a process) against the same store built from 1 MiB images.
#include "BirdFile.h"
#include "BirdWriter.h"
#include "FirmwareLikeImage.h"
#include "Retrieval.h"
#include "SilentDisplay.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr int kBuilds = 20;

// A home whose store holds kBuilds copies of one image, its info block first or last.
struct Store {
    Store(size_t imageBytes, bool infoFirst) {
        char pattern[] = "/tmp/bench-list-local-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        home = pattern;
        const fs::path module = home / ".quendra" / "updater" / "40F5849A";
        fs::create_directories(module);
        BirdWriter writer;
        if (infoFirst) {
            writer.setInfoField(1, "2.11.4");
        }
        writer.addFirmware(0x10000, firmwareLikeImage(imageBytes));
        if (!infoFirst) {
            writer.setInfoField(1, "2.11.4");
        }
        std::string error;
        if (!writer.writeFile((module / "1000.bird").string(), error, 6)) {
            throw std::runtime_error(error);
        }
        for (int i = 1; i < kBuilds; ++i) {
            fs::copy_file(module / "1000.bird", module / (std::to_string(1000 + i) + ".bird"));
        }
        for (const auto& entry : fs::directory_iterator(module)) {
            paths.push_back(entry.path().string());
        }
    }
    ~Store() {
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }
    std::string storeDirectory() const { return (home / ".quendra" / "updater").string(); }

    fs::path home;
    std::vector<std::string> paths;
};

Store& infoFirst() {
    static Store store(8u << 20, true);
    return store;
}

Store& infoLast() {
    static Store store(8u << 20, false);
    return store;
}

bool listLocal(const Store& store) {
    static SilentDisplay display;
    UpdaterContext context("http://127.0.0.1:1/cgi/u", store.storeDirectory(), display);
    const BuildList builds = Get_BuildListLocal(context, kSerial);
    return builds.size() == kBuilds && builds.begin()->second == "2.11.4";
}

bool loadAll(const Store& store) {
    for (const std::string& path : store.paths) {
        BirdFile bird(path);
        if (bird.version() != "2.11.4") {
            return false;
        }
    }
    return true;
}

void BM_LoadAllImages(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(loadAll(infoFirst()));
    }
}

void BM_ListLocal(benchmark::State& state) {
    for (auto _ : state) {
        if (!listLocal(infoFirst())) {
            state.SkipWithError("-L listed the wrong builds");
            break;
        }
    }
}

BENCHMARK(BM_LoadAllImages)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ListLocal)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Alternating rounds, medians compared, so a busy moment on this shared machine hits both alike.
double medianRatio(const Store& store, double& listMs) {
    constexpr int kRounds = 9;
    std::vector<double> list, load;
    for (int i = 0; i < kRounds; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        loadAll(store);
        const auto t1 = std::chrono::steady_clock::now();
        listLocal(store);
        const auto t2 = std::chrono::steady_clock::now();
        load.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        list.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    std::sort(list.begin(), list.end());
    std::sort(load.begin(), load.end());
    listMs = list[kRounds / 2];
    return listMs / load[kRounds / 2];
}

// Peak resident memory of "Updater -L" over the store, in MiB; negative when it did not run.
double peakMemoryMiB(const Store& store) {
    const pid_t child = fork();
    if (child == 0) {
        setenv("HOME", store.home.c_str(), 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(UPDATER_BIN, UPDATER_BIN, "-L", "-d", "40F5849A", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return -1;
    }
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    double firstMs = 0, lastMs = 0;
    const double firstRatio = medianRatio(infoFirst(), firstMs);
    const double lastRatio = medianRatio(infoLast(), lastMs);
    const double peak8 = peakMemoryMiB(infoFirst());
    const double peakLast = peakMemoryMiB(infoLast());
    double peak1 = 0;
    {
        const Store small(1u << 20, true);
        peak1 = peakMemoryMiB(small);
    }
    if (peak8 <= 0 || peak1 <= 0 || peakLast <= 0) {
        std::printf("list_local: the Updater did not run\n");
        return 1;
    }
    std::printf("list_local_time: %.1f ms (ratio %.2f vs loading all 20 images in full)\n", firstMs,
                firstRatio);
    std::printf("list_local_time_info_last: %.1f ms (ratio %.2f vs loading all 20 images in "
                "full)\n",
                lastMs, lastRatio);
    std::printf("list_local_peak_memory: %.1f MiB (ratio %.2f vs the same store of 1 MiB "
                "images)\n",
                peak8, peak8 / peak1);
    std::printf("list_local_peak_memory_info_last: %.1f MiB (ratio %.2f vs the same store of "
                "1 MiB images)\n",
                peakLast, peakLast / peak1);
    return 0;
}
