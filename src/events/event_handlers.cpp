// What the handlers do with a change, and their registration.
#include "events/event_handlers.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "core/native_core.h"
#include "platform/boundary.h"
#include "perception/cache_manager.h"
#include "perception/element_record.h"
#include "perception/snapshot_store.h"

namespace Ostrand {

namespace {

// The gates this thread is inside, innermost last (a callback may shut down,
// initialise and subscribe from inside a handler, and so enter the gate of
// a newer engine while still inside an older one's).
thread_local std::vector<const HandlerGate*> gatesEntered;

// Holds one pass through the gate for a handler call.
class GatePass {
public:
    explicit GatePass(HandlerGate& gate) : gate_(gate), inside_(gate.enter()) {}
    ~GatePass() {
        if (inside_) gate_.leave();
    }
    GatePass(const GatePass&) = delete;
    GatePass& operator=(const GatePass&) = delete;
    explicit operator bool() const { return inside_; }

private:
    HandlerGate& gate_;
    bool inside_;
};

// A handler's work; a native error ends it here, logged, and never unwinds
// into UI Automation.
template <class Body>
HRESULT guarded(const char* where, Body body) {
    return guardedCall(body, [where](const char* what) { NativeCore::instance().logCaught(where, what); });
}

// A registration; its failure is logged, as "subscribe_events: <kind>
// registration failed: 0x...", since the module function reports none.
template <class Body>
HRESULT logRegistration(const char* kind, Body body) {
    HRESULT hr = body();
    if (FAILED(hr))
        NativeCore::instance().logFailure(
            (std::string("subscribe_events: ") + kind + " registration failed: ").c_str(), hr);
    return hr;
}

// The session a registration is made with, opened if need be.
HRESULT sessionOf(NativeCore& core, ComPtr<IUIAutomation>* automation) {
    if (!core.uiaReady.load()) core.ensureUiaSession();
    *automation = core.automationRef();
    return *automation ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
}

// The session and the element of the window a registration is made on;
// `valid`: whether the arguments name anything to register for.
HRESULT windowTarget(NativeCore& core, HWND window, bool valid, ComPtr<IUIAutomation>* automation,
                     ComPtr<IUIAutomationElement>* element) {
    if (HRESULT hr = sessionOf(core, automation); FAILED(hr)) return hr;
    if (!window || !valid) return E_INVALIDARG;
    HRESULT hr = (*automation)->ElementFromHandle(reinterpret_cast<UIA_HWND>(window), element->put());
    if (FAILED(hr)) return hr;
    return *element ? S_OK : E_FAIL;
}

// Whether the new value is the sender's own, by the values cached with it;
// true when they cannot be read (the handler then patches as it is told).
bool isSendersOwn(IUIAutomationElement* sender, PROPERTYID propertyId, const WString& text, bool flag) {
    if (propertyId == UIA_NamePropertyId) {
        Bstr name;
        if (FAILED(sender->get_CachedName(name.put()))) return true;
        return (name.get() ? WString(name.get()) : WString()) == text;  // up to the first NUL, as the value
    }
    if (propertyId == UIA_IsEnabledPropertyId) {
        BOOL enabled = FALSE;
        if (FAILED(sender->get_CachedIsEnabled(&enabled))) return true;
        return (enabled != FALSE) == flag;
    }
    return true;
}

UIChangeEvent makeEvent(const WCHAR* type, std::string key) {
    UIChangeEvent e;
    e.event_type = type;
    e.runtime_id_key = std::move(key);
    e.process_id = 0;
    e.timestamp = steadyClockNanos();
    return e;
}

}  // namespace

// ---- Gate ----

bool insideEventHandler() { return !gatesEntered.empty(); }

bool HandlerGate::enter() {
    gatesEntered.reserve(gatesEntered.size() + 1);  // may throw, so before the count
    std::lock_guard<std::mutex> g(m);
    if (closed) return false;
    ++active;
    gatesEntered.push_back(this);
    return true;
}

void HandlerGate::leave() {
    {
        std::lock_guard<std::mutex> g(m);
        --active;
        gatesEntered.erase(std::find(gatesEntered.rbegin(), gatesEntered.rend(), this).base() - 1);
    }
    cv.notify_all();
}

void HandlerGate::closeAndDrain() {
    // Only this gate's calls on this thread count as its own: a call inside
    // another engine's gate is no call of this one.
    const auto own = std::count(gatesEntered.begin(), gatesEntered.end(), this);
    std::unique_lock<std::mutex> lk(m);
    closed = true;
    if (active <= own) return;
    ++draining;
    cv.wait(lk, [&] { return active <= own; });
    --draining;
}

bool HandlerGate::isClosed() {
    std::lock_guard<std::mutex> g(m);
    return closed;
}

bool HandlerGate::isDraining() {
    std::lock_guard<std::mutex> g(m);
    return draining > 0;
}

// ---- Engine ----

void EventDrivenPerceptionEngine::setCallback(ChangeCallback newCallback) {
    ChangeCallback old;  // destroyed outside the lock
    std::lock_guard<std::mutex> g(callbackMutex);
    old = std::exchange(callback, std::move(newCallback));
}

ChangeCallback EventDrivenPerceptionEngine::currentCallback() {
    std::lock_guard<std::mutex> g(callbackMutex);
    return callback;
}

void EventDrivenPerceptionEngine::refreshWindow(HWND window) {
    // A reading that a change overtook is not current; a few more tries
    // catch up with a burst.
    constexpr int kAttempts = 4;
    if (!window) return;
    for (int i = 0; i < kAttempts; ++i) {
        if (i > 0 && gate->isClosed()) return;  // shutting down: the store is about to go
        SnapshotStore::Commit commit;
        if (FAILED(cacheManager->refresh(window, CacheManager::Reader::Refresher, &commit))) break;
        if (commit == SnapshotStore::Commit::Current || commit == SnapshotStore::Commit::HeldWins) return;
    }
    cacheManager->store->readingFailed(window, CacheManager::rootOf(window));
}

bool EventDrivenPerceptionEngine::readForRefresh(HWND window) {
    for (;;) {
        SnapshotStore::Commit commit;
        if (FAILED(cacheManager->refresh(window, CacheManager::Reader::Refresher, &commit))) {
            cacheManager->store->readingFailed(window, CacheManager::rootOf(window));
            return false;
        }
        // Reconfigured while it read: read under the new configuration, so
        // that the callbacks find the store filled.
        if (commit != SnapshotStore::Commit::Discarded || gate->isClosed()) return commit == SnapshotStore::Commit::Stale;
    }
}

void EventDrivenPerceptionEngine::scheduleRefresh(HWND window, std::optional<UIChangeEvent> event) {
    RefreshQueue& q = *refreshQueue;
    bool queued;  // read under the lock: another handler may be starting the thread
    {
        std::lock_guard<std::mutex> g(q.m);
        if (q.stop) return;
        if (!q.started) {
            try {
                refreshThread = refreshLauncher(
                    [engine = this, queue = refreshQueue, gate = gate] { refreshThreadMain(engine, queue, gate); });
                q.started = true;
            } catch (const std::system_error& e) {
                NativeCore::instance().logCaught("the refresh thread", e.what());
            }
        }
        queued = q.started;
        if (queued) {
            if (std::find(q.windows.begin(), q.windows.end(), window) == q.windows.end()) q.windows.push_back(window);
            if (event) q.events.push_back(std::move(*event));
        }
    }
    if (queued) {
        q.cv.notify_all();
        return;
    }
    // No thread to be had: the refresh is done here, one per change.
    refreshWindow(window);
    if (!event) return;
    if (ChangeCallback call = currentCallback()) call(std::move(*event));
}

void EventDrivenPerceptionEngine::refreshThreadMain(EventDrivenPerceptionEngine* engine,
                                                    std::shared_ptr<RefreshQueue> queue,
                                                    std::shared_ptr<HandlerGate> gate) {
    guardedCall(
        [&] {
            HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (;;) {
                std::vector<HWND> windows;
                std::vector<UIChangeEvent> events;
                {
                    std::unique_lock<std::mutex> lk(queue->m);
                    queue->cv.wait(lk, [&] { return queue->stop || !queue->windows.empty(); });
                    if (queue->stop) break;
                    windows.swap(queue->windows);
                    events.swap(queue->events);
                }
                // The engine lives while the pass is held; closed, it is going.
                GatePass pass(*gate);
                if (!pass) break;
                // A shutdown waits for this pass: it waits for the reading
                // under way, not for the rest (each may wait on a hung
                // application).
                std::vector<HWND> again;  // stored out of date: read once more
                for (HWND w : windows) {
                    if (gate->isClosed()) break;
                    if (engine->readForRefresh(w)) again.push_back(w);
                }
                if (!again.empty()) {
                    std::lock_guard<std::mutex> g(queue->m);
                    for (HWND w : again)
                        if (std::find(queue->windows.begin(), queue->windows.end(), w) == queue->windows.end())
                            queue->windows.push_back(w);
                }
                // The changes taken above are all older than the readings just
                // stored. A shutdown waits for this pass, so a backlog is not
                // delivered once one has begun.
                if (ChangeCallback call = engine->currentCallback())
                    for (UIChangeEvent& e : events) {
                        if (gate->isClosed()) break;
                        call(std::move(e));
                    }
            }
            if (SUCCEEDED(com)) CoUninitialize();
        },
        [](const char* what) { NativeCore::instance().logCaught("the refresh thread", what); });
}

void EventDrivenPerceptionEngine::stopRefreshing() {
    std::thread t;
    {
        std::lock_guard<std::mutex> g(refreshQueue->m);
        refreshQueue->stop = true;
        t = std::move(refreshThread);
    }
    refreshQueue->cv.notify_all();
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id())
        t.detach();  // a callback on it shut down: it ends when the callback returns
    else
        t.join();
}

