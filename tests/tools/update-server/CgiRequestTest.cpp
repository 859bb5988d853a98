// update-server's CGI front end: every request, good or bad, gets from it the status, type and
// body the daemon gives for the same request on the wire.
#include "CgiRequest.h"
#include "HttpAnswer.h"
#include "ProcessRunner.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "UpdateServer.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace {

namespace fs = std::filesystem;

class CgiRequestTest : public testing::Test {
  protected:
    void SetUp() override {
        testsupport::addBuild(catalogue(), "40F5849A", 1234, "2.11.4");
        testsupport::writeText(catalogue() / "40F5849A" / "firmware", "CVN-HUB\r\n");
        updateserver::ServerConfig config;
        config.catalogue = catalogue().string();
        config.port = 0;
        config.log = nullptr;
        std::string error;
        ASSERT_TRUE(server.start(config, error)) << error;
    }
    void TearDown() override { server.stop(); }
    fs::path catalogue() const { return fs::path(dir.path()) / "catalogue"; }

    HttpAnswer daemon(const std::string& method, const std::string& target) {
        return daemonAnswer(server.port(), method, target);
    }

    // The CGI front end's answer to the same request, in process.
    HttpAnswer cgi(const std::string& method, const std::string& target, std::string* log = nullptr,
                   std::string directory = {}) {
        const size_t question = target.find('?');
        const std::string path = target.substr(0, question);
        std::map<std::string, std::string> environment = {
            {"REQUEST_METHOD", method},
            {"SCRIPT_NAME", "/cgi/u"},
            {"PATH_INFO", path.size() > 6 ? path.substr(6) : ""},
            {"QUERY_STRING", question == std::string::npos ? "" : target.substr(question + 1)}};
        FILE* out = std::tmpfile();
        FILE* errors = std::tmpfile();
        const int status = updateserver::answerCgi(
            directory.empty() ? catalogue().string() : directory,
            [&environment](const char* name) {
                const auto it = environment.find(name);
                return it == environment.end() ? nullptr : it->second.c_str();
            },
            out, errors);
        EXPECT_EQ(status, 0);
        const std::string text = contents(out);
        if (log) {
            *log = contents(errors);
        }
        std::fclose(out);
        std::fclose(errors);
        return parseAnswer(text, "Status: ");
    }
    static std::string contents(FILE* file) {
        std::rewind(file);
        std::string text;
        char buffer[65536];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
            text.append(buffer, n);
        }
        return text;
    }

    ScopedTempDir dir;
    updateserver::UpdateServer server;
};

TEST_F(CgiRequestTest, AnswersEveryRequestAsTheDaemonDoes) {
    std::string many = "op=hi";
    for (int i = 0; i < 101; ++i) {
        many += "&p" + std::to_string(i) + "=1";
    }
    struct Case {
        std::string method;
        std::string target;
        unsigned status;
    };
    const Case cases[] = {
        {"GET", "/cgi/u?op=hi", 200},
        {"GET", "/cgi/u?op=%71u&sn=40f5849a", 200}, // percent-encoded "qu"
        {"GET", "/cgi/u?op=builds&sn=40F5849A", 200},
        {"GET", "/cgi/u?op=bird&sn=40F5849A&fw=CVN-HUB&bld=1234", 200},
        {"GET", "/cgi/u?op=bird&sn=40F5849A&fw=CVN-HUB&bld=99", 404},
        {"GET", "/cgi/u?op=builds&sn=../../etc", 400},
        {"GET", "/cgi/u?op=%0aforged", 400},
        {"GET", "/cgi/u", 400},
        {"POST", "/cgi/u?op=hi", 405},
        {"DELETE", "/cgi/u?op=hi", 405},
        {"GET", "/cgi/u/../../etc/passwd?op=hi", 404},
        {"GET", "/cgi/u/40F5849A/1234.bird", 404},
        {"GET", "/cgi/u?" + many, 400},
        {"GET", "/cgi/u?op=hi&x=" + std::string(20000, 'a'), 414},
    };
    for (const Case& c : cases) {
        const HttpAnswer wire = daemon(c.method, c.target);
        const HttpAnswer local = cgi(c.method, c.target);
        const std::string shown = c.method + " " + c.target.substr(0, 80);
        EXPECT_EQ(wire.status, c.status) << shown << "\n" << wire.body;
        EXPECT_EQ(local.status, wire.status) << shown;
        EXPECT_EQ(local.contentType, wire.contentType) << shown;
        EXPECT_EQ(local.body, wire.body) << shown;
    }
}

