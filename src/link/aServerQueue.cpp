// The sharing server's dispatch of requests and answers, and its UEIBytes pool.
#include "aServerQueue.h"

#include "aDebugTrace.h"
#include "aUEI_Internal.h"
#include "corvane/aLink.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace corvane::server {

namespace {

constexpr uint8_t kForceRouteAddress = aLINK_ROUTING_ADDRESS;
constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kOperationMask = 0xC0;

bool isModuleAddress(uint8_t address) {
    return address != 0 && (address & 1) == 0;
}

// The module and command of a packet, as a client's interest; 0 for none.
uint16_t interestOf(const aPacket& packet) {
    if (!isModuleAddress(packet.address) || packet.length == 0)
        return 0;
    return static_cast<uint16_t>(packet.address << 8 | packet.data[0]);
}

// The request is answered whole by this packet of its answer.
bool ends(const Expectation& expects, const aPacket& packet) {
    // A UEIBytes reply comes as a run of full packets with more to follow.
    return expects.kind != Expectation::Kind::uei || !uei::continuesRun(packet);
}

bool due(Ticks since, Ticks now) {
    return now - since >= Dispatcher::kReplyWaitMs;
}

} // namespace

bool frameToPacket(const uint8_t* bytes, std::size_t size, aPacket& packet) {
    if (size < 2 || size - 2 > aPACKET_MAXDATA || bytes[1] != size - 2)
        return false;
    std::memset(&packet, 0, sizeof packet);
    packet.check = aPACKET_CHECK;
    packet.address = bytes[0];
    packet.length = bytes[1];
    packet.count = static_cast<uint8_t>(size);
    std::memcpy(packet.data, bytes + 2, packet.length);
    return true;
}

Expectation expectationOf(const aPacket& request) {
    Expectation e;
    if (request.address == aLINK_SYNC_ADDRESS && request.length == 0) {
        e.kind = Expectation::Kind::address;
        return e;
    }
    if (!isModuleAddress(request.address) || request.length == 0 || uei::continuesRun(request))
        return e;
    e.module = request.address;
    e.command = request.data[0];
    if (uei::carriesUEI(request) && request.length >= 3) {
        e.kind = Expectation::Kind::uei;
        e.option = request.data[1] & aUEI_OPTION_MASK;
        e.index = request.data[2] & aUEI_INDEX_MASK;
        switch (request.data[1] & kOperationMask) {
        case aUEI_OP_GET: e.operation = aUEI_OP_VALUE; break;
        case aUEI_OP_SET: e.operation = aUEI_OP_ACK; break;
        default: e.operation = Expectation::kAnyOperation; break;
        }
    } else {
        e.kind = Expectation::Kind::command;
    }
    return e;
}

bool answers(const Expectation& e, const aPacket& p) {
    switch (e.kind) {
    case Expectation::Kind::none: return false;
    case Expectation::Kind::address: return p.length == 0 && isModuleAddress(p.address);
    case Expectation::Kind::command:
        return p.address == e.module && p.length >= 1 && p.data[0] == e.command;
    case Expectation::Kind::uei:
        return p.address == e.module && p.length >= 3 && p.data[0] == e.command &&
               (p.data[1] & aUEI_OPTION_MASK) == e.option &&
               (e.operation == Expectation::kAnyOperation ||
                (p.data[1] & kOperationMask) == e.operation) &&
               (p.data[2] & aUEI_INDEX_MASK) == e.index && !uei::isStreamPacket(p);
    }
    return false;
}

bool overlap(const Expectation& a, const Expectation& b) {
    if (a.kind != b.kind)
        return false;
    switch (a.kind) {
    case Expectation::Kind::none: return false;
    case Expectation::Kind::address: return true;
    case Expectation::Kind::command: return a.module == b.module && a.command == b.command;
    case Expectation::Kind::uei:
        return a.module == b.module && a.command == b.command && a.option == b.option &&
               a.index == b.index &&
               (a.operation == b.operation || a.operation == Expectation::kAnyOperation ||
                b.operation == Expectation::kAnyOperation);
    }
    return false;
}

