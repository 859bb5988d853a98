// Update server client against a scripted HTTP responder on loopback.
#include "ServerCommClass.h"

#include "DebugCapture.h"
#include "ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>

using testsupport::httpReply;
using testsupport::ScriptedHttpServer;

namespace {

ServerCommClass quickClient() {
    ServerCommSettings settings;
    settings.connectTimeoutMs = 2000;
    settings.stallSeconds = 1;
    return ServerCommClass(settings);
}

TEST(ServerCommRequest, UrlHasKeysInByteOrderAndTrailingAmpersand) {
    EXPECT_EQ(ServerCommClass::requestUrl("http://h/cgi/u", {}), "http://h/cgi/u");
    EXPECT_EQ(ServerCommClass::requestUrl("http://h/cgi/u", {{"sn", "1"}, {"Z", "2"}, {"a", ""}}),
              "http://h/cgi/u?Z=2&a=&sn=1&");
    // Values from outside can neither break the request nor add a parameter.
    EXPECT_EQ(ServerCommClass::requestUrl("http://h/cgi/u", {{"fw", "FW ID 7"}, {"x", "X&sn=D#"}}),
              "http://h/cgi/u?fw=FW%20ID%207&x=X%26sn%3DD%23&");
    EXPECT_EQ(ServerCommClass::requestUrl("u", {{"v", "a-b.c_d~e%\r\n\xff"}}),
              "u?v=a-b.c_d~e%25%0D%0A%FF&");
}

TEST(ServerCommRequest, EachOperationSendsItsQuery) {
    ScriptedHttpServer server({httpReply(200, "ok\n")});
    const ServerCommClass client = quickClient();
    std::string a, b;
    BuildList builds;
    uint32_t serial = 0, build = 0;
    client.ping(server.url());
    client.QueryBuild(0x40F5849A, a, b, server.url());
    client.GetBuildList(0xA, builds, server.url());
    client.GetBuild(0x40F5849A, "CVN-HUB", "1234", a, server.url(), true);
    client.GetBuild(0x40F5849A, "", "7", a, server.url());
    client.GetDeviceJWT(0x1234ABCD, a, server.url());
    client.GetRecoveryInfo({0x1, 0xABCDEF01, 0x2, 0xFFFFFFFF}, serial, build, server.url());
    const std::vector<std::string> expected = {
        "/cgi/u?op=hi&rv=2&",
        "/cgi/u?op=qu&sn=40F5849A&",
        "/cgi/u?op=builds&sn=0000000A&",
        "/cgi/u?bld=1234&fw=CVN-HUB&no_cal=true&op=bird&sn=40F5849A&",
        "/cgi/u?bld=7&fw=&no_cal=false&op=bird&sn=40F5849A&",
        "/cgi/u?json=false&op=ent_jwt&sn=1234ABCD&",
        "/cgi/u?brief=true&fp=00000001%20ABCDEF01%2000000002%20FFFFFFFF&op=fix&",
    };
    EXPECT_EQ(server.targets(), expected);
}

TEST(ServerCommReply, FirstLineMustStartWithOk) {
    const ServerCommClass client = quickClient();
    {
        ScriptedHttpServer server({httpReply(200, "okay, whatever\n")});
        EXPECT_TRUE(client.ping(server.url()));
    }
    {
        ScriptedHttpServer server({httpReply(200, "\n\n\nok\n")});
        EXPECT_TRUE(client.ping(server.url())) << "empty lines do not count";
    }
    for (const char* body : {"", "o\nk\n", "OK\n", " ok\n", "error\nok\n"}) {
        ScriptedHttpServer server({httpReply(200, body)});
        DebugCapture log(DEBUG_ServerComm);
        EXPECT_FALSE(client.ping(server.url())) << body;
        EXPECT_NE(
            log.text().find("ServerCommClass: ping failed [" + server.url() + "?op=hi&rv=2&]\n"),
            std::string::npos)
            << log.text();
    }
}

TEST(ServerCommReply, StatusOtherThan200FailsWithItsLogLine) {
    const ServerCommClass client = quickClient();
    ScriptedHttpServer server({httpReply(404, "ok\nno such page")});
    DebugCapture log(DEBUG_ServerComm);
    std::string token = "unchanged";
    EXPECT_FALSE(client.GetDeviceJWT(1, token, server.url()));
    EXPECT_FALSE(client.ping(server.url()));
    EXPECT_EQ(token, "unchanged");
    const std::string text = log.text();
    EXPECT_NE(text.find("GetDeviceJWT ==> [404] [ok\nno such page]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("PING ==> [404] [ok\nno such page]\n"), std::string::npos) << text;
}

TEST(ServerCommReply, QueryBuildTakesPresentLinesOnly) {
    const ServerCommClass client = quickClient();
    std::string latest = "old", firmware = "old";
    {
        ScriptedHttpServer server({httpReply(200, "ok\n")});
        ASSERT_TRUE(client.QueryBuild(1, latest, firmware, server.url()));
        EXPECT_EQ(latest, "old");
        EXPECT_EQ(firmware, "old");
    }
    {
        ScriptedHttpServer server({httpReply(200, "ok\n\n4321\n\nCVN-HUB\r\n")});
        ASSERT_TRUE(client.QueryBuild(1, latest, firmware, server.url()));
        EXPECT_EQ(latest, "4321");
        EXPECT_EQ(firmware, "CVN-HUB");
    }
}

TEST(ServerCommReply, BuildListLines) {
    const ServerCommClass client = quickClient();
    ScriptedHttpServer server(
        {httpReply(200, "ok\n1234;2.11.4\r\n7\r\n1235\n\n\n1234;9.9.9\n4000;3.0.1;extra\n;;;\n")});
    DebugCapture log(DEBUG_ServerComm);
    BuildList builds{{"stale", "1.0.0"}};
    ASSERT_TRUE(client.GetBuildList(0x40F5849A, builds, server.url()));
    const BuildList expected{{"1234", "2.11.4"}, {"1235", ""}, {"4000", "3.0.1"}};
    EXPECT_EQ(builds, expected);
    EXPECT_NE(log.text().find("GetBuildList processing entry: [1234;2.11.4\r]\n"),
              std::string::npos);
    EXPECT_NE(log.text().find("GetBuildList [1234][2.11.4]\n"), std::string::npos);
    EXPECT_EQ(log.text().find("processing entry: [7"), std::string::npos);
}

TEST(ServerCommReply, BuildListIsClearedEvenOnFailure) {
    const ServerCommClass client = quickClient();
    ScriptedHttpServer server({httpReply(500, "")});
    BuildList builds{{"1", "1.0.0"}};
    EXPECT_FALSE(client.GetBuildList(1, builds, server.url()));
    EXPECT_TRUE(builds.empty());
}

TEST(ServerCommReply, GetBuildReturnsLineTwo) {
    const ServerCommClass client = quickClient();
    std::string body = "leftover";
    {
        ScriptedHttpServer server({httpReply(200, "ok\nQUJD\n")});
        ASSERT_TRUE(client.GetBuild(1, "fw", "1", body, server.url()));
        EXPECT_EQ(body, "QUJD");
    }
    {
        ScriptedHttpServer server({httpReply(200, "ok\n")});
        ASSERT_TRUE(client.GetBuild(1, "fw", "1", body, server.url()));
        EXPECT_EQ(body, "");
    }
}

TEST(ServerCommReply, DeviceTokenNeedsThreeParts) {
    const ServerCommClass client = quickClient();
    struct Case {
        const char* body;
        bool ok;
        const char* token;
    };
    const Case cases[] = {
        {"ok\neyJhbGciOi.eyJzdWIi.c2lnbmF0dXJl\r\n", true, "eyJhbGciOi.eyJzdWIi.c2lnbmF0dXJl"},
        {"ok\nab.cd.ef.gh\n", true, "ab.cd.ef.gh"},
        {"ok\neyJhbGciOieyJzdWIic2lnbmF0dXJl\r\n", false, ""},
        {"ok\nab.cd\r\n", false, ""},
        {"ok\na.cd.ef\n", false, ""},
        {"ok\nab..ef\n", false, ""},
        {"ok\nab.cd.e\r\n", false, ""},
        {"ok\nab\n", false, ""},
        {"ok\n", false, ""},
    };
    for (const Case& c : cases) {
        ScriptedHttpServer server({httpReply(200, c.body)});
        std::string token;
        EXPECT_EQ(client.GetDeviceJWT(1, token, server.url()), c.ok) << c.body;
        EXPECT_EQ(token, c.token) << c.body;
    }
}

TEST(ServerCommReply, RecoveryInfoNumbers) {
    const ServerCommClass client = quickClient();
    uint32_t serial = 0, build = 0;
    {
        ScriptedHttpServer server({httpReply(200, "ok\n40f5849a\n0x10\n")});
        DebugCapture log(DEBUG_ServerComm);
        ASSERT_TRUE(client.GetRecoveryInfo({1, 2, 3, 4}, serial, build, server.url()));
        EXPECT_EQ(serial, 0x40F5849Au);
        EXPECT_EQ(build, 16u);
        EXPECT_NE(log.text().find("GetRecoveryInfo [ok][40f5849a][0x10]\n"), std::string::npos);
    }
    {
        ScriptedHttpServer server({httpReply(200, "ok\n1A\n010\r\n")});
        ASSERT_TRUE(client.GetRecoveryInfo({1, 2, 3, 4}, serial, build, server.url()));
        EXPECT_EQ(serial, 0x1Au);
        EXPECT_EQ(build, 8u);
    }
    {
        ScriptedHttpServer server({httpReply(200, "ok\n55\n")});
        ASSERT_TRUE(client.GetRecoveryInfo({1, 2, 3, 4}, serial, build, server.url()));
        EXPECT_EQ(serial, 0x55u);
        EXPECT_EQ(build, 8u) << "an absent line leaves its number alone";
    }
}

TEST(ServerCommTransport, UnreachableServerFailsWithCurlText) {
    const ServerCommClass client = quickClient();
    const std::string url =
        "http://127.0.0.1:" + std::to_string(testsupport::closedLoopbackPort()) + "/cgi/u";
    DebugCapture log(DEBUG_ServerComm);
    EXPECT_FALSE(client.ping(url));
    EXPECT_THROW(client.httpGet(url, {}), std::runtime_error);
    EXPECT_NE(log.text().find("ping ==> [Couldn't connect to server]\n"), std::string::npos)
        << log.text();
}

TEST(ServerCommTransport, StalledServerTimesOut) {
    const ServerCommClass client = quickClient();
    for (const std::string& raw :
         {std::string(), std::string("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nok\nQU")}) {
        ScriptedHttpServer server({{raw, true}});
        const auto start = std::chrono::steady_clock::now();
        std::string body;
        EXPECT_FALSE(client.GetBuild(1, "fw", "1", body, server.url()));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
}

TEST(ServerCommTransport, TricklingServerIsCutOffAtTheTotalLimit) {
    ServerCommSettings settings;
    settings.stallSeconds = 60; // the stall guard alone would wait a minute
    settings.totalSeconds = 1;
    const ServerCommClass client(settings);
    ScriptedHttpServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nok\n", true}});
    const auto start = std::chrono::steady_clock::now();
    std::string body;
    EXPECT_FALSE(client.GetBuild(1, "fw", "1", body, server.url()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(ServerCommTransport, AnAnnouncedSizeBeyondMemoryFailsTheRequest) {
    ServerCommSettings settings;
    settings.maxBodyBytes = SIZE_MAX; // so the announced size is believed and reserved
    const ServerCommClass client(settings);
    ScriptedHttpServer server(
        {{"HTTP/1.1 200 OK\r\nContent-Length: 4611686018427387904\r\n\r\nok\nQUJD\n", true}});
    DebugCapture log(DEBUG_ServerComm);
    std::string body;
    EXPECT_FALSE(client.GetBuild(1, "fw", "1", body, server.url()));
    EXPECT_NE(log.text().find("GetBuild ==> [Out of memory for the reply]"), std::string::npos)
        << log.text();
}

TEST(ServerCommTransport, OversizedReplyIsRefused) {
    ServerCommSettings settings;
    settings.maxBodyBytes = 1000;
    const ServerCommClass client(settings);
    ScriptedHttpServer server({httpReply(200, "ok\n" + std::string(5000, 'A') + "\n")});
    DebugCapture log(DEBUG_ServerComm);
    std::string body;
    EXPECT_FALSE(client.GetBuild(1, "fw", "1", body, server.url()));
    EXPECT_NE(log.text().find("GetBuild ==> [Reply larger than 1000 bytes]"), std::string::npos);
}

TEST(ServerCommTransport, RepliesOtherThanBirdFilesHaveASmallCap) {
    ServerCommSettings settings;
    settings.maxSmallReplyBytes = 1000;
    const ServerCommClass client(settings);
    ScriptedHttpServer server({httpReply(200, "ok\n" + std::string(5000, 'A') + "\n")});
    DebugCapture log(DEBUG_ServerComm);
    BuildList builds;
    std::string text, id;
    EXPECT_FALSE(client.ping(server.url()));
    EXPECT_FALSE(client.GetBuildList(1, builds, server.url()));
    EXPECT_FALSE(client.QueryBuild(1, text, id, server.url()));
    EXPECT_FALSE(client.GetDeviceJWT(1, text, server.url()));
    EXPECT_NE(log.text().find("ping ==> [Reply larger than 1000 bytes]"), std::string::npos);
    EXPECT_TRUE(client.GetBuild(1, "fw", "1", text, server.url()));
    EXPECT_EQ(text.size(), 5000u);
}

TEST(ServerCommTransport, ADripBelowTheFloorIsCutOff) {
    ServerCommSettings settings;
    settings.stallSeconds = 1;
    settings.minBytesPerSecond = 1024;
    const ServerCommClass client(settings);
    ScriptedHttpServer server(
        {{"HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\nok\n" + std::string(9000, 'A'), false,
          std::chrono::milliseconds(0), std::chrono::milliseconds(5)}});
    DebugCapture log(DEBUG_ServerComm);
    std::string body;
    EXPECT_FALSE(client.GetBuild(1, "fw", "1", body, server.url()));
    EXPECT_NE(log.text().find("GetBuild ==> [Timeout was reached]"), std::string::npos)
        << log.text();
}

TEST(ServerCommReply, BirdTextWrappedOverLinesIsJoined) {
    const ServerCommClass client = quickClient();
    ScriptedHttpServer server({httpReply(200, "ok\nQUJD\r\nREVG\n\nR0g=\r\n")});
    std::string body;
    EXPECT_TRUE(client.GetBuild(1, "fw", "1", body, server.url()));
    EXPECT_EQ(body, "QUJDREVGR0g=");
}

TEST(ServerCommSort, NewestVersionFirstAndNonVersionsLastInKeyOrder) {
    const auto order = [](const BuildList& list) {
        std::vector<std::string> keys;
        for (const auto& [build, version] : ServerCommClass::sortBuildsByVersion(list)) {
            keys.push_back(build);
        }
        return keys;
    };
    EXPECT_EQ(order({{"1", "2.11.4"}, {"2", "2.9.10"}, {"3", "2.11.10"}}),
              (std::vector<std::string>{"3", "1", "2"}));
    EXPECT_EQ(order({{"1", "1.0.0"}, {"2", "1.0.0"}, {"3", "1.0.0"}}),
              (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(order({{"1", "300.0.0"}, {"2", "299.9.9"}}), (std::vector<std::string>{"1", "2"}));
    DebugCapture log(DEBUG_ServerComm);
    EXPECT_EQ(order({{"1", "x.y.z"}, {"2", "3.0.0"}}), (std::vector<std::string>{"2", "1"}));
    EXPECT_EQ(order({{"1", "1.2"}, {"2", "3.0.0"}}), (std::vector<std::string>{"2", "1"}));
    // A non-version between two versions must not keep the older one on top.
    EXPECT_EQ(order({{"1", "2.0.0"}, {"2", "bad"}, {"3", "3.0.0"}}),
              (std::vector<std::string>{"3", "1", "2"}));
    EXPECT_NE(log.text().find("_sortVersion: Exception converting version: "), std::string::npos);
}

} // namespace
