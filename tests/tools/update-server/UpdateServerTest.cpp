// The self-hosted update server: its catalogue rules and replies (in process, through the
// Updater's own client) and the program itself (started as a process on an ephemeral port).
#include "UpdateServer.h"
#include "Base64.h"
#include "BirdBomb.h"
#include "BirdFile.h"
#include "DebugCapture.h"
#include "ProcessRunner.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "ServerCommClass.h"
#include "UpdateServerProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

namespace fs = std::filesystem;
using testsupport::addBuild;
using testsupport::writeText;

constexpr uint32_t kSerial = 0x40F5849A;

int connectTo(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sets the BIRD image limit for one scope; the tests otherwise run with the default.
struct ScopedImageLimit {
    explicit ScopedImageLimit(const char* mib) { setenv(kBirdImageLimitVariable, mib, 1); }
    ~ScopedImageLimit() { unsetenv(kBirdImageLimitVariable); }
};

class UpdateServerTest : public testing::Test {
  protected:
    void SetUp() override {
        addBuild(root(), "40F5849A", 1234, "2.11.4");
        addBuild(root(), "40F5849A", 1300, "2.11.10", 20000);
        addBuild(root(), "40F5849A", 1250, "2.9.10");
        writeText(root() / "40F5849A" / "firmware", "CVN-HUB\r\n");
        writeText(root() / "40F5849A" / "token", "  eyJhbGciOi.eyJzdWIi.c2lnbmF0dXJl \n");
        start();
    }
    void start(updateserver::ServerConfig config = {}) {
        config.catalogue = root().string();
        config.port = 0;
        config.log = log;
        std::string error;
        ASSERT_TRUE(server.start(config, error)) << error;
        ASSERT_NE(server.port(), 0);
    }
    void TearDown() override {
        server.stop();
        std::fclose(log);
    }
    fs::path root() const { return fs::path(dir.path()) / "catalogue"; }
    std::string logText() {
        std::fflush(log);
        std::rewind(log);
        std::string text;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, log)) > 0;) {
            text.append(buffer, n);
        }
        std::fseek(log, 0, SEEK_END);
        return text;
    }
    ServerResponse get(const std::map<std::string, std::string>& parameters,
                       const std::string& path = "/cgi/u") {
        const std::string base = "http://127.0.0.1:" + std::to_string(server.port()) + path;
        return client.httpGet(base, parameters);
    }
    // After connections closed: the server lets go of them on its own time, so wait for that
    // event.
    bool servedAgain() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            try {
                return get({{"op", "hi"}}).status == 200;
            } catch (const std::runtime_error&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        return false;
    }

    ScopedTempDir dir;
    FILE* log = std::tmpfile();
    updateserver::UpdateServer server;
    ServerCommClass client;
};

TEST_F(UpdateServerTest, AnswersTheUpdatersOperations) {
    const std::string url = server.url();
    EXPECT_EQ(url, "http://127.0.0.1:" + std::to_string(server.port()) + "/cgi/u");
    EXPECT_TRUE(client.ping(url));

    std::string latest, firmware;
    ASSERT_TRUE(client.QueryBuild(kSerial, latest, firmware, url));
    EXPECT_EQ(latest, "1300"); // the newest version, not the highest number
    EXPECT_EQ(firmware, "CVN-HUB");

    BuildList builds;
    ASSERT_TRUE(client.GetBuildList(kSerial, builds, url));
    EXPECT_EQ(builds, (BuildList{{"1234", "2.11.4"}, {"1250", "2.9.10"}, {"1300", "2.11.10"}}));

    std::string base64;
    ASSERT_TRUE(client.GetBuild(kSerial, "CVN-HUB", "1300", base64, url, true));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(base64Decode(base64, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              testsupport::readBytes(root() / "40F5849A" / "1300.bird"));

    std::string token;
    ASSERT_TRUE(client.GetDeviceJWT(kSerial, token, url));
    EXPECT_EQ(token, "eyJhbGciOi.eyJzdWIi.c2lnbmF0dXJl");
}

TEST_F(UpdateServerTest, RefusesWhatTheCatalogueLacks) {
    const std::string url = server.url();
    std::string text;
    BuildList builds;
    EXPECT_FALSE(client.GetBuild(kSerial, "CVN-HUB", "99999", text, url));
    EXPECT_FALSE(client.GetBuild(kSerial, "OTHER", "1300", text, url));
    EXPECT_FALSE(client.GetBuildList(0x12345678, builds, url));
    EXPECT_FALSE(client.GetDeviceJWT(0x12345678, text, url));

    EXPECT_EQ(get({{"op", "bird"}, {"sn", "40F5849A"}, {"fw", "CVN-HUB"}, {"bld", "99999"}}).body,
              "error no build 99999 for module 40F5849A\n");
    EXPECT_EQ(get({{"op", "builds"}, {"sn", "12345678"}}).status, 404);
    EXPECT_EQ(get({{"op", "qu"}, {"sn", "12345678"}}).body, "error unknown module 12345678\n");
    // Serial numbers and builds name files: nothing but their digits gets through.
    for (const char* sn : {"..", "40F5849A0", "", "4/F", "%2e%2e"}) {
        EXPECT_EQ(get({{"op", "builds"}, {"sn", sn}}).status, 400) << sn;
    }
    EXPECT_EQ(get({{"op", "bird"}, {"sn", "40F5849A"}, {"fw", "CVN-HUB"}, {"bld", "1300x"}}).status,
              400);
    EXPECT_EQ(get({{"op", "what"}}).status, 400);
    EXPECT_EQ(get({}).body, "error no op\n");
    EXPECT_EQ(get({{"op", "hi"}}, "/other").status, 404);

    const std::string log = logText();
    EXPECT_NE(log.find("update-server: 127.0.0.1 GET /cgi/u?op=builds&sn=12345678 -> 404 error "
                       "unknown module 12345678 ("),
              std::string::npos)
        << log;
}

TEST_F(UpdateServerTest, SerialNumbersAreReadAsHexadecimal) {
    addBuild(root(), "0000000A", 7, "1.0.0");
    const auto reply = get({{"op", "builds"}, {"sn", "a"}});
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "ok\n7;1.0.0\n");
}