// ---- BytesPool ----

void BytesPool::drop(std::list<Run>::iterator run) {
    held_ -= run->packets.size();
    runs_.erase(run);
}

BytesPool::Outcome BytesPool::offer(const ClientId& client, const aPacket& packet,
                                    std::vector<aPacket>& run) {
    auto entry = runs_.end();
    for (auto it = runs_.begin(); it != runs_.end();) {
        auto next = std::next(it);
        if (it->client == client) {
            entry = it;
        } else if (it->timeToLive-- == 0) {
            debugTrace("setUEIBytes is stale, destroying\n");
            drop(it);
        }
        it = next;
    }
    if (entry != runs_.end()) {
        const uint8_t sequence =
            packet.length ? packet.data[packet.length - 1] & aUEI_BYTES_SEQUENCE_MASK : 0;
        if (sequence != ((entry->sequence + 1) & aUEI_BYTES_SEQUENCE_MASK)) {
            debugTrace("BOOM: Sequence mix up. ttl will clean it up. \n");
            return Outcome::dropped;
        }
        if (entry->packets.size() == kMaxPackets || held_ == kMaxHeld) {
            debugTrace("setUEIBytes too long, destroying\n");
            drop(entry);
            return Outcome::dropped;
        }
        entry->packets.push_back(packet);
        ++held_;
        entry->timeToLive = kTimeToLive;
        if (uei::isFullBytesPacket(packet) && uei::hasMoreBit(packet)) {
            entry->sequence = sequence;
            return Outcome::held;
        }
        for (const aPacket& p : entry->packets)
            debugTrace("Pool Packet: %d\n", p.length);
        held_ -= entry->packets.size();
        run = std::move(entry->packets);
        runs_.erase(entry);
        return Outcome::complete;
    }
    if (packet.length == aPACKET_MAXDATA && packet.data[aPACKET_MAXDATA - 1] == aUEI_BYTES_MORE) {
        if (held_ == kMaxHeld) {
            debugTrace("setUEIBytes too long, destroying\n");
            return Outcome::dropped;
        }
        runs_.push_back(Run{client, {packet}});
        ++held_;
        return Outcome::held;
    }
    return Outcome::notPooled;
}

bool BytesPool::holds(const ClientId& client) const {
    return std::any_of(runs_.begin(), runs_.end(),
                       [&](const Run& run) { return run.client == client; });
}

void BytesPool::forget(const ClientId& client) {
    for (auto it = runs_.begin(); it != runs_.end(); ++it)
        if (it->client == client) {
            drop(it);
            return;
        }
}

void BytesPool::clear() {
    runs_.clear();
    held_ = 0;
}

// ---- Dispatcher ----

Dispatcher::Client* Dispatcher::find(const ClientId& id) {
    const auto found = byId_.find(id);
    return found == byId_.end() ? nullptr : &*found->second;
}

Dispatcher::Client* Dispatcher::clientFor(const ClientId& id, Ticks now) {
    if (Client* known = find(id))
        return known;
    if (clients_.size() >= kMaxClients) {
        // Make room by the client idle the longest that nothing is kept for.
        auto idlest = clients_.end();
        for (auto it = clients_.begin(); it != clients_.end(); ++it)
            if (it->queue.empty() && it->withModule == 0 && !it->subscriber &&
                !pool_.holds(it->id) &&
                (idlest == clients_.end() || now - it->lastUse > now - idlest->lastUse))
                idlest = it;
        if (idlest == clients_.end()) {
            debugTrace("too many clients, packet dropped\n");
            return nullptr;
        }
        forget(idlest->id);
    }
    Client fresh;
    fresh.id = id;
    fresh.lastUse = now;
    // A newcomer takes its turn after everyone already there.
    const auto at = clients_.insert(turn_, std::move(fresh));
    byId_.emplace(id, at);
    return &*at;
}

