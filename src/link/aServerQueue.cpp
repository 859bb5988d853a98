// The sharing server's request queue and UEIBytes pool.
#include "aServerQueue.h"

#include "aDebugTrace.h"
#include "aUEI_Internal.h"

#include <utility>

namespace corvane::server {

bool RequestQueue::push(Request request) {
    if (waiting_.size() >= kMaxWaiting) {
        debugTrace("Failed to send packet out!\n");
        return false;
    }
    waiting_.push_back(std::move(request));
    return true;
}

bool RequestQueue::pop(Request& request) {
    if (waiting_.empty())
        return false;
    request = std::move(waiting_.front());
    waiting_.pop_front();
    return true;
}

void RequestQueue::forgetAskers() {
    for (Request& request : waiting_)
        request.asker.clear();
}

BytesPool::Outcome BytesPool::offer(const ClientId& client, const aPacket& packet,
                                    std::vector<aPacket>& run) {
    for (auto it = runs_.begin(); it != runs_.end();) {
        auto next = std::next(it);
        if (it->timeToLive-- == 0) {
            debugTrace("setUEIBytes is stale, destroying\n");
            runs_.erase(it);
        }
        it = next;
    }
    auto entry = runs_.begin();
    while (entry != runs_.end() && entry->client != client)
        ++entry;
    if (entry != runs_.end()) {
        const uint8_t sequence =
            packet.length ? packet.data[packet.length - 1] & aUEI_BYTES_SEQUENCE_MASK : 0;
        if (sequence != ((entry->sequence + 1) & aUEI_BYTES_SEQUENCE_MASK)) {
            debugTrace("BOOM: Sequence mix up. ttl will clean it up. \n");
            return Outcome::dropped;
        }
        if (entry->packets.size() == kMaxPackets) {
            debugTrace("setUEIBytes too long, destroying\n");
            runs_.erase(entry);
            return Outcome::dropped;
        }
        entry->packets.push_back(packet);
        if (uei::isFullBytesPacket(packet) && uei::hasMoreBit(packet)) {
            entry->sequence = sequence;
            return Outcome::held;
        }
        for (const aPacket& p : entry->packets)
            debugTrace("Pool Packet: %d\n", p.length);
        run = std::move(entry->packets);
        runs_.erase(entry);
        return Outcome::complete;
    }
    if (packet.length == aPACKET_MAXDATA && packet.data[aPACKET_MAXDATA - 1] == aUEI_BYTES_MORE) {
        runs_.push_back(Run{client, {packet}});
        return Outcome::held;
    }
    return Outcome::notPooled;
}

} // namespace corvane::server