TEST_F(UpdateServerTest, LatestAndListingRules) {
    const fs::path folder = root() / "0000BEEF";
    addBuild(root(), "0000BEEF", 10, "1.2.3");
    addBuild(root(), "0000BEEF", 20, "1.2.3"); // same version: the higher build wins
    addBuild(root(), "0000BEEF", 30, "");      // no version ranks below every version
    writeText(folder / "40.bird", "not a bird file");
    writeText(folder / "0012.bird", "leading zero");
    writeText(folder / "notes.txt", "ignored");
    fs::copy_file(folder / "10.bird", folder / "0.bird");

    const auto list = get({{"op", "builds"}, {"sn", "BEEF"}});
    EXPECT_EQ(list.body, "ok\n10;1.2.3\n20;1.2.3\n30;\n");
    const auto latest = get({{"op", "qu"}, {"sn", "BEEF"}});
    EXPECT_EQ(latest.body, "ok\n20\n"); // no firmware file: no identifier line
    const std::string log = logText();
    EXPECT_NE(log.find("40.bird: not a readable BIRD file"), std::string::npos) << log;
    EXPECT_NE(log.find("0012.bird: name is not a build number"), std::string::npos) << log;

    // Replacing a file while serving is seen at the next request, even when the new file has
    // the old one's size and modification time.
    const auto modified = fs::last_write_time(folder / "10.bird");
    addBuild(root(), "0000BEEF", 10, "9.0.0");
    ASSERT_EQ(fs::file_size(folder / "10.bird"), fs::file_size(folder / "20.bird"));
    fs::last_write_time(folder / "10.bird", modified);
    EXPECT_EQ(get({{"op", "qu"}, {"sn", "BEEF"}}).body, "ok\n10\n");

    fs::create_directories(root() / "0000CAFE");
    EXPECT_EQ(get({{"op", "builds"}, {"sn", "CAFE"}}).body, "ok\n");
    EXPECT_EQ(get({{"op", "qu"}, {"sn", "CAFE"}}).status, 404);
}

// The server's "latest" and the top of the Updater's build table must be the same build, also
// when the catalogue holds a version that is none (major above 255).
TEST_F(UpdateServerTest, NamesTheSameLatestBuildAsTheUpdatersBuildTable) {
    const struct {
        const char* serial;
        std::vector<std::pair<uint32_t, const char*>> builds;
        const char* latest;
    } cases[] = {
        {"0000A001", {{100, "300.0.0"}, {200, "2.11.4"}}, "200"},
        {"0000A002", {{100, "2.11.4"}, {200, "300.0.0"}}, "100"},
        {"0000A003", {{100, "2.0.0"}, {150, "2.256.0"}, {200, "3.0.0"}}, "200"},
    };
    const std::string url = server.url();
    for (const auto& c : cases) {
        for (const auto& [build, version] : c.builds) {
            addBuild(root(), c.serial, build, version);
        }
        const uint32_t serial = static_cast<uint32_t>(std::stoul(c.serial, nullptr, 16));
        std::string latest, firmware;
        ASSERT_TRUE(client.QueryBuild(serial, latest, firmware, url)) << c.serial;
        BuildList builds;
        ASSERT_TRUE(client.GetBuildList(serial, builds, url)) << c.serial;
        EXPECT_EQ(latest, c.latest) << c.serial;
        EXPECT_EQ(ServerCommClass::sortBuildsByVersion(builds).front().first, c.latest) << c.serial;
    }
}