Dispatcher::Taken Dispatcher::take(const ClientId& id, const aPacket& packet, Ticks now) {
    Client* client = clientFor(id, now);
    if (client == nullptr)
        return Taken::refused;
    client->lastUse = now;
    if (packet.length == 7 && packet.data[0] == kCmdStream) {
        if (packet.data[1] == kStreamEnable)
            subscribe(*client);
        else
            debugTrace("unknown stream enable: %d\n", packet.data[1]);
    }
    if (uei::carriesUEI(packet)) {
        std::vector<aPacket> run;
        switch (pool_.offer(id, packet, run)) {
        case BytesPool::Outcome::notPooled: break;
        case BytesPool::Outcome::held: return Taken::pooled;
        case BytesPool::Outcome::dropped: return Taken::dropped;
        case BytesPool::Outcome::complete:
            return enqueue(*client, std::move(run)) ? Taken::queued : Taken::refused;
        }
    }
    if (packet.address == kForceRouteAddress && packet.length == 1) {
        debugTrace("Blocking cmdFORCEROUTE from remote client\n");
        return Taken::blocked;
    }
    return enqueue(*client, {packet}) ? Taken::queued : Taken::refused;
}

bool Dispatcher::enqueue(Client& client, std::vector<aPacket> packets) {
    if (waiting_ >= kMaxWaiting || client.queue.size() >= kMaxWaitingPerClient) {
        debugTrace("Failed to send packet out!\n");
        return false;
    }
    Request request;
    request.id = nextId_++;
    request.asker = client.id;
    request.expects = expectationOf(packets.back());
    request.owed = request.expects.kind != Expectation::Kind::none;
    request.packets = std::move(packets);
    if (const uint16_t interest = interestOf(request.packets.back())) {
        auto end = client.interests.begin() + client.interestCount;
        if (std::find(client.interests.begin(), end, interest) == end) {
            client.interests[client.nextInterest] = interest;
            client.nextInterest = (client.nextInterest + 1) % kMaxInterests;
            client.interestCount = std::min(client.interestCount + 1, kMaxInterests);
        }
    }
    client.queue.push_back(std::move(request));
    ++waiting_;
    return true;
}

void Dispatcher::subscribe(Client& client) {
    if (client.subscriber)
        return;
    if (subscribers_.size() >= kMaxSubscribers) {
        // The longest subscribed is the likeliest to be gone without a word.
        if (Client* oldest = find(subscribers_.front()))
            oldest->subscriber = false;
        subscribers_.erase(subscribers_.begin());
        debugTrace("too many stream entries, oldest dropped\n");
    }
    client.subscriber = true;
    subscribers_.push_back(client.id);
    debugTrace("Added stream entry\n");
}

bool Dispatcher::blocked(const Expectation& expects) const {
    return std::any_of(withModule_.begin(), withModule_.end(),
                       [&](const Pending& p) { return overlap(p.expects, expects); });
}

bool Dispatcher::next(Request& request, Ticks now) {
    if (waiting_ == 0)
        return false;
    if (turn_ == clients_.end())
        turn_ = clients_.begin();
    auto it = turn_;
    for (std::size_t looked = 0; looked < clients_.size(); ++looked) {
        Client& client = *it;
        if (++it == clients_.end())
            it = clients_.begin();
        if (client.queue.empty() || client.withModule >= kMaxWithModulePerClient ||
            blocked(client.queue.front().expects))
            continue;
        request = std::move(client.queue.front());
        client.queue.pop_front();
        --waiting_;
        turn_ = it;
        if (request.expects.kind == Expectation::Kind::none) {
            debugTrace("don't wait on this packet\n");
        } else {
            ++client.withModule;
            withModule_.push_back(
                Pending{request.id, request.asker, request.owed, request.expects, now});
            if (request.expects.kind == Expectation::Kind::address)
                secondAddress_.active = false;
        }
        return true;
    }
    return false;
}

void Dispatcher::released(const ClientId& asker) {
    if (Client* client = find(asker); client != nullptr && client->withModule > 0)
        --client->withModule;
}

void Dispatcher::failed(const Request& request) {
    for (auto it = withModule_.begin(); it != withModule_.end(); ++it)
        if (it->id == request.id) {
            released(it->asker);
            withModule_.erase(it);
            return;
        }
}

