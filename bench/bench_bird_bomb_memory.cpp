// Peak memory of the Updater (a child process, its maximum resident set from wait4) against BIRD
// decompression bombs: -C, -I and -U -f on a 175 MB file that inflates to 1.4 GB, and -G on a
// server reply holding the largest bomb the reply limit lets through or 300 MB of text; each
// against -C on an honest 8 MiB image in the same run. BENCH_UPDATER names another Updater program
// to measure (an older build, say).
#include "Base64.h"
#include "BirdBomb.h"
#include "BirdFile.h"
#include "BirdWriter.h"
#include "FirmwareLikeImage.h"
#include "ScriptedHttpServer.h"
#include "ServerCommClass.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::httpReply;

std::string updaterProgram() {
    const char* other = std::getenv("BENCH_UPDATER");
    return other != nullptr ? other : UPDATER_BIN;
}

void writeFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// A home with an honest image, the bomb, and the bomb in the store of module 40F5849A.
struct Home {
    Home() {
        char pattern[] = "/tmp/bench-bird-bomb-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root = pattern;
        BirdWriter writer;
        writer.addFirmware(0x10000, firmwareLikeImage(8u << 20));
        writer.setInfoField(1, "2.11.4");
        std::string error;
        if (!writer.writeFile(honest().string(), error, 6)) {
            throw std::runtime_error(error);
        }
        writeFile(bomb(), testsupport::birdBombBytes({uint64_t{1400} << 20, false}));
        const fs::path module = root / ".quendra" / "updater" / "40F5849A";
        fs::create_directories(module);
        fs::copy_file(bomb(), module / "1234.bird");
    }
    ~Home() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    fs::path honest() const { return root / "honest.bird"; }
    fs::path bomb() const { return root / "bomb.bird"; }

    fs::path root;
};

Home& home() {
    static Home instance;
    return instance;
}

struct Run {
    double peakMiB = -1;
    double ms = 0;
    int status = -1;
};

Run runUpdater(const std::vector<std::string>& args) {
    std::vector<std::string> words = {updaterProgram()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        setenv("HOME", home().root.c_str(), 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Run run;
    int status = 0;
    rusage usage{};
    if (child > 0 && wait4(child, &status, 0, &usage) == child && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
        run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    }
    run.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return run;
}

// -G against a scripted server whose BIRD reply is the text made by makeText. The server runs in
// a child of its own: the Updater is forked from this process, and a fork starts with the
// resident memory of its parent, which must not count.
Run getWithReply(const std::function<std::string()>& makeText) {
    int port[2];
    int stop[2];
    if (pipe(port) != 0 || pipe(stop) != 0) {
        return {};
    }
    const pid_t server = fork();
    if (server == 0) {
        close(port[0]);
        close(stop[1]);
        const std::string text = makeText();
        testsupport::ScriptedHttpServer scripted({
            httpReply(200, "ok\n"),
            httpReply(200, "ok\n1300\nCVN-HUB\n"),
            httpReply(200, "ok\n1300;6.6.6\n"),
            httpReply(200, "ok\n" + text + "\n"),
        });
        const std::string url = scripted.url();
        (void)!write(port[1], url.data(), url.size());
        close(port[1]);
        char end;
        (void)!read(stop[0], &end, 1); // until the parent closes its end
        _exit(0);
    }
    close(port[1]);
    close(stop[0]);
    std::string url;
    char buffer[256];
    for (ssize_t n; (n = read(port[0], buffer, sizeof buffer)) > 0;) {
        url.append(buffer, static_cast<size_t>(n));
    }
    close(port[0]);
    const Run run = url.empty() ? Run{} : runUpdater({"-G", "-d", "40F5849A", "-u", url});
    close(stop[1]);
    waitpid(server, nullptr, 0);
    return run;
}

void BM_CheckHonest(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(runUpdater({"-C", "-f", home().honest().string()}).status);
    }
}

void BM_CheckBomb(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(runUpdater({"-C", "-f", home().bomb().string()}).status);
    }
}

BENCHMARK(BM_CheckHonest)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CheckBomb)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    home(); // the files are made before anything is timed
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const Run honest = runUpdater({"-C", "-f", home().honest().string()});
    if (honest.status != 0 || honest.peakMiB <= 0) {
        std::printf("bird_bomb_memory: the Updater did not check the honest image\n");
        return 1;
    }
    struct Figure {
        const char* name;
        Run run;
    };
    std::vector<Figure> figures = {
        {"check", runUpdater({"-C", "-f", home().bomb().string()})},
        {"device_info", runUpdater({"-I", "-d", "40F5849A"})},
        {"update_file", runUpdater({"-U", "-d", "40F5849A", "-f", home().bomb().string()})},
    };
    figures.push_back({"get_largest_reply", getWithReply([] {
                           // About the largest file the reply limit lets through.
                           uint64_t imageLimit = 0;
                           std::string ignored;
                           birdImageLimit(imageLimit, ignored);
                           const uint64_t fileBytes = birdFileSizeLimit(imageLimit) - 8192;
                           const auto bomb = testsupport::birdBombBytes({fileBytes * 8, false});
                           return base64Encode(bomb.data(), bomb.size());
                       })});
    figures.push_back(
        {"get_300MB_reply", getWithReply([] { return std::string(300u << 20, 'A'); })});
    for (const Figure& figure : figures) {
        if (figure.run.peakMiB <= 0) {
            std::printf("bird_bomb_memory: the Updater did not run for %s\n", figure.name);
            return 1;
        }
        std::printf("bird_bomb_peak_memory_%s: %.1f MiB in %.0f ms, exit %d (ratio %.2f vs -C on "
                    "an honest 8 MiB image)\n",
                    figure.name, figure.run.peakMiB, figure.run.ms, figure.run.status,
                    figure.run.peakMiB / honest.peakMiB);
    }
    return 0;
}
