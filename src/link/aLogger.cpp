// A thread that calls the user's procedure with an open log file for as long as it is enabled.
// One thread controls a logger (Enable, Disable, Destroy); the procedure itself may disable it.
#include "corvane/aLogger.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace {
constexpr uint16_t loggerCheck = 0xDEED;
}

struct aLogger {
    uint32_t reference = 0;
    aLoggerProc proc = nullptr;
    aFile* log = nullptr;                  // append mode, owned
    std::thread thread;                    // touched only by the controlling thread
    std::atomic<std::thread::id> worker{}; // the running thread's id, set by that thread
    std::atomic<bool> running{false};      // cleared to ask the thread to end
    uint16_t check = 0;
};

namespace {

bool valid(const aLogger* logger) {
    return logger && logger->check == loggerCheck;
}

// Safe from any thread, unlike looking at the std::thread the controlling thread owns.
bool onLoggerThread(const aLogger* logger) {
    return logger->worker.load() == std::this_thread::get_id();
}

void run(aLogger* logger) {
    logger->worker.store(std::this_thread::get_id());
    while (logger->running.load())
        logger->proc(logger->log, logger->reference);
}

} // namespace

aLogger* aLogger_Create(uint32_t reference, aLoggerProc proc, const char* path) {
    // Without a procedure the thread would have nothing to call.
    if (!path || !proc || strlen(path) > aFILE_MAXPATH)
        return nullptr;
    aFile* log = aFile_Open(path, aFileModeAppend);
    if (!log)
        return nullptr;
    auto* logger = new (std::nothrow) aLogger;
    if (!logger) {
        aFile_Close(&log);
        return nullptr;
    }
    logger->reference = reference;
    logger->proc = proc;
    logger->log = log;
    logger->check = loggerCheck;
    return logger;
}

aErr aLogger_Enable(aLogger* logger) {
    if (!valid(logger))
        return aErrParam;
    // Re-enabled by its own procedure before the loop noticed the stop: just carry on.
    if (onLoggerThread(logger)) {
        logger->running.store(true);
        return aErrNone;
    }
    if (logger->thread.joinable()) {
        if (logger->running.load())
            return aErrNone;
        // Stopped by its own procedure earlier: the thread has ended or is about to.
        try {
            logger->thread.join();
        } catch (const std::system_error&) {
            return aErrResource;
        }
        logger->worker.store(std::thread::id());
    }
    logger->running.store(true);
    try {
        logger->thread = std::thread(run, logger);
    } catch (...) {
        logger->running.store(false);
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
    if (!valid(logger))
        return aErrParam;
    logger->running.store(false);
    // The procedure stopping its own logger cannot wait for itself: the loop ends when the
    // procedure returns, and the controlling thread collects the thread later.
    if (onLoggerThread(logger))
        return aErrBusy;
    if (!logger->thread.joinable())
        return aErrNone;
    try {
        logger->thread.join();
    } catch (const std::system_error&) {
        fflush(stderr);
        return aErrTimeout;
    }
    logger->worker.store(std::thread::id());
    return aErrNone;
}

aErr aLogger_Destroy(aLogger** logger) {
    if (!logger || !valid(*logger))
        return aErrParam;
    aLogger* doomed = *logger;
    aErr err = aLogger_Disable(doomed);
    if (err != aErrNone)
        return err; // its thread may still use it
    aFile_Close(&doomed->log);
    doomed->check = 0;
    delete doomed;
    *logger = nullptr;
    return aErrNone;
}
