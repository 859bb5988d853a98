// Link lifecycle: initialising a record over a stream, starting and stopping its threads,
// synchronising with the module and releasing what the record owns.
#include "aLinkEngine.h"

namespace corvane::link {

namespace {

void endThread(LinkRecord& r, std::thread& thread, const std::shared_ptr<std::atomic<bool>>& ended,
               Millis limit) {
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach(); // a filter stopping its own link; the thread ends when it returns
        r.abandoned = true;
        return;
    }
    if (waitFor(r, limit, [&] { return ended && ended->load(); })) {
        thread.join();
    } else {
        // Threads cannot be killed; this one keeps what it uses until it ends by itself.
        thread.detach();
        r.abandoned = true;
    }
}

// Waits until no one holds the write lock, at most limit: a writer stuck in a stream that never
// returns is left behind, as stop leaves a thread that does not end.
void awaitWriteLockFree(LinkRecord& r, Millis limit) {
    const auto deadline = Clock::now() + limit;
    while (!r.writeLock.try_lock()) {
        if (Clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    r.writeLock.unlock();
}

} // namespace

aErr initialise(LinkRecord& r, aStream* stream) {
    r.running = false;
    r.stream = stream;
    r.status = stream ? LINK_STOPPED : LINK_INVALID;
    r.incoming = aPacketFifo_Create();
    r.outgoing = aPacketFifo_Create();
    if (r.assembly == nullptr)
        r.assembly = aPacket_Create();
    else
        aPacket_Reset(r.assembly);
    return r.incoming && r.outgoing && r.assembly ? aErrNone : aErrResource;
}

aErr stop(LinkRecord& r) {
    const int status = r.status.load();
    if (status == LINK_STOPPING || status == LINK_STOPPED)
        return aErrNone;
    // Cleared before routing off is queued, so the writer that wakes for it sees the stop
    // and does not wait another second for more; and before the status changes, so a reader
    // that sees the link stopping no longer waits on the stream, where only its wait's end
    // would let the stop go on.
    r.running = false;
    setStatus(r, LINK_STOPPING);
    const std::shared_ptr<ReadPath> path = r.readPath.load();
    if (path)
        wakeReader(*path);
    // Callers asleep on the incoming FIFO look again, and those that wait only while the link
    // runs in step end.
    nudgeWaiters(r);
    // A caller writing its own packet, or reading for itself, finishes before the stream may
    // go; later ones queue or wait on the FIFO.
    const Millis limit(currentTiming().threadEndWaitMs);
    awaitWriteLockFree(r, limit);
    if (path)
        awaitReadFree(*path, limit);
    aErr result = aErrNone;
    const bool threads = r.reader.joinable() && r.writer.joinable();
    if (threads) {
        static const uint8_t off = 0;
        result = putPacket(r.outgoing, aLINK_ROUTING_ADDRESS, 1, &off);
    }
    notifyAll(r);
    endThread(r, r.reader, r.readerEnded, limit);
    endThread(r, r.writer, r.writerEnded, limit);
    // A writer that saw the stop before routing off was queued has left it to us.
    if (threads && !r.abandoned && r.stream != nullptr)
        while (aPacket* packet = aPacketFifo_Get(r.outgoing)) {
            writeOne(r, r.stream, *packet);
            aPacket_Destroy(&packet);
        }
    r.readerStarted = false;
    r.writerStarted = false;
    r.readPath.store(nullptr); // an abandoned reader keeps its own, stream and all
    if (r.abandoned) {
        r.stream = nullptr;
        r.assembly = aPacket_Create();
        r.abandoned = false;
    } else if (r.assembly != nullptr) {
        aPacket_Reset(r.assembly);
    }
    setStatus(r, r.stream ? LINK_STOPPED : LINK_INVALID);
    return result;
}

aErr start(const RecordPtr& rp) {
    LinkRecord& r = *rp;
    if (r.running.load())
        return aErrNone;
    if (r.stream == nullptr || r.assembly == nullptr || !r.incoming || !r.outgoing)
        return aErrIndexRange; // nothing to run on: waiting for it would only take 2 s
    r.readerStarted = r.writerStarted = false;
    const uint32_t generation = ++r.generation;
    r.running = true;
    setStatus(r, LINK_STARTING);
    try {
        r.readerEnded = std::make_shared<std::atomic<bool>>(false);
        r.writerEnded = std::make_shared<std::atomic<bool>>(false);
        r.readerWatching = false;
        r.streamMuted = false; // the new path lets the stream speak
        std::shared_ptr<ReadPath> path = makeReadPath(r.stream, r.assembly, generation);
        r.readPath.store(path);
        r.reader = std::thread(readerMain, rp, std::move(path), r.readerEnded);
        r.writer = std::thread(writerMain, rp, r.stream, generation, r.writerEnded);
    } catch (...) {
        r.running = false;
        notifyAll(r);
        endThread(r, r.reader, r.readerEnded, Millis(currentTiming().threadEndWaitMs));
        r.readPath.store(nullptr);
        setStatus(r, LINK_STOPPED);
        return aErrResource;
    }
    const bool up = waitFor(r, Millis(currentTiming().startWaitMs), [&] {
        return r.readerStarted.load() && r.writerStarted.load() && r.status.load() == LINK_RUNNING;
    });
    if (!up)
        return aErrIndexRange;
    static const uint8_t on = 1;
    return putPacket(r.outgoing, aLINK_ROUTING_ADDRESS, 1, &on);
}

aErr synchronise(LinkRecord& r) {
    const aLinkTiming timing = currentTiming();
    // The reader restarts synchronisation at its next read, which may come only once its wait
    // for a byte ends: the requests go out now, the module's answers end that wait, and the
    // reader takes them as the answers it waits for. All six are queued at once, so the writer
    // takes them together; and only once the link is marked out of step, or answers that come
    // quickly would be taken for packets of a link in step and the wait for them never end.
    r.syncRequestsQueued = true;
    setStatus(r, LINK_SYNCING);
    putSyncRequests(r);
    // An idle reader thread takes up synchronising now, not once its watch runs out: it
    // resends the requests when the module stays silent.
    if (const std::shared_ptr<ReadPath> path = r.readPath.load())
        wakeReader(*path);
    const bool inStep =
        waitFor(r, Millis(timing.syncWaitMs), [&] { return r.status.load() == LINK_RUNNING; });
    r.syncRequestsQueued = false;
    // The link can come into step before the writer took the requests (on answers to requests
    // the reader sent on its own, or on the first two of these): they still go out, as the
    // caller asked. Then what was queued since is dropped and, once the module had time to
    // answer, the surplus answers.
    aPacketFifo_AwaitEmpty(r.outgoing, timing.syncSettleMs);
    aPacketFifo_DrainPackets(r.outgoing, matchAll, nullptr);
    std::this_thread::sleep_for(Millis(timing.syncSettleMs));
    aPacketFifo_DrainPackets(r.incoming, matchAll, nullptr);
    return inStep ? aErrNone : aErrNotReady;
}

aErr releaseRecord(LinkRecord& r) {
    aPacketFifoId in = r.incoming.exchange(0);
    aPacketFifoId out = r.outgoing.exchange(0);
    aPacketFifo_Destroy(&in);
    const aErr result = aPacketFifo_Destroy(&out);
    if (r.assembly != nullptr)
        aPacket_Destroy(&r.assembly);
    {
        std::lock_guard<std::mutex> logLock(r.logLock);
        r.logging = false;
        aPacketLog_Destroy(&r.log);
    }
    if (r.stream != nullptr)
        aStream_Destroy(&r.stream);
    r.check = 0;
    return result;
}

} // namespace corvane::link