TEST_F(CgiRequestTest, AMisconfiguredServerIsRefusedAndLogged) {
    std::string log;
    const HttpAnswer missing =
        cgi("GET", "/cgi/u?op=hi", &log, (fs::path(dir.path()) / "nowhere").string());
    EXPECT_EQ(missing.status, 500);
    EXPECT_EQ(missing.body, "error the catalogue cannot be served\n");
    EXPECT_NE(log.find("nowhere is not a directory"), std::string::npos) << log;

    FILE* out = std::tmpfile();
    FILE* errors = std::tmpfile();
    EXPECT_EQ(updateserver::answerCgi(
                  catalogue().string(), [](const char*) { return nullptr; }, out, errors),
              2);
    EXPECT_EQ(contents(out), "");
    EXPECT_NE(contents(errors).find("REQUEST_METHOD is not set"), std::string::npos);
    std::fclose(out);
    std::fclose(errors);
}

// The version index beside the catalogue only ever saves a decode: whatever happened to a build or
// to the index since a request filled it, the next answers are the daemon's.
TEST_F(CgiRequestTest, TheVersionIndexNeverAnswersForAnotherFile) {
    const fs::path bird = catalogue() / "40F5849A" / "1234.bird";
    const fs::path index = catalogue() / ".update-server-index";
    const fs::path entry = index / "40F5849A" / "1234.bird.version";
    struct Case {
        const char* what;
        std::function<void()> change;
        const char* version; // the one the list must show
        bool kept;           // whether the index holds it afterwards
    };
    const Case cases[] = {
        {"rewritten in place, modification time kept",
         [&] {
             const auto time = fs::last_write_time(bird);
             testsupport::addBuild(catalogue(), "40F5849A", 1234, "2.11.5");
             fs::last_write_time(bird, time);
         },
         "2.11.5", true},
        {"replaced by a rename",
         [&] {
             testsupport::addBuild(catalogue(), "40F5849A", 77, "2.12.0");
             fs::rename(catalogue() / "40F5849A" / "77.bird", bird);
         },
         "2.12.0", true},
        {"entry damaged", [&] { testsupport::writeText(entry, "\x01\x02garbage"); }, "2.12.0",
         true},
        {"entry cut short", [&] { testsupport::writeText(entry, "corvane-version-index 1\n"); },
         "2.12.0", true},
        {"entry of another file",
         [&] {
             testsupport::writeText(entry, "corvane-version-index 1\n1 2 3 4 5 limit 6\n"
                                           "version 9.9.9\n");
         },
         "2.12.0", true},
        {"entry is a folder",
         [&] {
             fs::remove(entry);
             fs::create_directories(entry);
         },
         "2.12.0", false},
        {"index cannot be written",
         [&] {
             fs::remove_all(index);
             testsupport::writeText(index, "not a folder");
         },
         "2.12.0", false},
    };
    cgi("GET", "/cgi/u?op=builds&sn=40F5849A");
    ASSERT_NE(testsupport::readBytes(entry).find("version 2.11.4\n"), std::string::npos);
    for (const Case& c : cases) {
        c.change();
        for (const std::string target : {"/cgi/u?op=builds&sn=40F5849A", "/cgi/u?op=qu&sn=40F5849A",
                                         "/cgi/u?op=bird&sn=40F5849A&fw=CVN-HUB&bld=1234"}) {
            std::string log;
            const HttpAnswer local = cgi("GET", target, &log);
            const HttpAnswer wire = daemon("GET", target);
            EXPECT_EQ(local.status, 200) << c.what << " " << target << "\n" << log;
            EXPECT_EQ(local.body, wire.body) << c.what << " " << target;
        }
        EXPECT_EQ(cgi("GET", "/cgi/u?op=builds&sn=40F5849A").body,
                  std::string("ok\n1234;") + c.version + "\n")
            << c.what;
        const std::string kept = fs::is_regular_file(entry) ? testsupport::readBytes(entry) : "";
        EXPECT_EQ(kept.find(std::string("version ") + c.version + "\n") != std::string::npos,
                  c.kept)
            << c.what << ": " << kept;
    }
}

// The program itself, as a web server starts it: the CGI variables in, the reply on stdout.
TEST_F(CgiRequestTest, TheProgramAnswersFromItsEnvironment) {
    ASSERT_FALSE(std::string(UPDATE_SERVER_BIN).empty()) << "update-server is not built";
    testsupport::ProcessOptions options;
    options.environment = {{"REQUEST_METHOD", "GET"},
                           {"SCRIPT_NAME", "/fw/u"},
                           {"QUERY_STRING", "op=builds&sn=40F5849A"}};
    const auto r =
        testsupport::runProcess(UPDATE_SERVER_BIN, {"--cgi", catalogue().string()}, options);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "Status: 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
                     "Content-Length: 15\r\n\r\nok\n1234;2.11.4\n");

    const auto listening =
        testsupport::runProcess(UPDATE_SERVER_BIN, {"--cgi", "--port", "1", catalogue().string()});
    EXPECT_EQ(listening.exitStatus, 2);
    EXPECT_NE(listening.err.find("--cgi answers through the web server"), std::string::npos);
}

} // namespace