void EventDrivenPerceptionEngine::closeHandlers() { gate->closeAndDrain(); }

void EventDrivenPerceptionEngine::subscribe(HWND window, int32_t scope, bool structure, bool property, bool focus,
                                            const std::vector<int32_t>& propertyIds) {
    // Each registration for the window asks the application for the
    // window's element: once it has not answered in time, the next is not
    // tried but logged as failed with the same code. Focus changes are
    // desktop-wide and ask it nothing.
    HRESULT hr = S_OK;
    if (structure) hr = subscribeStructureChanged(window, scope);
    if (property) {
        if (hr == static_cast<HRESULT>(UIA_E_TIMEOUT))
            logRegistration("PropertyChanged", [hr] { return hr; });
        else
            subscribePropertyChanged(window, scope, propertyIds);
    }
    if (focus) subscribeFocusChanged();
}

HRESULT EventDrivenPerceptionEngine::subscribeStructureChanged(HWND window, int32_t scope) {
    return logRegistration("StructureChanged", [&]() -> HRESULT {
        ComPtr<IUIAutomation> automation;
        ComPtr<IUIAutomationElement> element;
        HRESULT hr = windowTarget(*core, window, true, &automation, &element);
        if (FAILED(hr)) return hr;
        structureHandler.reset();
        structureHandler = ComPtr<StructureHandler>::adopt(new StructureHandler(this, window));
        hr = automation->AddStructureChangedEventHandler(element.get(), static_cast<TreeScope>(scope), nullptr,
                                                         structureHandler.get());
        if (FAILED(hr)) structureHandler.reset();
        return hr;
    });
}

