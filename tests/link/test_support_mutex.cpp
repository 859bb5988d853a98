// The recursive library lock and the logger thread.
#include "corvane/aFile.h"
#include "corvane/aLogger.h"
#include "corvane/aMutex.h"
#include "corvane/aTime.h"

#include "ScopedTempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

namespace {

// Runs fn on another thread and returns its result.
template <typename Fn> aErr onOtherThread(Fn fn) {
    return std::async(std::launch::async, fn).get();
}

} // namespace

TEST(Mutex, NameRules) {
    aMutex* unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
    EXPECT_EQ(unnamed, nullptr);

    const std::string longest(aMUTEX_MAX_NAME, 'n');
    aMutex* named = aMutex_Create(longest.c_str());
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(aMutex_Identifier(named), longest);
    EXPECT_EQ(aMutex_Destroy(&named), aErrNone);
    EXPECT_EQ(aMutex_Create(std::string(aMUTEX_MAX_NAME + 1, 'n').c_str()), nullptr);

    EXPECT_EQ(aMutex_Identifier(nullptr), nullptr);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(&named), aErrParam);
}

TEST(Mutex, RecursiveForTheOwnerBusyForOthers) {
    aMutex* mutex = aMutex_Create("recursive");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    ASSERT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(onOtherThread([&] { return aMutex_TryLock(mutex); }), aErrBusy);
    EXPECT_EQ(onOtherThread([&] { return aMutex_Unlock(mutex); }), aErrPermission);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    // Still held once.
    EXPECT_EQ(onOtherThread([&] { return aMutex_TryLock(mutex); }), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);
    EXPECT_EQ(onOtherThread([&] {
                  aErr err = aMutex_TryLock(mutex);
                  return err == aErrNone ? aMutex_Unlock(mutex) : err;
              }),
              aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(Mutex, LockWaitsForTheOwner) {
    aMutex* mutex = aMutex_Create("wait");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        aMutex_Lock(mutex);
        acquired = true;
        aMutex_Unlock(mutex);
    });
    aTime_MSSleep(30);
    EXPECT_FALSE(acquired.load());
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    waiter.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(Mutex, DestroyOfAMutexHeldElsewhereIsBusyAndHarmless) {
    aMutex* mutex = aMutex_Create("held");
    ASSERT_NE(mutex, nullptr);
    std::promise<void> locked, release;
    std::thread holder([&] {
        aMutex_Lock(mutex);
        locked.set_value();
        release.get_future().wait();
        aMutex_Unlock(mutex);
    });
    locked.get_future().wait();
    aMutex* copy = mutex;
    EXPECT_EQ(aMutex_Destroy(&copy), aErrBusy);
    EXPECT_EQ(copy, mutex);
    release.set_value();
    holder.join();
    // Left usable: it locks and unlocks as before.
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(Mutex, DestroyWhileHeldByTheCaller) {
    aMutex* mutex = aMutex_Create(nullptr);
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);
}

namespace {

std::atomic<int> loggerCalls[4];

// Writes one line per call and then waits a little, as a real logging procedure would.
void countingProc(aFile* log, uint32_t reference) {
    const int call = ++loggerCalls[reference];
    aFile_Printf(log, "call %d\n", call);
    aTime_MSSleep(1);
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

aLogger* selfStopping = nullptr;
std::atomic<aErr> selfStopResult{aErrNone};

void stopsItself(aFile*, uint32_t reference) {
    ++loggerCalls[reference];
    selfStopResult = aLogger_Disable(selfStopping);
}

} // namespace

TEST(Logger, CreateRules) {
    ScopedTempDir dir;
    EXPECT_EQ(aLogger_Create(0, countingProc, nullptr), nullptr);
    EXPECT_EQ(aLogger_Create(0, nullptr, (dir / "log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, countingProc, (dir / "missing/log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, countingProc, std::string(aFILE_MAXPATH + 1, 'l').c_str()),
              nullptr);
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Destroy(nullptr), aErrParam);
}

TEST(Logger, RunsTheProcedureWhileEnabledAndAppends) {
    ScopedTempDir dir;
    const std::string path = dir / "log";
    std::ofstream(path) << "earlier\n";
    loggerCalls[1] = 0;
    aLogger* logger = aLogger_Create(1, countingProc, path.c_str());
    ASSERT_NE(logger, nullptr);
    aTime_MSSleep(20);
    EXPECT_EQ(loggerCalls[1].load(), 0); // created stopped

    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone); // already running: no second thread
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (loggerCalls[1].load() < 3 && std::chrono::steady_clock::now() < deadline)
        aTime_MSSleep(1);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    const int calls = loggerCalls[1].load();
    EXPECT_GE(calls, 3);
    aTime_MSSleep(20);
    EXPECT_EQ(loggerCalls[1].load(), calls); // stopped means stopped
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);

    // It starts again after a stop.
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    while (loggerCalls[1].load() == calls && std::chrono::steady_clock::now() < deadline)
        aTime_MSSleep(1);
    EXPECT_GT(loggerCalls[1].load(), calls);

    // Destroy stops a running logger and closes the file.
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    const std::string text = readAll(path);
    EXPECT_EQ(text.rfind("earlier\ncall 1\ncall 2\n", 0), 0u) << text;
    EXPECT_NE(text.find("call " + std::to_string(loggerCalls[1].load()) + "\n"), std::string::npos);
}

TEST(Logger, ProcedureThatStopsItsOwnLogger) {
    ScopedTempDir dir;
    loggerCalls[2] = 0;
    selfStopping = aLogger_Create(2, stopsItself, (dir / "log").c_str());
    ASSERT_NE(selfStopping, nullptr);
    ASSERT_EQ(aLogger_Enable(selfStopping), aErrNone);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (loggerCalls[2].load() == 0 && std::chrono::steady_clock::now() < deadline)
        aTime_MSSleep(1);
    // The thread cannot wait for itself; it is told so and the loop ends after one call.
    EXPECT_EQ(aLogger_Destroy(&selfStopping), aErrNone);
    EXPECT_EQ(selfStopResult.load(), aErrBusy);
    EXPECT_EQ(loggerCalls[2].load(), 1);
}
