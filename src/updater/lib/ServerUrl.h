// The update server's address: the default endpoint and the rule that turns a -u value into one.
#pragma once

#include <string>

// The project's own update server listens here unless told otherwise; the help shows the
// host:port form.
inline constexpr const char* kDefaultServerHostPort = "127.0.0.1:8380";
inline constexpr const char* kDefaultServerUrl = "http://127.0.0.1:8380/cgi/u";
// Path of the update server's request handler.
inline constexpr const char* kServerRequestPath = "/cgi/u";

// The endpoint for a server address as the user gives it: a value with a scheme ("://") is used
// as it stands; the help's host:port form becomes "http://" + value + "/cgi/u".
std::string normaliseServerUrl(const std::string& value);
