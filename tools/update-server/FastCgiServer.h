// The update server as a FastCGI responder: one long-lived process answers every request a web
// server passes on to it (nginx's fastcgi_pass, Apache's mod_proxy_fcgi), with the daemon's
// catalogue, refusals, log and metrics. Unlike a CGI program, nothing starts per request, so a
// build goes out about as fast as from the daemon while the web server adds its TLS,
// authentication, rate limits and caching in front.
#pragma once

#include "UpdateServer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace updateserver {

class FastCgiServer {
  public:
    FastCgiServer();
    ~FastCgiServer();
    FastCgiServer(const FastCgiServer&) = delete;
    FastCgiServer& operator=(const FastCgiServer&) = delete;

    // Listens on the configured address and port and serves on threads of its own: one per web
    // server connection, at most config.maxConnections at once. A connection must bring a whole
    // request within config.requestDeadline of its opening (or of the previous reply on it), and
    // a reply that cannot move on for config.connectionTimeoutSeconds ends its connection. False
    // with the reason in error, as UpdateServer::start.
    bool start(const ServerConfig& config, std::string& error);
    // Takes no new connection and starts no new reply; waits for the replies being sent.
    void stop();

    uint16_t port() const { return port_; }
    // "ADDRESS:PORT", as a web server's configuration names the responder.
    std::string address() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
    uint16_t port_ = 0;
};

} // namespace updateserver
