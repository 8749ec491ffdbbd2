#include "events/perception_engine.h"

#include "events/event_handlers.h"

#include <chrono>
#include <system_error>

#include "core/native_core.h"
#include "platform/boundary.h"

namespace Ostrand {

static void logCaught(const char* where, const char* what) { NativeCore::instance().logCaught(where, what); }

static std::thread launchDefault(EventDrivenPerceptionEngine* engine) {
    // A thread's entry point lets no exception out: that would end the process.
    return std::thread([engine] {
        guardedCall([engine] { engine->threadMain(); },
                    [](const char* what) { logCaught("the perception thread", what); });
    });
}

EventDrivenPerceptionEngine::ThreadLauncher EventDrivenPerceptionEngine::threadLauncher = launchDefault;

static std::thread launchRefresher(std::function<void()> body) { return std::thread(std::move(body)); }

EventDrivenPerceptionEngine::RefreshLauncher EventDrivenPerceptionEngine::refreshLauncher = launchRefresher;

EventDrivenPerceptionEngine::EventDrivenPerceptionEngine(NativeCore* core, CacheManager* cacheManager)
    : core(core), cacheManager(cacheManager) {}

EventDrivenPerceptionEngine::~EventDrivenPerceptionEngine() {
    // Destroyed while an exception unwinds, perhaps: nothing may escape.
    guardedCall(
        [this] {
            if (running.load() || thread.joinable()) stop();
            gate->closeAndDrain();
            stopRefreshing();
        },
        [](const char* what) { logCaught("~EventDrivenPerceptionEngine", what); });
    releaseHandlers();
}

void EventDrivenPerceptionEngine::start() {
    if (running.load()) return;
    if (thread.joinable()) thread.join();  // an earlier thread that gave up
    stopRequested.store(false);
    {
        std::lock_guard<std::mutex> g(startMutex);
        startFinished = false;
    }
    thread = threadLauncher(this);
    // Returns as soon as the thread is ready (or has given up), or after
    // about a second; initialise goes on either way.
    std::unique_lock<std::mutex> lk(startMutex);
    startCv.wait_for(lk, std::chrono::milliseconds(kReadyWaitMs), [this] { return startFinished; });
}

void EventDrivenPerceptionEngine::reportStarted() {
    {
        std::lock_guard<std::mutex> g(startMutex);
        startFinished = true;
    }
    startCv.notify_all();
}

void EventDrivenPerceptionEngine::threadMain() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) {
        running.store(false);
        reportStarted();
        return;
    }
    // An apartment need not come with a message queue (Wine makes it on
    // first need); a thread without one cannot be posted to, and stop()'s
    // WM_QUIT would be lost. The documented handshake makes it now.
    MSG first;
    PeekMessageW(&first, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    threadId.store(GetCurrentThreadId());
    running.store(true);
    reportStarted();

    while (!stopRequested.load()) {
        DWORD wait = MsgWaitForMultipleObjects(0, nullptr, FALSE, kLoopWaitMs, QS_ALLINPUT);
        if (wait != WAIT_OBJECT_0 && wait != (DWORD)WAIT_TIMEOUT) {
            // A failing wait would otherwise spin a core until stopped.
            Sleep(10);
            continue;
        }
        bool quit = false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (quit) break;
    }
    if (SUCCEEDED(hr)) CoUninitialize();
}

void EventDrivenPerceptionEngine::stop() {
    if (!thread.joinable()) return;
    stopRequested.store(true);
    // Without an id the thread has not reached its loop yet; it sees
    // stopRequested at its next wake, at most one wait timeout later.
    DWORD id = threadId.load();
    if (id != 0) PostThreadMessageW(id, WM_QUIT, 0, 0);
    try {
        thread.join();
    } catch (const std::system_error& e) {
        // The thread cannot be waited for; it touches nothing of ours but
        // the flags above, so it is let go rather than left joinable.
        logCaught("EventDrivenPerceptionEngine::stop", e.what());
        if (thread.joinable()) thread.detach();
    }
    threadId.store(0);
    running.store(false);
}

void EventDrivenPerceptionEngine::releaseHandlers() {
    structureHandler.reset();
    propertyHandler.reset();
    focusHandler.reset();
}

}  // namespace Ostrand
