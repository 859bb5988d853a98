// The sharing server's bookkeeping, free of sockets and threads: which client packets go to the
// module and when, which request a packet from the module answers, who else waits for the
// packets that answer nothing, and the pool that holds a client's UEIBytes run until it is
// whole. Time is passed in (aTime_GetMSTicks, compared by difference).
#pragma once

#include "corvane/aPacket.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane::server {

// A client as the server's ROUTER names it (its routing identity).
using ClientId = std::string;
using Ticks = uint32_t;

// What answers a request: the packets a module sends back for it.
struct Expectation {
    enum class Kind : uint8_t {
        none,    // nothing: routing, a middle packet of a byte run, anything not understood
        address, // the synchronisation request: empty packets from the module
        uei,     // a UEI: its module, command, option and index, with the reply's operation
        command, // another protocol's request: its module and command
    };
    static constexpr uint8_t kAnyOperation = 0xFF;
    Kind kind = Kind::none;
    uint8_t module = 0;
    uint8_t command = 0;
    uint8_t option = 0; // option code, bits 0-5
    uint8_t index = 0;  // bits 0-4
    uint8_t operation = kAnyOperation;
};

// A client's content frame (address, length, data) as a packet; false for a wrong size.
bool frameToPacket(const uint8_t* bytes, std::size_t size, aPacket& packet);

// What answers the request whose last packet this is.
Expectation expectationOf(const aPacket& request);
// True when the packet answers a request with that expectation. Stream packets answer none.
bool answers(const Expectation& expectation, const aPacket& packet);
// True when one packet could answer both: such requests go to the module one after another.
bool overlap(const Expectation& a, const Expectation& b);

// Packets for the module that go out back to back and are answered once.
struct Request {
    uint64_t id = 0;
    ClientId asker;
    bool owed = true; // false: the answer goes to no one (flushed, or nothing answers it)
    std::vector<aPacket> packets;
    Expectation expects;
};

// UEIBytes runs, one per client, held until their last packet so that they reach the module
// whole and back to back.
class BytesPool {
  public:
    // UEI packets offered by other clients before a run that made no progress is dropped.
    static constexpr int kTimeToLive = 2000;
    // Longest run held (1.5 MB of data); a longer one would only grow without end.
    static constexpr std::size_t kMaxPackets = 65536;
    // Packets held for all clients together.
    static constexpr std::size_t kMaxHeld = 2 * kMaxPackets;

    enum class Outcome {
        notPooled, // the packet starts or continues no run: it goes on by itself
        held,      // taken into its client's run, which waits for more
        dropped,   // out of sequence, or the run grew too long: the packet goes nowhere
        complete,  // the run's last packet: the whole run is handed out
    };

    // Offers a UEI packet from a client; with complete, run receives the client's packets in
    // order. Every offer ages the runs of the other clients; a client's own packet renews its
    // run's time to live.
    Outcome offer(const ClientId& client, const aPacket& packet, std::vector<aPacket>& run);
    bool holds(const ClientId& client) const;
    void forget(const ClientId& client);
    void clear();
    std::size_t size() const { return runs_.size(); }

  private:
    struct Run {
        ClientId client;
        std::vector<aPacket> packets;
        uint8_t sequence = 0; // of the last packet taken
        int timeToLive = kTimeToLive;
    };
    void drop(std::list<Run>::iterator run);
    std::list<Run> runs_;
    std::size_t held_ = 0;
};

// The clients' requests and the module's answers. Clients are served in turn: each has its own
// queue, and the next request to go is the front of the next client's queue that may go, so a
// client that floods the server waits behind its own requests, not the others behind it.
// Requests that one packet could answer both never wait for the module at the same time, so
// every answer has one asker.
class Dispatcher {
  public:
    static constexpr std::size_t kMaxWaiting = 1000;        // all clients together
    static constexpr std::size_t kMaxWaitingPerClient = 16; // beyond its requests with the module
    static constexpr std::size_t kMaxWithModulePerClient = 4;
    static constexpr std::size_t kMaxClients = 256;
    static constexpr std::size_t kMaxSubscribers = 64;
    static constexpr std::size_t kMaxInterests = 8; // modules and commands a client talked to
    static constexpr std::size_t kMaxGivenUp = 64;
    static constexpr Ticks kReplyWaitMs = 2000;

    enum class Taken { queued, pooled, dropped, refused, blocked };

    // A packet from a client. A stream enable subscribes it to stream batches.
    Taken take(const ClientId& client, const aPacket& packet, Ticks now);

    // The next request that may go to the module now, taken from its client's queue and, when
    // something answers it, counted as with the module from now on. False when none may go.
    bool next(Request& request, Ticks now);
    // A request from next() that could not be put on the module link: nothing will answer it.
    void failed(const Request& request);

    // Whom a packet from the module (neither a heartbeat nor a stream packet) goes to. An
    // answer belongs to the server: its asker gets it, or, when owed to no one, nobody. Any
    // other packet answers nothing the server asked: it goes to the clients that talked to its
    // module and command lately, and stays on the module link for the link's own users.
    struct Delivery {
        bool answer = false;
        std::vector<ClientId> to;
    };
    Delivery route(const aPacket& packet, Ticks now);

    // Gives up on the requests whose answer has not come within kReplyWaitMs; their askers' own
    // waits time out. A late answer still goes to its asker alone.
    void expire(Ticks now);
    // Milliseconds until the next request is due to be given up on; -1 when none is waiting.
    int msUntilExpiry(Ticks now) const;

    // A client that is gone: everything it asked for or held is forgotten.
    void forget(const ClientId& client);
    // No one waits for the answers of the requests taken so far.
    void flush();
    void clear();

    const std::vector<ClientId>& subscribers() const { return subscribers_; }
    std::size_t waiting() const { return waiting_; }
    std::size_t withModule() const { return withModule_.size(); }
    std::size_t clients() const { return clients_.size(); }

  private:
    struct Client {
        ClientId id;
        std::deque<Request> queue;
        std::size_t withModule = 0;
        std::array<uint16_t, kMaxInterests> interests{}; // module << 8 | command
        std::size_t interestCount = 0;
        std::size_t nextInterest = 0;
        bool subscriber = false;
        Ticks lastUse = 0;
    };
    using ClientList = std::list<Client>;

    struct Pending {
        uint64_t id = 0;
        ClientId asker;
        bool owed = true;
        Expectation expects;
        Ticks since = 0; // the request went out, or its latest packet came
    };

    Client* clientFor(const ClientId& id, Ticks now);
    Client* find(const ClientId& id);
    bool enqueue(Client& client, std::vector<aPacket> packets);
    void subscribe(Client& client);
    void released(const ClientId& asker);
    bool blocked(const Expectation& expects) const;

    ClientList clients_; // in turn order
    std::unordered_map<ClientId, ClientList::iterator> byId_;
    ClientList::iterator turn_ = clients_.end(); // the client whose turn is next
    std::vector<Pending> withModule_;            // oldest first
    std::deque<Pending> givenUp_;                // newest last
    struct {
        ClientId asker;
        uint8_t module = 0;
        Ticks since = 0;
        bool active = false;
    } secondAddress_; // the second empty packet of an address answer is its asker's too
    std::vector<ClientId> subscribers_; // oldest first
    BytesPool pool_;
    std::size_t waiting_ = 0;
    uint64_t nextId_ = 1;
};

} // namespace corvane::server
