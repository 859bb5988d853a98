// The FastCGI responder's sockets and threads: an acceptor, and one thread per web server
// connection that reads its records, answers each request through the shared request code and
// writes the reply as STDOUT records.
#include "FastCgiServer.h"

#include "CgiRequest.h"
#include "FastCgiRecords.h"
#include "Metrics.h"
#include "PrintableText.h"
#include "Request.h"
#include "ToolSockets.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace updateserver {

namespace os = Corvane::Tools::os;
using Clock = std::chrono::steady_clock;

struct FastCgiServer::State {
    explicit State(const ServerConfig& c) : config(c), catalogue(c.catalogue) {}
    ServerConfig config;
    Catalogue catalogue;
    ServerMetrics metrics;
    std::mutex logMutex; // lines from two connections never mix
    os::Socket listening = os::kNoSocket;
    os::Wake stopWake;  // raised once, at stop: the acceptor and connections awaiting a request end
    os::Wake neverWake; // never raised: a reply being sent waits on its socket alone
    std::atomic<bool> stopping{false};
    std::mutex connectionsMutex; // guards connections
    std::condition_variable connectionsEnded;
    unsigned connections = 0;
    std::thread acceptor;
};

namespace {

using State = FastCgiServer::State;

// Records of at most this much reply each: the largest multiple of eight the format allows, so
// none needs padding.
constexpr size_t kReplyPiece = fastcgi::kMaxContentBytes / 8 * 8;
constexpr size_t kReadPiece = 64 * 1024;

void logLine(State& state, const std::string& line) {
    if (state.config.log) {
        std::lock_guard lock(state.logMutex);
        fprintf(state.config.log, "update-server: %s\n", line.c_str());
        fflush(state.config.log);
    }
}

// Sends all of bytes; false when the connection broke or took nothing for the idle time-out.
bool sendAll(const State& state, os::Socket socket, std::string_view bytes) {
    const auto idle = std::chrono::seconds(state.config.connectionTimeoutSeconds);
    size_t sent = 0;
    while (sent < bytes.size()) {
        size_t count = 0;
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data()) + sent;
        switch (os::sendSome(socket, data, bytes.size() - sent, count)) {
        case os::Transfer::moved: sent += count; break;
        case os::Transfer::wouldBlock: {
            std::vector<os::Watched> watched{{.socket = socket, .write = true}};
            const os::WaitOutcome outcome = os::waitSockets(watched, state.neverWake, idle);
            if (outcome != os::WaitOutcome::ready) {
                return false;
            }
            break;
        }
        default: return false;
        }
    }
    return true;
}

// The reply's header and body as STDOUT records, then the end of the stream and of the request.
bool sendReply(const State& state, os::Socket socket, uint16_t id, const std::string& header,
               const std::string& body) {
    for (const std::string* part : {&header, &body}) {
        for (size_t at = 0; at < part->size(); at += kReplyPiece) {
            const std::string_view piece = std::string_view(*part).substr(at, kReplyPiece);
            if (!sendAll(state, socket, fastcgi::record(fastcgi::kStdout, id, piece))) {
                return false;
            }
        }
    }
    return sendAll(state, socket,
                   fastcgi::record(fastcgi::kStdout, id, {}) +
                       fastcgi::endRequest(id, 0, fastcgi::kRequestComplete));
}

bool answer(State& state, os::Socket socket, const fastcgi::Step& step) {
    const Clock::time_point arrived = Clock::now();
    const auto& parameters = step.parameters;
    const CgiCall call = cgiCall([&parameters](const char* name) -> const char* {
        const auto it = parameters.find(name);
        return it == parameters.end() ? nullptr : it->second.c_str();
    });
    std::vector<std::string> warnings;
    Reply reply;
    if (call.request.method == "GET" && call.request.path == kMetricsPath) {
        reply = {200, state.metrics.text()};
        reply.contentType = kMetricsContentType;
        reply.operation = "metrics";
    } else {
        reply = serveRequest(state.catalogue, call.request, call.endpoint, warnings);
    }
    if (state.config.log) {
        const auto client = parameters.find("REMOTE_ADDR");
        const std::string who =
            client == parameters.end() ? "?" : printableText(client->second);
        std::lock_guard lock(state.logMutex);
        for (const std::string& warning : warnings) {
            fprintf(state.config.log, "update-server: warning: %s\n",
                    printableText(warning).c_str());
        }
        fprintf(state.config.log, "update-server: %s\n",
                requestLogLine(who, call.request, reply).c_str());
        fflush(state.config.log);
    }
    const std::string& body = reply.text();
    state.metrics.record(reply, body.size(),
                         std::chrono::duration<double>(Clock::now() - arrived).count());
    return sendReply(state, socket, step.requestId, cgiHeader(reply, body.size()), body);
}

