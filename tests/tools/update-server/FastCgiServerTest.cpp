// update-server --fastcgi: a web server's records in, the daemon's answers out, one request at a
// time on a connection; a peer that breaks the protocol or stalls is closed, and a stop lets the
// reply in flight finish.
#include "FastCgiServer.h"
#include "HttpAnswer.h"
#include "SampleCatalogue.h"
#include "ScopedTempDir.h"
#include "UpdateServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Records are put together byte by byte here, not with the server's own encoder.
std::string record(uint8_t type, uint16_t id, const std::string& content, uint8_t version = 1) {
    const char header[8] = {static_cast<char>(version),
                            static_cast<char>(type),
                            static_cast<char>(id >> 8),
                            static_cast<char>(id & 0xFF),
                            static_cast<char>(content.size() >> 8),
                            static_cast<char>(content.size() & 0xFF),
                            3, // padding, which the reader must skip
                            0};
    return std::string(header, 8) + content + std::string(3, '\x5A');
}

std::string begin(uint16_t id, uint16_t role = 1, bool keep = false) {
    return record(1, id, {static_cast<char>(role >> 8), static_cast<char>(role & 0xFF),
                          static_cast<char>(keep ? 1 : 0), 0, 0, 0, 0, 0});
}

std::string pair(const std::string& name, const std::string& value) {
    std::string out;
    for (const size_t length : {name.size(), value.size()}) {
        if (length < 128) {
            out += static_cast<char>(length);
        } else {
            out += {static_cast<char>(0x80 | (length >> 24)), static_cast<char>(length >> 16),
                    static_cast<char>(length >> 8), static_cast<char>(length)};
        }
    }
    return out + name + value;
}

// A request's parameters as nginx sends them for target, split over two PARAMS records as a web
// server may, and its empty input.
std::string request(uint16_t id, const std::string& target, const std::string& method = "GET",
                    const std::string& script = "/cgi/u") {
    const size_t question = target.find('?');
    const std::string path = target.substr(0, question);
    const std::string parameters =
        pair("REQUEST_METHOD", method) + pair("SCRIPT_NAME", script) +
        pair("PATH_INFO", path.substr(std::min(script.size(), path.size()))) +
        pair("QUERY_STRING", question == std::string::npos ? "" : target.substr(question + 1)) +
        pair("REMOTE_ADDR", "192.0.2.7");
    const size_t half = parameters.size() / 2;
    return record(4, id, parameters.substr(0, half)) + record(4, id, parameters.substr(half)) +
           record(4, id, "") + record(5, id, "");
}

struct Record {
    uint8_t type = 0;
    uint16_t id = 0;
    std::string content;
};

// A web server's end of one connection.
class Peer {
  public:
    explicit Peer(uint16_t port) : fd_(connectLoopback(port)) {}
    ~Peer() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    void send(const std::string& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The records that arrive until `ends` END_REQUESTs or `count` records came or the server
    // closed (closed is then set); 10 s of silence ends the wait too.
    std::vector<Record> read(size_t ends = SIZE_MAX, size_t count = SIZE_MAX) {
        std::vector<Record> records;
        size_t ended = 0;
        char buffer[65536];
        pollfd readable{fd_, POLLIN, 0};
        while (ended < ends && records.size() < count && poll(&readable, 1, 10000) == 1) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                closed = true;
                break;
            }
            pending_.append(buffer, static_cast<size_t>(n));
            while (pending_.size() >= 8) {
                const auto byte = [this](size_t at) { return static_cast<uint8_t>(pending_[at]); };
                EXPECT_EQ(byte(0), 1);
                const size_t length = (byte(4) << 8) | byte(5);
                const size_t total = 8 + length + byte(6);
                if (pending_.size() < total) {
                    break;
                }
                records.push_back({byte(1), static_cast<uint16_t>((byte(2) << 8) | byte(3)),
                                   pending_.substr(8, length)});
                ended += byte(1) == 3;
                pending_.erase(0, total);
            }
        }
        return records;
    }
    bool closed = false;

  private:
    int fd_;
    std::string pending_;
};

std::string stdoutOf(const std::vector<Record>& records, uint16_t id) {
    std::string text;
    for (const Record& r : records) {
        text += r.type == 6 && r.id == id ? r.content : "";
    }
    return text;
}

// The protocol status of the request's END_REQUEST; -1 without one.
int endOf(const std::vector<Record>& records, uint16_t id) {
    for (const Record& r : records) {
        if (r.type == 3 && r.id == id && r.content.size() == 8) {
            return static_cast<uint8_t>(r.content[4]);
        }
    }
    return -1;
}