Dispatcher::Delivery Dispatcher::route(const aPacket& packet, Ticks now) {
    Delivery delivery;
    for (auto it = withModule_.begin(); it != withModule_.end(); ++it) {
        if (!answers(it->expects, packet))
            continue;
        delivery.answer = true;
        if (it->owed)
            delivery.to.push_back(it->asker);
        if (!ends(it->expects, packet)) {
            it->since = now; // each packet of a run within its own wait
            return delivery;
        }
        if (it->expects.kind == Expectation::Kind::address && it->owed)
            secondAddress_ = {it->asker, packet.address, now, true};
        released(it->asker);
        withModule_.erase(it);
        return delivery;
    }
    if (secondAddress_.active && packet.length == 0 && packet.address == secondAddress_.module) {
        secondAddress_.active = false;
        if (!due(secondAddress_.since, now)) {
            delivery.answer = true;
            delivery.to.push_back(secondAddress_.asker);
            return delivery;
        }
    }
    for (auto it = givenUp_.rbegin(); it != givenUp_.rend(); ++it) {
        if (!answers(it->expects, packet))
            continue;
        delivery.answer = true;
        delivery.to.push_back(it->asker);
        if (ends(it->expects, packet))
            givenUp_.erase(std::next(it).base());
        return delivery;
    }
    const uint16_t interest = interestOf(packet);
    if (interest == 0)
        return delivery;
    for (const Client& client : clients_) {
        auto end = client.interests.begin() + client.interestCount;
        if (std::find(client.interests.begin(), end, interest) != end)
            delivery.to.push_back(client.id);
    }
    return delivery;
}

void Dispatcher::expire(Ticks now) {
    for (auto it = withModule_.begin(); it != withModule_.end();) {
        if (!due(it->since, now)) {
            ++it;
            continue;
        }
        debugTrace("Failed to AWAIT packet\n");
        released(it->asker);
        if (it->owed) {
            givenUp_.push_back(std::move(*it));
            givenUp_.back().since = now;
            if (givenUp_.size() > kMaxGivenUp)
                givenUp_.pop_front();
        }
        it = withModule_.erase(it);
    }
    // A late answer is looked for as long as an answer is waited for.
    while (!givenUp_.empty() && due(givenUp_.front().since, now))
        givenUp_.pop_front();
}

int Dispatcher::msUntilExpiry(Ticks now) const {
    int soonest = -1;
    for (const Pending& p : withModule_) {
        const Ticks waited = now - p.since;
        const int left = waited >= kReplyWaitMs ? 0 : static_cast<int>(kReplyWaitMs - waited);
        if (soonest < 0 || left < soonest)
            soonest = left;
    }
    return soonest;
}

void Dispatcher::forget(const ClientId& id) {
    const auto found = byId_.find(id);
    if (found == byId_.end())
        return;
    const ClientList::iterator client = found->second;
    waiting_ -= client->queue.size();
    for (Pending& p : withModule_)
        if (p.asker == id)
            p.owed = false;
    givenUp_.erase(std::remove_if(givenUp_.begin(), givenUp_.end(),
                                  [&](const Pending& p) { return p.asker == id; }),
                   givenUp_.end());
    if (secondAddress_.asker == id)
        secondAddress_.active = false;
    subscribers_.erase(std::remove(subscribers_.begin(), subscribers_.end(), id),
                       subscribers_.end());
    pool_.forget(id);
    if (turn_ == client)
        ++turn_;
    byId_.erase(found);
    clients_.erase(client);
}

void Dispatcher::flush() {
    for (Pending& p : withModule_)
        p.owed = false;
    for (Client& client : clients_)
        for (Request& request : client.queue)
            request.owed = false;
    givenUp_.clear();
    secondAddress_.active = false;
}

void Dispatcher::clear() {
    clients_.clear();
    byId_.clear();
    turn_ = clients_.end();
    withModule_.clear();
    givenUp_.clear();
    secondAddress_.active = false;
    subscribers_.clear();
    pool_.clear();
    waiting_ = 0;
}

} // namespace corvane::server
