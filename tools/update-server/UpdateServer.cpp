// The update server's HTTP side on libmicrohttpd: binds the socket itself (so a bind error can be
// told precisely and port 0 read back), answers GET /cgi/u, logs every request and closes
// connections whose request does not arrive in time.
#include "UpdateServer.h"

#include "BirdFile.h"
#include "Metrics.h"
#include "PrintableText.h"
#include "Protocol.h"
#include "Request.h"
#include "ServerUrl.h"
#include "ToolSockets.h"

#include <microhttpd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace updateserver {

using Clock = std::chrono::steady_clock;

// One open connection, as far as its request deadline goes.
struct Arrival {
    int socket = -1;
    std::string client;
    Clock::time_point deadline;
    bool arrived = false; // the request is complete; the deadline waits for its reply to be sent
    bool cut = false;     // shut down for missing it; the daemon closes it on its own time
    std::string uri;      // the current request's target as sent, query and all
};

struct UpdateServer::State {
    explicit State(const ServerConfig& c) : config(c), catalogue(c.catalogue) {}
    ServerConfig config;
    Catalogue catalogue;
    ServerMetrics metrics;
    std::mutex logMutex; // guards writes to config.log, so lines from two requests never mix

    // The daemon's threads report connections opening and closing and requests arriving and
    // being answered; the watcher cuts the connections that miss their deadline.
    std::mutex arrivalsMutex; // guards arrivals and stopping
    std::condition_variable arrivalsChanged;
    std::map<MHD_Connection*, Arrival> arrivals;
    bool stopping = false;
    std::thread watcher;
};

namespace {

// The path the Updater asks, shared with its client so the two cannot drift apart.
constexpr const char* kPath = kServerRequestPath;
// Per connection: the request line and headers must fit, with their parameters parsed.
constexpr size_t kConnectionMemory = 256 * 1024;

std::string clientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return Corvane::Tools::os::addressText(info ? info->client_addr : nullptr);
}

void logLine(UpdateServer::State& state, const std::string& line) {
    if (state.config.log) {
        std::lock_guard lock(state.logMutex);
        fprintf(state.config.log, "update-server: %s\n", line.c_str());
        fflush(state.config.log);
    }
}

// A connection's socket is shut down, never closed, here: the daemon still owns it and closes it
// once it sees the end. It reports the close before it closes the socket, so a socket in the map
// is still this connection's.
void watchDeadlines(UpdateServer::State& state) {
    std::unique_lock lock(state.arrivalsMutex);
    while (!state.stopping) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        std::vector<std::string> cut;
        for (auto& [connection, arrival] : state.arrivals) {
            if (arrival.arrived || arrival.cut || arrival.socket < 0) {
                continue;
            }
            if (arrival.deadline <= now) {
                Corvane::Tools::os::shutdownSocket(arrival.socket);
                arrival.cut = true;
                cut.push_back(arrival.client);
            } else {
                next = std::min(next, arrival.deadline);
            }
        }
        if (!cut.empty()) {
            lock.unlock();
            const long long ms = static_cast<long long>(state.config.requestDeadline.count());
            for (const std::string& client : cut) {
                logLine(state, client + " closed: no complete request within " +
                                   std::to_string(ms) + " ms");
            }
            lock.lock();
            continue;
        }
        if (next == Clock::time_point::max()) {
            state.arrivalsChanged.wait(lock);
        } else {
            state.arrivalsChanged.wait_until(lock, next);
        }
    }
}

void notifyConnection(void* cls, MHD_Connection* connection, void**,
                      MHD_ConnectionNotificationCode code) {
    auto* state = static_cast<UpdateServer::State*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        Arrival arrival;
        arrival.socket = info ? static_cast<int>(info->connect_fd) : -1;
        arrival.client = clientAddress(connection);
        arrival.deadline = Clock::now() + state->config.requestDeadline;
        std::lock_guard lock(state->arrivalsMutex);
        state->arrivals[connection] = arrival;
    } else {
        std::lock_guard lock(state->arrivalsMutex);
        state->arrivals.erase(connection);
    }
    state->arrivalsChanged.notify_one();
}

