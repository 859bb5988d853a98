// The base of the link engine, which every part of it uses: the engine's timing as tests set it,
// the packets a part queues for the writer, and which link's stream this thread reads.
#include "aLinkEngine.h"

namespace corvane::link {

namespace {

std::mutex timingLock;
aLinkTiming timingNow; // guarded by timingLock

} // namespace

thread_local constinit const LinkRecord* tReaderOf = nullptr;

CORVANE_HOT_PATH aLinkTiming currentTiming() {
    std::lock_guard<std::mutex> lock(timingLock);
    return timingNow;
}

aErr putPacket(aPacketFifoId fifo, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0;
    aPacket* packet = aPacket_CreateWithData(address, length, length ? data : &none);
    if (packet == nullptr)
        return aErrResource;
    const aErr result = aPacketFifo_Put(fifo, packet);
    aPacket_Destroy(&packet);
    return result;
}

aErr putSyncRequests(LinkRecord& r) {
    aPacket requests[kSyncRequestCount] = {};
    for (aPacket& request : requests) {
        request.check = aPACKET_CHECK;
        request.address = aLINK_SYNC_ADDRESS;
        request.count = 2;
    }
    return aPacketFifo_PutAll(r.outgoing, requests, kSyncRequestCount);
}

} // namespace corvane::link

using namespace corvane::link;

aLinkTiming aLink_GetTiming() {
    return currentTiming();
}

void aLink_SetTiming(const aLinkTiming& timing) {
    std::lock_guard<std::mutex> lock(timingLock);
    timingNow = timing;
}
