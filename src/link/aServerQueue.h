// The sharing server's bookkeeping of client requests, free of sockets and threads: the queue of
// requests for the module and the pool that holds a client's UEIBytes run until it is whole.
#pragma once

#include "corvane/aPacket.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <string>
#include <vector>

namespace corvane::server {

// A client as the server's ROUTER names it (its routing identity); empty for no one.
using ClientId = std::string;

// Packets for the module that go out back to back and are answered once.
struct Request {
    ClientId asker; // whom the reply goes to; empty: no one
    std::vector<aPacket> packets;
};

// Requests waiting for the module, oldest first.
class RequestQueue {
  public:
    // More waiting requests are refused, as a full queue would refuse them.
    static constexpr std::size_t kMaxWaiting = 1000;

    // False (the request is dropped) when kMaxWaiting requests wait already.
    bool push(Request request);
    // The oldest request; false when none waits.
    bool pop(Request& request);
    // The waiting requests still go to the module, but their replies go to no one.
    void forgetAskers();
    void clear() { waiting_.clear(); }
    std::size_t size() const { return waiting_.size(); }

  private:
    std::deque<Request> waiting_;
};

// UEIBytes runs, one per client, held until their last packet so that they reach the module
// whole and back to back.
class BytesPool {
  public:
    // UEI packets offered (from any client) before a run that is still unfinished is dropped.
    static constexpr int kTimeToLive = 2000;
    // Longest run held (1.5 MB of data); a longer one would only grow without end.
    static constexpr std::size_t kMaxPackets = 65536;

    enum class Outcome {
        notPooled, // the packet starts or continues no run: it goes on by itself
        held,      // taken into its client's run, which waits for more
        dropped,   // out of sequence, or the run grew too long: the packet goes nowhere
        complete,  // the run's last packet: the whole run is handed out
    };

    // Offers a UEI packet from a client; with complete, run receives the client's packets in
    // order. Every offer ages the runs of every client.
    Outcome offer(const ClientId& client, const aPacket& packet, std::vector<aPacket>& run);
    void clear() { runs_.clear(); }
    std::size_t size() const { return runs_.size(); }

  private:
    struct Run {
        ClientId client;
        std::vector<aPacket> packets;
        uint8_t sequence = 0; // of the last packet taken
        int timeToLive = kTimeToLive;
    };
    std::list<Run> runs_;
};

} // namespace corvane::server
