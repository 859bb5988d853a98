// -G of a 4 MiB build from the local update server, against libcurl downloading the same reply
// from the same server in the same run, once synced to disk and once kept in memory.
#include "Retrieval.h"
#include "SilentDisplay.h"
#include "UpdateServer.h"
#include "UpdaterContext.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr size_t kFirmwareBytes = 4u << 20;

// A catalogue with one 4 MiB build, served on a free loopback port for the whole run.
struct Fixture {
    Fixture() {
        char pattern[] = "/tmp/bench-get-build-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root = pattern;
        const fs::path module = root / "catalogue" / "40F5849A";
        fs::create_directories(module);
        std::mt19937 random(7);
        std::string firmware(kFirmwareBytes, '\0');
        for (char& c : firmware) {
            c = static_cast<char>(random());
        }
        std::ofstream(root / "firmware.bin", std::ios::binary) << firmware;
        std::ofstream(module / "firmware") << "CVN-BENCH\n";
        const std::string command = std::string(BIRDTOOL_BIN) + " create -o " +
                                    (module / "1234.bird").string() + " --firmware 0x10000 " +
                                    (root / "firmware.bin").string() +
                                    " --version 2.11.4 --serial 40F5849A --model BENCH >/dev/null";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("birdtool failed: " + command);
        }
        birdSize = fs::file_size(module / "1234.bird");

        updateserver::ServerConfig config;
        config.catalogue = (root / "catalogue").string();
        config.port = 0;
        config.log = nullptr;
        std::string error;
        if (!server.start(config, error)) {
            throw std::runtime_error(error);
        }
        url = server.url();
    }
    ~Fixture() {
        server.stop();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path root;
    uintmax_t birdSize = 0;
    updateserver::UpdateServer server;
    std::string url;
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

size_t append(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// The baseline: the very reply -G downloads, fetched with nothing but libcurl into memory and,
// when synced, written to a file and synced to disk (the floor for a download that is never
// left truncated).
bool plainDownload(bool synced = false) {
    const std::string request =
        fixture().url + "?bld=1234&fw=CVN-BENCH&no_cal=false&op=bird&sn=40F5849A&";
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, request.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    benchmark::DoNotOptimize(body.data());
    if (result != CURLE_OK || body.size() <= fixture().birdSize) {
        return false;
    }
    if (synced) {
        const std::string path = (fixture().root / "synced.reply").string();
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool written =
            fd >= 0 && write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size()) &&
            fsync(fd) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return written;
    }
    return true;
}

// The whole get flow: ping, latest build, validation against the build list, the download on its
// worker thread, Base64 decoding, the atomic file write and the attribute file.
bool getBuild(std::string& error) {
    static SilentDisplay display;
    const fs::path store = fixture().root / "store";
    UpdaterContext context(fixture().url, store.string(), display);
    if (Download_Firmware(context, kSerial, "", false) != 1234) {
        error = "get failed: " + display.lastError;
        return false;
    }
    if (fs::file_size(store / "40F5849A" / "1234.bird") != fixture().birdSize) {
        error = "stored file differs in size";
        return false;
    }
    return true;
}

void BM_PlainCurlDownload(benchmark::State& state) {
    for (auto _ : state) {
        if (!plainDownload()) {
            state.SkipWithError("plain download failed");
            break;
        }
    }
}

void BM_GetBuild(benchmark::State& state) {
    std::string error;
    for (auto _ : state) {
        if (!getBuild(error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
}

// The summary: the two alternate round by round, so a busy moment on this shared machine hits
// both alike, and the medians are compared.
bool pairedMedians(double& getMs, double& plainMs, double& syncedMs) {
    constexpr int kRounds = 15;
    std::vector<double> get, plain, synced;
    std::string error;
    const auto since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    };
    for (int i = 0; i < kRounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (!plainDownload()) {
            return false;
        }
        plain.push_back(since(start));
        start = std::chrono::steady_clock::now();
        if (!plainDownload(true)) {
            return false;
        }
        synced.push_back(since(start));
        start = std::chrono::steady_clock::now();
        if (!getBuild(error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        get.push_back(since(start));
    }
    const auto median = [](std::vector<double>& v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    getMs = median(get);
    plainMs = median(plain);
    syncedMs = median(synced);
    return true;
}

BENCHMARK(BM_PlainCurlDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_GetBuild)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    double getMs = 0, plainMs = 0, syncedMs = 0;
    if (!pairedMedians(getMs, plainMs, syncedMs) || plainMs <= 0 || syncedMs <= 0) {
        std::printf("get_build: failed\n");
        return 1;
    }
    std::printf("get_build: %.1f ms (ratio %.2f vs curl download synced to disk)\n", getMs,
                getMs / syncedMs);
    std::printf("get_build_unsynced: %.1f ms (ratio %.2f vs plain curl download)\n", getMs,
                getMs / plainMs);
    return 0;
}
