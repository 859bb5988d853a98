// -G of a 4 MiB build through nginx, against the same -G from the update-server daemon directly,
// in the same run, by three routes: fcgiwrap and update-server --cgi with every request reaching
// the CGI program; the same with nginx's one-minute fastcgi_cache in front, as the shipped CGI
// snippet suggests; and update-server --fastcgi as the shipped FastCGI snippet sets it up. nginx
// speaks plain HTTP on loopback here so the figures are the routes' own cost, not TLS's.
#include "BenchMedian.h"
#include "FastCgiServer.h"
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
        if (!responder.start(config, error)) {
            throw std::runtime_error(error);
        }
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
        enum Route { cgi, cached, fastcgi };
        const uint16_t ports[] = {freePort(), freePort(), freePort()};
        std::ofstream conf(dir + "/nginx.conf");
        conf << "daemon off;\npid " << dir << "/nginx.pid;\nerror_log stderr;\n"
             << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
             << "  fastcgi_cache_path " << dir << "/cache keys_zone=corvane:1m max_size=256m;\n";
        for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
            conf << "  " << kind << "_temp_path " << dir << "/" << kind << "_temp;\n";
        }
        for (const Route route : {cgi, cached, fastcgi}) {
            conf << "  server {\n    listen 127.0.0.1:" << ports[route] << ";\n"
                 << "    location /cgi/u {\n"
                 << "      fastcgi_split_path_info ^(/cgi/u)(.*)$;\n"
                 << "      include /etc/nginx/fastcgi_params;\n"
                 << "      fastcgi_param SCRIPT_NAME $fastcgi_script_name;\n"
                 << "      fastcgi_param PATH_INFO $fastcgi_path_info;\n"
                 // As the snippets in packaging/web have it.
                 << "      fastcgi_buffers 64 16k;\n      fastcgi_max_temp_file_size 0;\n";
            if (route == fastcgi) {
                conf << "      fastcgi_buffering off;\n      fastcgi_buffer_size 64k;\n"
                     << "      fastcgi_pass 127.0.0.1:" << responder.port() << ";\n    }\n  }\n";
                continue;
            }
            conf << "      fastcgi_param SCRIPT_FILENAME " << script << ";\n"
                 << (route == cached ? "      fastcgi_cache corvane; fastcgi_cache_key $request_uri;\n"
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
        waitFor([&ports] { return accepts(ports[0]) && accepts(ports[1]) && accepts(ports[2]); },
                "nginx");
        cgiUrl = "http://127.0.0.1:" + std::to_string(ports[cgi]) + "/cgi/u";
        cachedUrl = "http://127.0.0.1:" + std::to_string(ports[cached]) + "/cgi/u";
        fastcgiUrl = "http://127.0.0.1:" + std::to_string(ports[fastcgi]) + "/cgi/u";
    }
    ~Fixture() {
        for (const pid_t child : children) {
            kill(child, SIGTERM);
            waitpid(child, nullptr, 0);
        }
        responder.stop();
        server.stop();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path root;
    updateserver::UpdateServer server;
    updateserver::FastCgiServer responder;
    std::vector<pid_t> children;
    std::string daemonUrl, cgiUrl, cachedUrl, fastcgiUrl;
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

// One benchmark per route, each with its own URL.
void getRepeatedly(benchmark::State& state, const std::string& url) {
    for (auto _ : state) {
        if (!getBuild(url)) {
            state.SkipWithError(("get from " + url + " failed").c_str());
            break;
        }
    }
}

void BM_GetFromDaemon(benchmark::State& state) {
    getRepeatedly(state, fixture().daemonUrl);
}
void BM_GetThroughNginxCgi(benchmark::State& state) {
    getRepeatedly(state, fixture().cgiUrl);
}
void BM_GetThroughNginxCache(benchmark::State& state) {
    getRepeatedly(state, fixture().cachedUrl);
}
void BM_GetThroughNginxFastCgi(benchmark::State& state) {
    getRepeatedly(state, fixture().fastcgiUrl);
}

BENCHMARK(BM_GetFromDaemon)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_GetThroughNginxCgi)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_GetThroughNginxCache)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_GetThroughNginxFastCgi)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

// The routes alternate round by round, so a busy moment on this shared machine hits all alike.
// Medians in ms, the daemon's first.
bool pairedMedians(std::vector<double>& medians) {
    constexpr int kRounds = 15;
    const Fixture& f = fixture();
    const std::string urls[] = {f.daemonUrl, f.cgiUrl, f.cachedUrl, f.fastcgiUrl};
    std::vector<std::vector<double>> times(std::size(urls));
    for (int i = 0; i < kRounds; ++i) {
        for (size_t route = 0; route < std::size(urls); ++route) {
            const auto start = std::chrono::steady_clock::now();
            if (!getBuild(urls[route])) {
                return false;
            }
            times[route].push_back(std::chrono::duration<double, std::milli>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
        }
    }
    for (const std::vector<double>& route : times) {
        medians.push_back(median(route));
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::vector<double> medians;
    if (!pairedMedians(medians) || medians[0] <= 0) {
        std::printf("get_build_cgi_nginx: failed\n");
        return 1;
    }
    const char* names[] = {nullptr, "get_build_cgi_nginx", "get_build_cgi_nginx_cached",
                           "get_build_fastcgi_nginx"};
    for (size_t route = 1; route < medians.size(); ++route) {
        std::printf("%s: %.1f ms (ratio %.2f vs update-server daemon)\n", names[route],
                    medians[route], medians[route] / medians[0]);
    }
    return 0;
}