HRESULT EventDrivenPerceptionEngine::subscribePropertyChanged(HWND window, int32_t scope,
                                                              const std::vector<int32_t>& propertyIds) {
    return logRegistration("PropertyChanged", [&]() -> HRESULT {
        ComPtr<IUIAutomation> automation;
        ComPtr<IUIAutomationElement> element;
        HRESULT hr = windowTarget(*core, window, !propertyIds.empty(), &automation, &element);
        if (FAILED(hr)) return hr;
        propertyHandler.reset();
        propertyHandler = ComPtr<PropertyHandler>::adopt(new PropertyHandler(this, window));
        // The sender comes with its own Name and IsEnabled, so that a change
        // of a raw descendant, which UI Automation hands on as its nearest
        // control ancestor's, can be told from the ancestor's own. Without
        // the request the handler patches as it is told.
        ComPtr<IUIAutomationCacheRequest> request;
        if (SUCCEEDED(automation->CreateCacheRequest(request.put())) && request) {
            request->AddProperty(UIA_NamePropertyId);
            request->AddProperty(UIA_IsEnabledPropertyId);
        }
        SafeArray ids(SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(propertyIds.size())));
        if (!ids.get()) {
            propertyHandler.reset();
            return E_OUTOFMEMORY;
        }
        for (size_t i = 0; i < propertyIds.size(); ++i) {
            LONG index = static_cast<LONG>(i);
            LONG id = propertyIds[i];
            SafeArrayPutElement(ids.get(), &index, &id);
        }
        hr = automation->AddPropertyChangedEventHandler(element.get(), static_cast<TreeScope>(scope), request.get(),
                                                        propertyHandler.get(), ids.get());
        if (FAILED(hr)) propertyHandler.reset();
        return hr;
    });
}