class FastCgiServerTest : public testing::Test {
  protected:
    void SetUp() override {
        testsupport::addBuild(catalogue(), "40F5849A", 1234, "2.11.4");
        testsupport::writeText(catalogue() / "40F5849A" / "firmware", "CVN-HUB\n");
        updateserver::ServerConfig daemonConfig;
        daemonConfig.catalogue = catalogue().string();
        daemonConfig.port = 0;
        daemonConfig.log = nullptr;
        std::string error;
        ASSERT_TRUE(daemon.start(daemonConfig, error)) << error;
        start(std::chrono::seconds(10));
    }
    void TearDown() override {
        server.stop();
        daemon.stop();
        std::fclose(log);
    }
    void start(std::chrono::milliseconds deadline) {
        server.stop();
        updateserver::ServerConfig config;
        config.catalogue = catalogue().string();
        config.port = 0;
        config.log = log;
        config.requestDeadline = deadline;
        std::string error;
        ASSERT_TRUE(server.start(config, error)) << error;
    }
    fs::path catalogue() const { return fs::path(dir.path()) / "catalogue"; }
    std::string logText() const {
        std::fflush(log);
        std::rewind(log);
        std::string text;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, log)) > 0;) {
            text.append(buffer, n);
        }
        return text;
    }

    ScopedTempDir dir;
    FILE* log = std::tmpfile();
    updateserver::UpdateServer daemon;
    updateserver::FastCgiServer server;
};

TEST_F(FastCgiServerTest, AnswersEveryRequestAsTheDaemonDoes) {
    std::string many = "op=hi";
    for (int i = 0; i < 101; ++i) {
        many += "&p" + std::to_string(i) + "=1";
    }
    const std::pair<std::string, std::string> cases[] = {
        {"GET", "/cgi/u?op=hi"},
        {"GET", "/cgi/u?op=%71u&sn=40f5849a"},
        {"GET", "/cgi/u?op=builds&sn=40F5849A"},
        {"GET", "/cgi/u?op=bird&sn=40F5849A&fw=CVN-HUB&bld=1234"},
        {"GET", "/cgi/u?op=bird&sn=40F5849A&fw=CVN-HUB&bld=99"},
        {"GET", "/cgi/u?op=builds&sn=../../etc"},
        {"POST", "/cgi/u?op=hi"},
        {"GET", "/cgi/u/40F5849A/1234.bird"},
        {"GET", "/cgi/u?" + many},
        {"GET", "/cgi/u?op=hi&x=" + std::string(20000, 'a')},
    };
    for (const auto& [method, target] : cases) {
        const std::string shown = method + " " + target.substr(0, 60);
        Peer peer(server.port());
        peer.send(begin(1) + request(1, target, method));
        const std::vector<Record> records = peer.read();
        EXPECT_TRUE(peer.closed) << shown;
        ASSERT_GE(records.size(), 3u) << shown;
        // The reply's stream ends with an empty record, then the request does.
        EXPECT_EQ(records[records.size() - 2].type, 6) << shown;
        EXPECT_EQ(records[records.size() - 2].content, "") << shown;
        EXPECT_EQ(endOf(records, 1), 0) << shown;
        const HttpAnswer got = parseAnswer(stdoutOf(records, 1), "Status: ");
        const HttpAnswer wire = daemonAnswer(daemon.port(), method, target);
        EXPECT_EQ(got.status, wire.status) << shown;
        EXPECT_EQ(got.contentType, wire.contentType) << shown;
        EXPECT_EQ(got.body, wire.body) << shown;
    }
    Peer peer(server.port());
    peer.send(begin(1) + request(1, "/metrics", "GET", "/metrics"));
    const HttpAnswer metrics = parseAnswer(stdoutOf(peer.read(), 1), "Status: ");
    EXPECT_EQ(metrics.status, 200u);
    EXPECT_NE(metrics.body.find("corvane_update_server_requests_total{"), std::string::npos);
    EXPECT_NE(logText().find("192.0.2.7 GET /cgi/u?op=hi -> 200 ok"), std::string::npos)
        << logText();
}

TEST_F(FastCgiServerTest, KeepsItsConnectionWhenAskedAndTakesOneRequestAtATime) {
    Peer peer(server.port());
    // Request 2 begins while 1 is read: it is refused, 1 is answered, the connection stays.
    peer.send(begin(1, 1, true) + begin(2) + request(1, "/cgi/u?op=hi"));
    std::vector<Record> records = peer.read(2);
    EXPECT_EQ(endOf(records, 2), 1);
    EXPECT_EQ(endOf(records, 1), 0);
    EXPECT_EQ(parseAnswer(stdoutOf(records, 1), "Status: ").body.substr(0, 3), "ok\n");
    // An aborted request ends at once; the one after it is answered, and ends the connection.
    peer.send(begin(3, 1, true) + record(2, 3, ""));
    EXPECT_EQ(endOf(peer.read(1), 3), 0);
    peer.send(begin(4) + request(4, "/cgi/u?op=builds&sn=40F5849A"));
    records = peer.read();
    EXPECT_EQ(parseAnswer(stdoutOf(records, 4), "Status: ").body, "ok\n1234;2.11.4\n");
    EXPECT_TRUE(peer.closed);
}

