// The update server address as the user gives it, turned into the endpoint requested.
#include "ServerUrl.h"

#include <gtest/gtest.h>

TEST(ServerUrl, HostAndPortBecomeTheRequestEndpoint) {
    EXPECT_EQ(normaliseServerUrl("127.0.0.1:9000"), "http://127.0.0.1:9000/cgi/u");
    EXPECT_EQ(normaliseServerUrl("updates.example.net"), "http://updates.example.net/cgi/u");
    EXPECT_EQ(normaliseServerUrl(kDefaultServerHostPort), kDefaultServerUrl);
}

TEST(ServerUrl, AFullUrlIsUsedAsGiven) {
    EXPECT_EQ(normaliseServerUrl("https://updates.example.net/cgi/u"),
              "https://updates.example.net/cgi/u");
    EXPECT_EQ(normaliseServerUrl("http://127.0.0.1:8380/other"), "http://127.0.0.1:8380/other");
}