// The request has arrived whole (its handler runs), or its reply is done: a connection the daemon
// keeps open for another request gets a fresh deadline for it.
void markArrived(UpdateServer::State& state, MHD_Connection* connection, bool arrived) {
    {
        std::lock_guard lock(state.arrivalsMutex);
        const auto it = state.arrivals.find(connection);
        if (it == state.arrivals.end()) {
            return;
        }
        it->second.arrived = arrived;
        if (!arrived) {
            it->second.deadline = Clock::now() + state.config.requestDeadline;
        }
    }
    state.arrivalsChanged.notify_one();
}

// The daemon hands the request target over undecoded only here, before it parses it: the shared
// request code parses it instead, as it does for the CGI front end.
void* keepUri(void* cls, const char* uri, MHD_Connection* connection) {
    auto* state = static_cast<UpdateServer::State*>(cls);
    std::lock_guard lock(state->arrivalsMutex);
    const auto it = state->arrivals.find(connection);
    if (it != state->arrivals.end()) {
        it->second.uri = uri ? uri : "";
    }
    return nullptr;
}

// The request's query as keepUri saw it, undecoded; the path is the one the daemon decoded.
void splitUri(UpdateServer::State& state, MHD_Connection* connection, const char* url,
              Request& request) {
    request.path = url;
    std::string uri;
    {
        std::lock_guard lock(state.arrivalsMutex);
        const auto it = state.arrivals.find(connection);
        if (it != state.arrivals.end()) {
            uri = std::move(it->second.uri);
        }
    }
    const size_t question = uri.find('?');
    if (question != std::string::npos) {
        request.query = uri.substr(question + 1);
    }
}

void requestCompleted(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    markArrived(*static_cast<UpdateServer::State*>(cls), connection, false);
}

void freeBody(void* cls) {
    delete static_cast<std::shared_ptr<const std::string>*>(cls);
}

MHD_Result handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**) {
    auto* state = static_cast<UpdateServer::State*>(cls);
    const Clock::time_point arrived = Clock::now();
    markArrived(*state, connection, true);
    std::vector<std::string> warnings;
    Request request;
    request.method = method;
    splitUri(*state, connection, url, request);
    Reply reply;
    // Only the daemon lives long enough to count: the metrics are its own, not the protocol's.
    if (request.method == "GET" && request.path == kMetricsPath) {
        reply = {200, state->metrics.text()};
        reply.contentType = kMetricsContentType;
        reply.operation = "metrics";
    } else {
        reply = serveRequest(state->catalogue, request, kPath, warnings);
    }

    if (state->config.log) {
        std::lock_guard lock(state->logMutex);
        for (const std::string& warning : warnings) {
            fprintf(state->config.log, "update-server: warning: %s\n",
                    printableText(warning).c_str());
        }
        fprintf(state->config.log, "update-server: %s\n",
                requestLogLine(clientAddress(connection), request, reply).c_str());
        fflush(state->config.log);
    }

    // The response keeps its body alive; a shared BIRD reply is not copied.
    auto* body = new std::shared_ptr<const std::string>(
        reply.shared ? std::move(reply.shared)
                     : std::make_shared<const std::string>(std::move(reply.body)));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        (*body)->size(), const_cast<char*>((*body)->data()), freeBody, body);
    if (response == nullptr) {
        delete body;
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    state->metrics.record(reply, (*body)->size(),
                          std::chrono::duration<double>(Clock::now() - arrived).count());
    return queued;
}

void logMhdError(void* cls, const char* format, va_list args) {
    auto* state = static_cast<UpdateServer::State*>(cls);
    if (state->config.log) {
        std::lock_guard lock(state->logMutex);
        fputs("update-server: ", state->config.log);
        vfprintf(state->config.log, format, args);
        fflush(state->config.log);
    }
}

} // namespace

UpdateServer::UpdateServer() = default;

UpdateServer::~UpdateServer() {
    stop();
}