TEST_F(UpdateServerTest, RecoveryTableAndLoaders) {
    writeText(root() / "recovery", "# chip fingerprint -> serial, build\n"
                                   "\n"
                                   "00000001 ABCDEF01 2 ffffffff 40F5849A 1300  # hub\n"
                                   "1 2 3\n"
                                   "A B C D DEADDEAD 5\n");
    addBuild(root(), "DEADDEAD", 5, "0.1.0");
    const std::string url = server.url();

    uint32_t serial = 0, build = 0;
    ASSERT_TRUE(client.GetRecoveryInfo({1, 0xABCDEF01, 2, 0xFFFFFFFF}, serial, build, url));
    EXPECT_EQ(serial, kSerial);
    EXPECT_EQ(build, 1300u);
    EXPECT_FALSE(client.GetRecoveryInfo({1, 2, 3, 4}, serial, build, url));
    ASSERT_TRUE(client.GetRecoveryInfo({0xA, 0xB, 0xC, 0xD}, serial, build, url));
    EXPECT_EQ(serial, 0xDEADDEADu);

    std::string latest, firmware;
    ASSERT_TRUE(client.QueryBuild(0xDEADDEAD, latest, firmware, url));
    EXPECT_EQ(latest, "5");
    std::string base64;
    EXPECT_TRUE(client.GetBuild(0xDEADDEAD, "", "5", base64, url));

    EXPECT_EQ(get({{"op", "fix"}, {"fp", "1%202%203"}}).status, 400);
    EXPECT_NE(logText().find("recovery line 4: expected four fingerprint words"),
              std::string::npos);
}

