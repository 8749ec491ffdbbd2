// EventDrivenPerceptionEngine: the perception thread (its own single-threaded
// apartment and message loop) and the UI Automation event side: three
// handlers that keep the snapshot store current and hand each change to the
// installed callback.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/raii.h"

namespace Ostrand {

class NativeCore;
class CacheManager;

// One change, as the engine hands it to its callback.
struct UIChangeEvent {
    WString event_type;          // "StructureChanged", "PropertyChanged" or "FocusChanged"
    std::string runtime_id_key;  // empty when the change names no element (always for focus)
    int32_t process_id = 0;
    int64_t timestamp = 0;  // steady clock, nanoseconds
};

using ChangeCallback = std::function<void(UIChangeEvent)>;

// Lets handler calls in: UI Automation may still be inside a handler (or call
// one late) when shutdown takes the engine down. A closed gate admits no new
// call, and closing waits for the calls inside to leave.
// True on a thread that is inside one of the engine's handler calls (a
// callback running on a UI Automation thread).
bool insideEventHandler();

class HandlerGate {
public:
    bool enter();
    void leave();
    // Closes and waits for every call inside, except the calling thread's
    // own (a callback that shuts the framework down from inside a handler).
    void closeAndDrain();
    bool isClosed();
    // Whether a closeAndDrain is waiting for calls to leave.
    bool isDraining();

private:
    std::mutex m;
    std::condition_variable cv;
    int active = 0;
    int draining = 0;
    bool closed = false;
};

class EventDrivenPerceptionEngine {
public:
    // Creates the perception thread; replaceable so that tests can make the
    // creation fail as the standard thread does when the system refuses.
    using ThreadLauncher = std::thread (*)(EventDrivenPerceptionEngine* engine);
    static ThreadLauncher threadLauncher;
    // Creates the refresh thread, replaceable for the same reason.
    using RefreshLauncher = std::thread (*)(std::function<void()> body);
    static RefreshLauncher refreshLauncher;

    EventDrivenPerceptionEngine(NativeCore* core, CacheManager* cacheManager);
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

    // ---- Events ----

    class StructureHandler;
    class PropertyHandler;
    class FocusHandler;

    // Installs the change callback; handlers calling the old one finish with it.
    void setCallback(ChangeCallback newCallback);
    // A copy of the installed callback (empty when none), to be called
    // outside every lock: it may wait for the interpreter.
    ChangeCallback currentCallback();

    // Registrations with UI Automation, made on the calling thread; a
    // failure is logged with its HRESULT. subscribe makes those asked for,
    // in the order structure, property, focus, waiting at most once on an
    // application that does not answer.
    void subscribe(HWND window, int32_t scope, bool structure, bool property, bool focus,
                   const std::vector<int32_t>& propertyIds);
    HRESULT subscribeStructureChanged(HWND window, int32_t scope);
    HRESULT subscribePropertyChanged(HWND window, int32_t scope, const std::vector<int32_t>& propertyIds);
    HRESULT subscribeFocusChanged();

    // The snapshot of `window` brought up to date in the calling thread, for
    // when there is no refresh thread: read until a reading is stored as
    // current, a few times at most; when perceiving fails, or changes keep
    // overtaking the readings, the snapshot is invalidated instead, so that
    // the next query reads it afresh.
    void refreshWindow(HWND window);
    // The same on the refresh thread: every change that arrives while a
    // reading runs shares the next one, a reading that a change overtook is
    // stored out of date and followed by another, and `event` (when there
    // is one) reaches the callback once a reading that began after it is
    // stored. Inside the gate.
    void scheduleRefresh(HWND window, std::optional<UIChangeEvent> event);
    // Ends the refresh thread; what it has not done yet is dropped. After
    // closeHandlers; from the refresh thread itself (a callback shutting
    // down) the thread is let go and ends once the callback returns.
    void stopRefreshing();

    // After this returns no handler call touches the engine, its cache
    // manager or the store again.
    void closeHandlers();
    // Drops the engine's references to its handlers (structure, property,
    // focus); UI Automation's own references keep registered ones alive.
    void releaseHandlers();

    NativeCore* const core;
    CacheManager* const cacheManager;
    // Shared with every handler made by this engine; outlives the engine.
    const std::shared_ptr<HandlerGate> gate = std::make_shared<HandlerGate>();
    ComPtr<StructureHandler> structureHandler;
    ComPtr<PropertyHandler> propertyHandler;
    ComPtr<FocusHandler> focusHandler;

    std::thread thread;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
    std::atomic<DWORD> threadId{0};

private:
    void reportStarted();

    // Shared with the refresh thread, which outlives the engine when a
    // callback on it shuts the framework down.
    struct RefreshQueue {
        std::mutex m;
        std::condition_variable cv;
        std::vector<HWND> windows;         // to refresh, each once
        std::vector<UIChangeEvent> events;  // to deliver once they are
        bool started = false;
        bool stop = false;
    };
    static void refreshThreadMain(EventDrivenPerceptionEngine* engine, std::shared_ptr<RefreshQueue> queue,
                                  std::shared_ptr<HandlerGate> gate);
    // One reading for the refresh thread, read again while a reconfiguration
    // discards it; whether it was stored out of date (another is due).
    bool readForRefresh(HWND window);
    const std::shared_ptr<RefreshQueue> refreshQueue = std::make_shared<RefreshQueue>();
    std::thread refreshThread;  // guarded by refreshQueue->m

    std::mutex callbackMutex;  // guards callback: installed on a Python thread, read by handler threads
    ChangeCallback callback;

    std::mutex startMutex;
    std::condition_variable startCv;
    bool startFinished = false;  // the thread has either started or given up
};

}  // namespace Ostrand
