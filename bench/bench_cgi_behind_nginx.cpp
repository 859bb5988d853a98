// -G of a 4 MiB build through nginx, fcgiwrap and update-server --cgi, against the same -G from
// the update-server daemon directly, in the same run: once with every request reaching the CGI
// program, once with nginx's one-minute fastcgi_cache in front as the shipped snippet suggests.
// nginx speaks plain HTTP on loopback here so the figures are the CGI path's own cost, not TLS's.
#include "BenchMedian.h"
#include "Retrieval.h"
#include "SilentDisplay.h"
#include "UpdateServer.h"
#include "UpdaterContext.h"

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr size_t kFirmwareBytes = 4u << 20;
constexpr uid_t kNobody = 65534;

pid_t spawn(std::vector<std::string> args) {
    if (geteuid() == 0) {
        // As a lab runs them: not as root.
        args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

uint16_t freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool accepts(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// Waits for an event with a generous bound.
void waitFor(const std::function<bool()>& ready, const char* what) {
    for (int i = 0; i < 600; ++i) {
        if (ready()) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error(std::string(what) + " did not come up within 30 s");
}

// One catalogue with a 4 MiB build, served by the daemon and by nginx for the whole run.
struct Fixture {
    Fixture() {
        char pattern[] = "/tmp/bench-cgi-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root = pattern;
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
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

        updateserver::ServerConfig config;
        config.catalogue = (root / "catalogue").string();
        config.port = 0;
        config.log = nullptr;
        std::string error;
        if (!server.start(config, error)) {
            throw std::runtime_error(error);
        }
        daemonUrl = server.url();
        startNginx();
    }
    void startNginx() {
        const std::string dir = root.string();
        const std::string script = dir + "/corvane-update";
        std::ofstream(script) << "#!/bin/sh\nexec " << UPDATE_SERVER_BIN << " --cgi " << dir
                              << "/catalogue\n";
        fs::permissions(script, fs::perms::owner_all | fs::perms::others_read |
                                    fs::perms::others_exec | fs::perms::group_read |
                                    fs::perms::group_exec);
        const uint16_t port = freePort();
        const uint16_t cachedPort = freePort();
        std::ofstream conf(dir + "/nginx.conf");
        conf << "daemon off;\npid " << dir << "/nginx.pid;\nerror_log stderr;\n"
             << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
             << "  fastcgi_cache_path " << dir << "/cache keys_zone=corvane:1m max_size=256m;\n";
        for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
            conf << "  " << kind << "_temp_path " << dir << "/" << kind << "_temp;\n";
        }
        for (const bool cached : {false, true}) {
            conf << "  server {\n    listen 127.0.0.1:" << (cached ? cachedPort : port) << ";\n"
                 << "    location /cgi/u {\n"
                 << "      fastcgi_split_path_info ^(/cgi/u)(.*)$;\n"
                 << "      include /etc/nginx/fastcgi_params;\n"
                 << "      fastcgi_param SCRIPT_FILENAME " << script << ";\n"
                 << "      fastcgi_param SCRIPT_NAME $fastcgi_script_name;\n"
                 << "      fastcgi_param PATH_INFO $fastcgi_path_info;\n"
                 // As packaging/web/nginx-corvane-update.conf has it.
                 << "      fastcgi_buffers 64 16k;\n      fastcgi_max_temp_file_size 0;\n"
                 << (cached ? "      fastcgi_cache corvane; fastcgi_cache_key $request_uri;\n"
                              "      fastcgi_cache_valid 200 1m;\n"
                            : "")
                 << "      fastcgi_pass unix:" << dir << "/fcgi.sock;\n    }\n  }\n";
        }
        conf << "}\n";
        conf.close();
        // The catalogue stays its owner's; the CGI user may write only the version index in it,
        // as the shipped CGI program's notes set it up.
        const std::string index = dir + "/catalogue/.update-server-index";
        fs::create_directory(index);
        if (geteuid() == 0 && (chown(dir.c_str(), kNobody, kNobody) != 0 ||
                               chown(index.c_str(), kNobody, kNobody) != 0)) {
            throw std::runtime_error("cannot hand the folders to nobody");
        }
        children.push_back(spawn({"fcgiwrap", "-s", "unix:" + dir + "/fcgi.sock"}));
        waitFor([&] { return fs::exists(dir + "/fcgi.sock"); }, "fcgiwrap");
        children.push_back(spawn({"nginx", "-p", dir, "-c", dir + "/nginx.conf"}));
        waitFor([port, cachedPort] { return accepts(port) && accepts(cachedPort); }, "nginx");
        cgiUrl = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
        cachedUrl = "http://127.0.0.1:" + std::to_string(cachedPort) + "/cgi/u";
    }
    ~Fixture() {
        for (const pid_t child : children) {
            kill(child, SIGTERM);
            waitpid(child, nullptr, 0);
        }
        server.stop();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path root;
    updateserver::UpdateServer server;
    std::vector<pid_t> children;
    std::string daemonUrl, cgiUrl, cachedUrl;
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

// The whole -G flow (ping, latest build, build list, the download, decoding, the store write)
// against one of the two front ends.
bool getBuild(const std::string& url) {
    static SilentDisplay display;
    const fs::path store = fixture().root / "store";
    UpdaterContext context(url, store.string(), display);
    return Download_Firmware(context, kSerial, "", false) == 1234;
}

void BM_GetFromDaemon(benchmark::State& state) {
    for (auto _ : state) {
        if (!getBuild(fixture().daemonUrl)) {
            state.SkipWithError("get from the daemon failed");
            break;
        }
    }
}

void BM_GetThroughNginxCgi(benchmark::State& state) {
    for (auto _ : state) {
        if (!getBuild(fixture().cgiUrl)) {
            state.SkipWithError("get through nginx failed");
            break;
        }
    }
}

void BM_GetThroughNginxCache(benchmark::State& state) {
    for (auto _ : state) {
        if (!getBuild(fixture().cachedUrl)) {
            state.SkipWithError("get through nginx's cache failed");
            break;
        }
    }
}

BENCHMARK(BM_GetFromDaemon)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_GetThroughNginxCgi)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_GetThroughNginxCache)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// The two alternate round by round, so a busy moment on this shared machine hits both alike.
bool pairedMedians(double& cgiMs, double& cachedMs, double& daemonMs) {
    constexpr int kRounds = 15;
    std::vector<double> cgi, cached, daemon;
    const auto since = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    };
    for (int i = 0; i < kRounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (!getBuild(fixture().daemonUrl)) {
            return false;
        }
        daemon.push_back(since(start));
        start = std::chrono::steady_clock::now();
        if (!getBuild(fixture().cgiUrl)) {
            return false;
        }
        cgi.push_back(since(start));
        start = std::chrono::steady_clock::now();
        if (!getBuild(fixture().cachedUrl)) {
            return false;
        }
        cached.push_back(since(start));
    }
    cgiMs = median(cgi);
    cachedMs = median(cached);
    daemonMs = median(daemon);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    double cgiMs = 0, cachedMs = 0, daemonMs = 0;
    if (!pairedMedians(cgiMs, cachedMs, daemonMs) || daemonMs <= 0) {
        std::printf("get_build_cgi_nginx: failed\n");
        return 1;
    }
    std::printf("get_build_cgi_nginx: %.1f ms (ratio %.2f vs update-server daemon)\n", cgiMs,
                cgiMs / daemonMs);
    std::printf("get_build_cgi_nginx_cached: %.1f ms (ratio %.2f vs update-server daemon)\n",
                cachedMs, cachedMs / daemonMs);
    return 0;
}