// What a hostile catalogue or client tries: none of it may hold a worker, reach outside the
// catalogue, go unanswered, forge a log line or take every connection.
TEST_F(UpdateServerTest, HoldsUpUnderAbuse) {
    const fs::path module = root() / "40F5849A";
    fs::remove(module / "firmware");
    ASSERT_EQ(mkfifo((module / "firmware").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((module / "1400.bird").c_str(), 0644), 0);
    addBuild(fs::path(dir.path()) / "outside", "40F5849A", 1500, "9.9.9");
    writeText(fs::path(dir.path()) / "outside" / "token", "eyJ.eyJ.c2ln\n");
    fs::create_symlink(fs::path(dir.path()) / "outside" / "40F5849A" / "1500.bird",
                       module / "1500.bird");
    fs::remove(module / "token");
    fs::create_symlink(fs::path(dir.path()) / "outside" / "token", module / "token");

    struct Case {
        std::map<std::string, std::string> query;
        int status;
        std::string body;
    };
    std::map<std::string, std::string> many = {{"op", "hi"}};
    for (int i = 0; i < 500; ++i) {
        many["p" + std::to_string(i)] = "1";
    }
    const Case cases[] = {
        {{{"op", "qu"}, {"sn", "40F5849A"}}, 200, "ok\n1300\n"},
        {{{"op", "builds"}, {"sn", "40F5849A"}},
         200,
         "ok\n1234;2.11.4\n1250;2.9.10\n1300;2.11.10\n"},
        {{{"op", "ent_jwt"}, {"sn", "40F5849A"}}, 404, "error no token for module 40F5849A\n"},
        {many, 400, "error more than 100 query parameters\n"},
        {{{"op", "hi\nupdate-server: forged\x1b[2J"}},
         400,
         "error unknown op [hi\nupdate-server: forged\x1b[2J]\n"},
    };
    for (const Case& c : cases) {
        const ServerResponse r = get(c.query);
        EXPECT_EQ(r.status, c.status) << r.url;
        EXPECT_EQ(r.body, c.body) << r.url;
    }
    const std::string log = logText();
    EXPECT_EQ(log.find("\nupdate-server: forged"), std::string::npos) << log;
    EXPECT_NE(log.find("op=hi\\nupdate-server: forged\\x1B[2J"), std::string::npos) << log;
    EXPECT_NE(log.find("1500.bird: leads out of the catalogue"), std::string::npos) << log;
}

// Slow clients: whatever trickles in, a request that has not arrived whole by the deadline loses
// its connection, so a few such connections cannot hold their address's share for ever.
TEST_F(UpdateServerTest, RequestsThatDoNotArriveInTimeLoseTheirConnection) {
    server.stop();
    updateserver::ServerConfig config;
    config.maxConnectionsPerClient = 3;
    config.requestDeadline = std::chrono::milliseconds(500);
    config.connectionTimeoutSeconds = 3600; // the idle time-out must not be what closes them
    start(config);
    struct Case {
        const char* name;
        std::string opening; // sent at once
        std::string trickle; // sent again and again while the connection lasts
    };
    const std::string head = "GET /cgi/u?op=hi HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    const std::vector<Case> cases = {
        {"silent", "", ""},
        {"trickling its request line", "GET /cgi/u?op=hi", "i"},
        {"trickling headers", head, "X-Slow: 1\r\n"},
    };
    std::vector<int> open;
    for (const Case& c : cases) {
        open.push_back(connectTo(server.port()));
        ASSERT_GE(open.back(), 0) << c.name;
        ASSERT_EQ(send(open.back(), c.opening.data(), c.opening.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(c.opening.size()));
    }
    // Keep trickling until the server has closed every one of them (a generous bound).
    std::vector<bool> closed(cases.size(), false);
    for (int round = 0; round < 200 && std::count(closed.begin(), closed.end(), false) > 0;
         ++round) {
        for (size_t i = 0; i < cases.size(); ++i) {
            if (closed[i]) {
                continue;
            }
            const std::string& trickle = cases[i].trickle;
            send(open[i], trickle.data(), trickle.size(), MSG_NOSIGNAL);
            pollfd ready{open[i], POLLIN, 0};
            char buffer[4096];
            if (poll(&ready, 1, 50) > 0 && recv(open[i], buffer, sizeof buffer, 0) <= 0) {
                closed[i] = true;
            }
        }
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(closed[i]) << cases[i].name << " still holds its connection";
        close(open[i]);
    }
    EXPECT_TRUE(servedAgain());
    EXPECT_NE(logText().find("update-server: 127.0.0.1 closed: no complete request within 500 ms"),
              std::string::npos);
}

TEST_F(UpdateServerTest, OneClientCannotTakeEveryConnection) {
    server.stop();
    updateserver::ServerConfig config;
    config.maxConnectionsPerClient = 2;
    start(config);
    const int idle[] = {connectTo(server.port()), connectTo(server.port())};
    ASSERT_GE(std::min(idle[0], idle[1]), 0);
    EXPECT_THROW(get({{"op", "hi"}}), std::runtime_error) << "a third connection is refused";
    for (int fd : idle) {
        close(fd);
    }
    EXPECT_TRUE(servedAgain());
}

TEST(UpdateServerCatalogue, RequestsForOneBuildShareOneReply) {
    ScopedTempDir dir;
    addBuild(dir.path(), "40F5849A", 1234, "2.11.4");
    const updateserver::Catalogue catalogue(dir.path());
    const auto builds = catalogue.builds(kSerial);
    ASSERT_TRUE(builds && builds->size() == 1);
    std::vector<std::string> warnings;
    const auto first = catalogue.birdReply(builds->front(), warnings);
    const auto second = catalogue.birdReply(builds->front(), warnings);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(first->rfind("ok\n", 0), 0u);
}

// Bombs in a catalogue: a version is read from the info block alone, a file whose image runs past
// the image limit before its info block is left out, and so is a file too large to hold an image
// within the limit, without decompressing it.
TEST(UpdateServerCatalogue, ImagesPastTheLimitAreLeftOutOfTheList) {
    const ScopedImageLimit limit("1");
    ScopedTempDir dir;
    const fs::path folder = fs::path(dir.path()) / "40F5849A";
    fs::create_directories(folder);
    struct Case {
        uint32_t build;
        std::vector<uint8_t> bytes; // empty: a sample build of version "4.0.0"
        std::string listed;         // the version listed; empty: left out with warning
        std::string warning;
    };
    const std::vector<Case> cases = {
        {10, testsupport::birdBombBytes({2 << 20, false}), "", "not a readable BIRD file"},
        {20, testsupport::birdBombBytes({2 << 20, true, "2.0.0"}), "2.0.0", ""},
        {30, testsupport::birdBombBytes({16 << 20, true, "3.0.0"}), "",
         "larger than any BIRD file whose image fits the limit of 1 MiB"},
        {40, {}, "4.0.0", ""},
    };
    for (const Case& c : cases) {
        const fs::path path = folder / (std::to_string(c.build) + ".bird");
        if (c.bytes.empty()) {
            addBuild(dir.path(), "40F5849A", c.build, c.listed);
        } else {
            writeText(path, std::string(c.bytes.begin(), c.bytes.end()));
        }
    }
    const updateserver::Catalogue catalogue(dir.path());
    std::vector<std::string> warnings;
    const auto builds = catalogue.builds(kSerial, &warnings);
    ASSERT_TRUE(builds);
    for (const Case& c : cases) {
        const std::string path = (folder / (std::to_string(c.build) + ".bird")).string();
        const auto found = std::find_if(
            builds->begin(), builds->end(),
            [&c](const updateserver::CatalogueBuild& b) { return b.build == c.build; });
        if (c.listed.empty()) {
            EXPECT_TRUE(found == builds->end()) << c.build << " is listed";
            EXPECT_TRUE(std::find(warnings.begin(), warnings.end(), path + ": " + c.warning) !=
                        warnings.end())
                << c.build << " has no warning: " << testing::PrintToString(warnings);
        } else {
            ASSERT_NE(found, builds->end()) << c.build;
            EXPECT_EQ(found->version, c.listed);
        }
    }
}

TEST(UpdateServerStart, RefusesABadCatalogueOrAddress) {
    updateserver::UpdateServer server;
    std::string error;
    updateserver::ServerConfig config;
    config.catalogue = "/nonexistent/catalogue";
    config.port = 0;
    config.log = nullptr;
    EXPECT_FALSE(server.start(config, error));
    EXPECT_EQ(error, "catalogue /nonexistent/catalogue is not a directory");

    ScopedTempDir dir;
    config.catalogue = dir.path();
    config.listenAddress = "localhost";
    EXPECT_FALSE(server.start(config, error));
    EXPECT_EQ(error, "listen address localhost is not an IPv4 or IPv6 address");

    config.listenAddress = "127.0.0.1";
    const ScopedImageLimit limit("64MiB");
    EXPECT_FALSE(server.start(config, error));
    EXPECT_EQ(error, "CORVANE_BIRD_IMAGE_LIMIT_MIB=64MiB is not a whole number of MiB from 1 to "
                     "4095");
}

class UpdateServerProgram : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(std::string(UPDATE_SERVER_BIN).empty()) << "update-server is not built";
    }
    ScopedTempDir dir;
};