// Reads more of the connection into reader; false when it ended, broke, missed its deadline or
// the server stops while no request is being answered on it.
bool receive(State& state, os::Socket socket, Clock::time_point deadline,
             std::vector<uint8_t>& buffer, fastcgi::ConnectionReader& reader) {
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            logLine(state, "a FastCGI connection closed: no complete request within " +
                               std::to_string(state.config.requestDeadline.count()) + " ms");
            return false;
        }
        std::vector<os::Watched> watched{{.socket = socket, .read = true}};
        switch (os::waitSockets(watched, state.stopWake, left)) {
        case os::WaitOutcome::woken: return false;
        case os::WaitOutcome::failed: return false;
        case os::WaitOutcome::timedOut: continue;
        case os::WaitOutcome::ready: break;
        }
        size_t count = 0;
        switch (os::receiveSome(socket, buffer.data(), buffer.size(), count)) {
        case os::Transfer::moved: reader.feed(buffer.data(), count); return true;
        case os::Transfer::wouldBlock: continue;
        default: return false;
        }
    }
}

void serveConnection(State& state, os::Socket socket) {
    fastcgi::ConnectionReader reader(state.config.maxConnections);
    std::vector<uint8_t> buffer(kReadPiece);
    Clock::time_point deadline = Clock::now() + state.config.requestDeadline;
    for (bool open = true; open;) {
        fastcgi::Step step = reader.next();
        switch (step.kind) {
        case fastcgi::Step::Kind::more: open = receive(state, socket, deadline, buffer, reader); break;
        case fastcgi::Step::Kind::send: open = sendAll(state, socket, step.bytes); break;
        case fastcgi::Step::Kind::request:
            open = answer(state, socket, step) && !state.stopping;
            reader.answered();
            deadline = Clock::now() + state.config.requestDeadline;
            break;
        case fastcgi::Step::Kind::close: open = false; break;
        case fastcgi::Step::Kind::fail:
            logLine(state, "a FastCGI connection closed: " + printableText(step.problem));
            open = false;
            break;
        }
    }
    os::closeSocket(socket);
    std::lock_guard lock(state.connectionsMutex);
    --state.connections;
    state.connectionsEnded.notify_all();
}

// Hands a new connection a thread of its own, or closes it when the server holds its most.
void takeConnection(State& state, os::Socket socket) {
    {
        std::lock_guard lock(state.connectionsMutex);
        if (state.connections >= state.config.maxConnections) {
            os::closeSocket(socket);
            logLine(state, "a FastCGI connection refused: " +
                               std::to_string(state.config.maxConnections) + " are open");
            return;
        }
        ++state.connections;
    }
    try {
        std::thread(serveConnection, std::ref(state), socket).detach();
    } catch (const std::system_error& e) {
        os::closeSocket(socket);
        logLine(state, std::string("a FastCGI connection refused: ") + e.what());
        std::lock_guard lock(state.connectionsMutex);
        --state.connections;
        state.connectionsEnded.notify_all();
    }
}

void acceptConnections(State& state) {
    while (!state.stopping) {
        std::vector<os::Watched> watched{{.socket = state.listening, .read = true}};
        const os::WaitOutcome outcome =
            os::waitSockets(watched, state.stopWake, std::chrono::minutes(1));
        if (outcome == os::WaitOutcome::woken) {
            return;
        }
        for (;;) {
            os::Socket socket = os::kNoSocket;
            const os::AcceptOutcome accepted = os::acceptConnection(state.listening, socket);
            if (accepted == os::AcceptOutcome::accepted) {
                takeConnection(state, socket);
                continue;
            }
            if (accepted == os::AcceptOutcome::exhausted) {
                // The connection stays queued: try again once some have ended.
                logLine(state, "cannot take a FastCGI connection: " + os::lastSocketError());
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            break;
        }
    }
}

} // namespace

FastCgiServer::FastCgiServer() = default;

FastCgiServer::~FastCgiServer() {
    stop();
}

bool FastCgiServer::start(const ServerConfig& config, std::string& error) {
    stop();
    auto state = std::make_unique<State>(config);
    bool ipv6 = false;
    if (!listenToServe(config, true, state->listening, port_, ipv6, error)) {
        return false;
    }
    if (!os::makeWake(state->stopWake) || !os::makeWake(state->neverWake)) {
        error = "cannot make the server's wake: " + os::lastSocketError();
    } else {
        try {
            state->acceptor = std::thread(acceptConnections, std::ref(*state));
            state_ = std::move(state);
            return true;
        } catch (const std::system_error& e) {
            error = std::string("cannot start the FastCGI server: ") + e.what();
        }
    }
    os::closeWake(state->stopWake);
    os::closeWake(state->neverWake);
    os::closeSocket(state->listening);
    port_ = 0;
    return false;
}

void FastCgiServer::stop() {
    if (!state_) {
        return;
    }
    state_->stopping = true;
    os::raiseWake(state_->stopWake);
    state_->acceptor.join();
    os::closeSocket(state_->listening);
    {
        // Each connection's waits are bounded, so this ends: at once for those awaiting a
        // request, after its reply for one sending.
        std::unique_lock lock(state_->connectionsMutex);
        state_->connectionsEnded.wait(lock, [this] { return state_->connections == 0; });
    }
    os::closeWake(state_->stopWake);
    os::closeWake(state_->neverWake);
    state_.reset();
    port_ = 0;
}

std::string FastCgiServer::address() const {
    if (!state_) {
        return {};
    }
    const std::string& host = state_->config.listenAddress;
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port_);
}

} // namespace updateserver