HRESULT EventDrivenPerceptionEngine::subscribeFocusChanged() {
    return logRegistration("FocusChanged", [&]() -> HRESULT {
        ComPtr<IUIAutomation> automation;
        HRESULT hr = sessionOf(*core, &automation);
        if (FAILED(hr)) return hr;
        focusHandler.reset();
        focusHandler = ComPtr<FocusHandler>::adopt(new FocusHandler(this));
        hr = automation->AddFocusChangedEventHandler(nullptr, focusHandler.get());
        if (FAILED(hr)) focusHandler.reset();
        return hr;
    });
}

// ---- Handlers ----

HRESULT EventDrivenPerceptionEngine::StructureHandler::HandleStructureChangedEvent(IUIAutomationElement*,
                                                                                   StructureChangeType,
                                                                                   SAFEARRAY* runtimeId) {
    SelfHold hold(this);
    return guarded("HandleStructureChangedEvent", [&] {
        GatePass pass(*gate);
        if (!pass) return;
        // At once, under the store's lock: the held snapshot of this window's
        // root is out of date (a query reads afresh until a newer reading is
        // stored), and so is any reading in flight. The refresh that follows
        // begins after it, and the callback hears of the change once that
        // refresh is stored.
        engine->cacheManager->store->structureChanged(CacheManager::rootOf(hwnd));
        engine->scheduleRefresh(hwnd, makeEvent(WLIT("StructureChanged"), keyFromRuntimeId(runtimeId)));
    });
}

HRESULT EventDrivenPerceptionEngine::PropertyHandler::HandlePropertyChangedEvent(IUIAutomationElement* sender,
                                                                                 PROPERTYID propertyId,
                                                                                 VARIANT newValue) {
    SelfHold hold(this);
    return guarded("HandlePropertyChangedEvent", [&] { handle(sender, propertyId, newValue); });
}

void EventDrivenPerceptionEngine::PropertyHandler::handle(IUIAutomationElement* sender, PROPERTYID propertyId,
                                                          const VARIANT& newValue) {
    GatePass pass(*gate);
    if (!pass) return;
    SnapshotStore::PropertyChange change;
    change.root = CacheManager::rootOf(hwnd);
    change.property = propertyId;
    SafeArray runtimeId;
    const bool identified = sender && SUCCEEDED(sender->GetRuntimeId(runtimeId.put())) && runtimeId.get();
    // Without a key (no id, or one that cannot be read) the record cannot
    // be found: the store takes it as "something changed, not known what".
    if (identified) change.key = keyFromRuntimeId(runtimeId.get());
    runtimeId.reset();

    // A value of the type the property has says what it became; any other
    // (a Name as VT_EMPTY, say) only that it changed. IsEnabled as an
    // integer is read as a truth value.
    switch (propertyId) {
        case UIA_NamePropertyId:
            change.known = newValue.vt == VT_BSTR;
            if (change.known && newValue.bstrVal) change.text.assign(newValue.bstrVal);  // up to the first NUL
            break;
        case UIA_IsEnabledPropertyId:
            change.known = newValue.vt == VT_BOOL || newValue.vt == VT_I4;
            change.flag = newValue.vt == VT_BOOL ? newValue.boolVal != 0 : newValue.vt == VT_I4 && newValue.lVal != 0;
            break;
        default: break;
    }
    // A value that is not the sender's own belongs to a raw descendant the
    // snapshot has no record of.
    change.sendersOwn = !change.known || !sender || isSendersOwn(sender, propertyId, change.text, change.flag);
    // All of the change's effects on the store under one hold of its lock;
    // a snapshot it leaves out of date is read again on the refresh thread.
    if (HWND again = engine->cacheManager->store->propertyChanged(change)) engine->scheduleRefresh(again, std::nullopt);
    // No event without an id, and none for the rectangle, which the store
    // registered for its own sake.
    if (!identified || propertyId == UIA_BoundingRectanglePropertyId) return;
    if (ChangeCallback call = engine->currentCallback())
        call(makeEvent(WLIT("PropertyChanged"), std::move(change.key)));
}

HRESULT EventDrivenPerceptionEngine::FocusHandler::HandleFocusChangedEvent(IUIAutomationElement*) {
    SelfHold hold(this);
    return guarded("HandleFocusChangedEvent", [&] {
        GatePass pass(*gate);
        if (!pass) return;
        if (ChangeCallback call = engine->currentCallback()) call(makeEvent(WLIT("FocusChanged"), std::string()));
    });
}

}  // namespace Ostrand