TEST_F(UpdateServerProgram, ServesOnAnEphemeralPortAndLogsEachRequest) {
    addBuild(fs::path(dir.path()) / "cat", "40F5849A", 1234, "2.11.4");
    testsupport::UpdateServerProcess process(UPDATE_SERVER_BIN,
                                             (fs::path(dir.path()) / "cat").string(),
                                             (fs::path(dir.path()) / "log").string());
    ServerCommClass client;
    BuildList builds;
    ASSERT_TRUE(client.GetBuildList(kSerial, builds, process.url()));
    EXPECT_EQ(builds, (BuildList{{"1234", "2.11.4"}}));
    EXPECT_TRUE(client.ping(process.url()));
    EXPECT_EQ(process.stop(), 0);
    const std::string log = process.log();
    EXPECT_NE(log.find("update-server: 127.0.0.1 GET /cgi/u?op=builds&sn=40F5849A -> 200 ok ("),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("update-server: 127.0.0.1 GET /cgi/u?op=hi&rv=2 -> 200 ok (3 bytes)"),
              std::string::npos);
    EXPECT_NE(log.find("update-server: stopped (Terminated)"), std::string::npos);
}

TEST_F(UpdateServerProgram, HelpAndCommandLineErrors) {
    auto help = testsupport::runProcess(UPDATE_SERVER_BIN, {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("CATALOGUE/SSSSSSSS/"), std::string::npos);
    EXPECT_NE(help.out.find("--port PORT"), std::string::npos);

    auto none = testsupport::runProcess(UPDATE_SERVER_BIN, {});
    EXPECT_EQ(none.exitStatus, 2);
    EXPECT_EQ(none.err, "update-server: no catalogue directory given\n"
                        "Try 'update-server --help'.\n");
    auto badPort = testsupport::runProcess(UPDATE_SERVER_BIN, {"--port", "70000", dir.path()});
    EXPECT_EQ(badPort.exitStatus, 2);
    auto unknown = testsupport::runProcess(UPDATE_SERVER_BIN, {"--bogus", dir.path()});
    EXPECT_EQ(unknown.exitStatus, 2);
}

TEST_F(UpdateServerProgram, PortInUseIsReported) {
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    auto r = testsupport::runProcess(UPDATE_SERVER_BIN, {"--port", port, dir.path()});
    close(holder);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err,
              "update-server: cannot listen on 127.0.0.1:" + port + ": Address already in use\n");
}

} // namespace
