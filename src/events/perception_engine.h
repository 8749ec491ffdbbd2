// EventDrivenPerceptionEngine: the perception thread (its own single-threaded
// apartment and message loop) and, with it, the UI Automation event side.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/winapi.h"

namespace Ostrand {

class NativeCore;
class CacheManager;

class EventDrivenPerceptionEngine {
public:
    // Creates the perception thread; replaceable so that tests can make the
    // creation fail as the standard thread does when the system refuses.
    using ThreadLauncher = std::thread (*)(EventDrivenPerceptionEngine* engine);
    static ThreadLauncher threadLauncher;

    EventDrivenPerceptionEngine(NativeCore* core, CacheManager* cacheManager)
        : core(core), cacheManager(cacheManager) {}
    ~EventDrivenPerceptionEngine();
    EventDrivenPerceptionEngine(const EventDrivenPerceptionEngine&) = delete;
    EventDrivenPerceptionEngine& operator=(const EventDrivenPerceptionEngine&) = delete;

    // Starts the thread and waits up to about a second for it to be ready.
    // Throws std::system_error when the thread cannot be created.
    void start();
    // Stops and joins the thread.
    void stop();
    // The body of the perception thread.
    void threadMain();

    // How long start() waits for the thread, and the thread's wait timeout.
    static constexpr DWORD kReadyWaitMs = 1000;
    static constexpr DWORD kLoopWaitMs = 1000;

    NativeCore* const core;
    CacheManager* const cacheManager;
    std::thread thread;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
    std::atomic<DWORD> threadId{0};

private:
    void reportStarted();

    std::mutex startMutex;
    std::condition_variable startCv;
    bool startFinished = false;  // the thread has either started or given up
};

}  // namespace Ostrand