TEST_F(FastCgiServerTest, AnswersManagementRecordsAndRefusesOtherRoles) {
    struct Case {
        const char* what;
        std::string sent;
        Record expected;
        bool closes;
    };
    const Case cases[] = {
        {"values",
         record(9, 0, pair("FCGI_MPXS_CONNS", "") + pair("NOT_A_VALUE", "") +
                          pair("FCGI_MAX_CONNS", "")),
         {10, 0, pair("FCGI_MAX_CONNS", "64") + pair("FCGI_MPXS_CONNS", "0")},
         false},
        {"unknown management type", record(42, 0, "x"), {11, 0, std::string("*\0\0\0\0\0\0\0", 8)},
         false},
        {"authorizer role", begin(7, 2), {3, 7, std::string("\0\0\0\0\3\0\0\0", 8)}, true},
    };
    for (const Case& c : cases) {
        Peer peer(server.port());
        peer.send(c.sent);
        const std::vector<Record> answer = peer.read(SIZE_MAX, 1);
        ASSERT_EQ(answer.size(), 1u) << c.what;
        EXPECT_EQ(answer[0].type, c.expected.type) << c.what;
        EXPECT_EQ(answer[0].id, c.expected.id) << c.what;
        EXPECT_EQ(answer[0].content, c.expected.content) << c.what;
        if (c.closes) {
            EXPECT_TRUE(peer.read().empty()) << c.what;
            EXPECT_TRUE(peer.closed) << c.what;
        } else {
            peer.send(begin(1) + request(1, "/cgi/u?op=hi"));
            EXPECT_EQ(endOf(peer.read(1), 1), 0) << c.what;
        }
    }
}

TEST_F(FastCgiServerTest, ClosesAPeerThatBreaksTheProtocol) {
    const std::string huge(70000, 'q');
    std::string overLimit = begin(1);
    for (int i = 0; i < 5; ++i) {
        overLimit += record(4, 1, huge.substr(0, 65535));
    }
    const std::pair<std::string, std::string> cases[] = {
        {record(1, 1, std::string(8, '\0'), 2), "not a FastCGI peer: a record of version 2"},
        {begin(1) + record(4, 1, "\x05\x7F" "ab") + record(4, 1, "") + record(5, 1, ""),
         "the parameters of request 1 are malformed"},
        {overLimit, "the parameters of request 1 exceed 262144 bytes"},
        {record(1, 1, std::string("\0\1\0\0", 4)), "a BEGIN_REQUEST record of 4 bytes"},
        {begin(1) + begin(1), "request 1 begun twice"},
    };
    for (const auto& [sent, reason] : cases) {
        Peer peer(server.port());
        peer.send(sent);
        EXPECT_TRUE(peer.read().empty()) << reason;
        EXPECT_TRUE(peer.closed) << reason;
        EXPECT_NE(logText().find("a FastCGI connection closed: " + reason), std::string::npos)
            << logText();
    }
}

TEST_F(FastCgiServerTest, ClosesARequestThatMissesItsDeadline) {
    start(std::chrono::milliseconds(200));
    Peer peer(server.port());
    peer.send(begin(1) + record(4, 1, pair("REQUEST_METHOD", "GET")));
    EXPECT_TRUE(peer.read().empty());
    EXPECT_TRUE(peer.closed);
    EXPECT_NE(logText().find("no complete request within 200 ms"), std::string::npos);
}

// A stop ends the connections that wait for a request at once, and lets the reply being sent
// finish whole, however slowly its web server takes it.
TEST_F(FastCgiServerTest, AStopLetsTheReplyInFlightFinish) {
    // Its reply, 11 MB, is far more than the socket buffers take while nobody reads.
    testsupport::addBuild(catalogue(), "40F5849A", 1300, "3.0.0", 8u << 20);
    const std::string target = "/cgi/u?op=bird&sn=40F5849A&fw=CVN-HUB&bld=1300";
    Peer sending(server.port());
    Peer waiting(server.port());
    sending.send(begin(1) + request(1, target));
    std::vector<Record> records = sending.read(SIZE_MAX, 1);
    std::atomic<bool> stopped{false};
    std::thread stopper([this, &stopped] {
        server.stop();
        stopped = true;
    });
    EXPECT_TRUE(waiting.read().empty());
    EXPECT_TRUE(waiting.closed);
    EXPECT_FALSE(stopped);
    const std::vector<Record> rest = sending.read();
    records.insert(records.end(), rest.begin(), rest.end());
    stopper.join();
    EXPECT_EQ(endOf(records, 1), 0);
    // Compared whole, not printed: the reply is 11 MB.
    EXPECT_TRUE(parseAnswer(stdoutOf(records, 1), "Status: ").body ==
                daemonAnswer(daemon.port(), "GET", target).body);
}

} // namespace
