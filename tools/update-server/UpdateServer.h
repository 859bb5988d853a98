// A self-hosted update server: serves a catalogue directory over HTTP on /cgi/u, the path the
// Updater asks, for labs that keep an offline mirror.
#pragma once

#include "Catalogue.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct MHD_Daemon;

namespace updateserver {

struct ServerConfig {
    std::string catalogue;                   // the catalogue directory
    std::string listenAddress = "127.0.0.1"; // IPv4 or IPv6 literal
    uint16_t port = 8380;                    // 0 picks a free port; port() tells which
    FILE* log = stderr; // one line per request and catalogue warning; null: none
    // What one client, and all of them, may hold: connections beyond these are closed at once,
    // and a connection idle for connectionTimeoutSeconds is closed.
    unsigned maxConnections = 64;
    unsigned maxConnectionsPerClient = 8;
    unsigned connectionTimeoutSeconds = 60;
    // A request must have arrived whole (request line and headers) this long after its
    // connection opened, or after the previous reply on it was sent; otherwise the connection is
    // closed. Unlike the idle time-out, a client that keeps sending a byte now and then cannot
    // stretch it, so slow clients cannot hold their address's connections for ever.
    std::chrono::milliseconds requestDeadline{10000};
};

// The checks both servers (HTTP and FastCGI) start with, and their listening socket: the catalogue
// is a directory, the BIRD image limit and the request deadline are sound, and the address and
// port are bound. False with the reason in error.
bool listenToServe(const ServerConfig& config, bool nonBlocking, int& socket, uint16_t& port,
                   bool& ipv6, std::string& error);

class UpdateServer {
  public:
    UpdateServer();
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    // Binds and starts serving on a thread of its own. False with the reason in error when the
    // catalogue is not a directory or the address cannot be bound.
    bool start(const ServerConfig& config, std::string& error);
    // Stops serving and closes the socket; waits for requests in progress.
    void stop();

    uint16_t port() const { return port_; }
    // "http://<address>:<port>/cgi/u", the text to hand to Updater -u.
    std::string url() const;

    struct State; // what the handlers need: configuration, catalogue, log lock, request deadlines

  private:
    std::unique_ptr<State> state_;
    MHD_Daemon* daemon_ = nullptr;
    int socket_ = -1;
    uint16_t port_ = 0;
};

} // namespace updateserver