bool listenToServe(const ServerConfig& config, bool nonBlocking, int& socket, uint16_t& port,
                   bool& ipv6, std::string& error) {
    std::error_code fsError;
    if (!std::filesystem::is_directory(config.catalogue, fsError)) {
        error = "catalogue " + config.catalogue + " is not a directory";
        return false;
    }
    uint64_t imageLimit = 0;
    if (!birdImageLimit(imageLimit, error)) {
        return false;
    }
    if (config.requestDeadline.count() <= 0) {
        error = "the request deadline must be positive";
        return false;
    }

    namespace os = Corvane::Tools::os;
    os::ListenRequest request;
    request.address = config.listenAddress;
    request.port = config.port;
    request.allowIpv6 = true;
    request.nonBlocking = nonBlocking;
    request.backlog = 64;
    switch (os::listenTcp(request, socket, port, ipv6)) {
    case os::ListenStep::done: return true;
    case os::ListenStep::address:
        error = "listen address " + config.listenAddress + " is not an IPv4 or IPv6 address";
        return false;
    default:
        error = "cannot listen on " + config.listenAddress + ":" + std::to_string(config.port) +
                ": " + os::lastSocketError();
        return false;
    }
}

bool UpdateServer::start(const ServerConfig& config, std::string& error) {
    stop();
    bool ipv6 = false;
    if (!listenToServe(config, false, socket_, port_, ipv6, error)) {
        return false;
    }
    const std::string where = config.listenAddress + ":" + std::to_string(port_);
    state_ = std::make_unique<State>(config);
    try {
        state_->watcher = std::thread(watchDeadlines, std::ref(*state_));
    } catch (const std::system_error& e) {
        error = std::string("cannot start the deadline watcher: ") + e.what();
        stop();
        return false;
    }
    // epoll where the library has it (Linux), else poll (WSAPoll on Windows), else select.
    const unsigned polling = MHD_is_feature_supported(MHD_FEATURE_EPOLL) == MHD_YES  ? MHD_USE_EPOLL
                             : MHD_is_feature_supported(MHD_FEATURE_POLL) == MHD_YES ? MHD_USE_POLL
                                                                                     : 0;
    // A small pool so one large BIRD download does not hold up pings and lists.
    daemon_ = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | polling | MHD_USE_ERROR_LOG | MHD_USE_ITC |
            (ipv6 ? MHD_USE_IPv6 : 0),
        0, nullptr, nullptr, handle, state_.get(), MHD_OPTION_EXTERNAL_LOGGER, logMhdError,
        state_.get(), MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(socket_),
        MHD_OPTION_THREAD_POOL_SIZE, 4u, MHD_OPTION_CONNECTION_TIMEOUT,
        config.connectionTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT, config.maxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, config.maxConnectionsPerClient,
        // Room to read a request with many parameters and refuse it.
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION,
        notifyConnection, state_.get(), MHD_OPTION_NOTIFY_COMPLETED, requestCompleted, state_.get(),
        MHD_OPTION_URI_LOG_CALLBACK, keepUri, state_.get(), MHD_OPTION_END);
    if (daemon_ == nullptr) {
        error = "cannot start the HTTP server on " + where;
        stop();
        return false;
    }
    return true;
}

void UpdateServer::stop() {
    // The watcher goes first: the daemon closes its connections while it stops, and no socket
    // may be shut down once its number can be another file's.
    if (state_ && state_->watcher.joinable()) {
        {
            std::lock_guard lock(state_->arrivalsMutex);
            state_->stopping = true;
        }
        state_->arrivalsChanged.notify_one();
        state_->watcher.join();
    }
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_); // also closes the listening socket it was given
        daemon_ = nullptr;
        socket_ = -1;
    }
    if (socket_ >= 0) {
        Corvane::Tools::os::closeSocket(socket_);
        socket_ = -1;
    }
    state_.reset();
    port_ = 0;
}

std::string UpdateServer::url() const {
    if (!state_) {
        return {};
    }
    const std::string& host = state_->config.listenAddress;
    const bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port_) + kPath;
}

} // namespace updateserver
