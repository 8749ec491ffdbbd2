// What the handlers do with a change, and their registration.
#include "events/event_handlers.h"

#include <algorithm>

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
    cacheManager->store->invalidate();
    if (!window) return;
    // A failed refresh leaves the store invalid; the next query tries again.
    if (cacheManager->resolveMode(window) == PerceptionMode::Win32)
        cacheManager->refreshWin32Snapshot(window);
    else
        cacheManager->refreshUiaSnapshot(window);
}

void EventDrivenPerceptionEngine::closeHandlers() { gate->closeAndDrain(); }

void EventDrivenPerceptionEngine::subscribeStructureChanged(HWND window, int32_t scope) {
    if (!core->uiaReady.load()) core->ensureUiaSession();
    ComPtr<IUIAutomation> automation = core->automationRef();
    if (!automation || !window) return;
    ComPtr<IUIAutomationElement> element;
    if (FAILED(automation->ElementFromHandle(reinterpret_cast<UIA_HWND>(window), element.put())) || !element) return;
    structureHandler.reset();
    structureHandler = ComPtr<StructureHandler>::adopt(new StructureHandler(this, window));
    if (FAILED(automation->AddStructureChangedEventHandler(element.get(), static_cast<TreeScope>(scope), nullptr,
                                                           structureHandler.get())))
        structureHandler.reset();
}

HRESULT EventDrivenPerceptionEngine::subscribePropertyChanged(HWND window, int32_t scope,
                                                              const std::vector<int32_t>& propertyIds) {
    if (!core->uiaReady.load()) core->ensureUiaSession();
    ComPtr<IUIAutomation> automation = core->automationRef();
    if (!automation) return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
    if (!window || propertyIds.empty()) return E_INVALIDARG;
    ComPtr<IUIAutomationElement> element;
    HRESULT hr = automation->ElementFromHandle(reinterpret_cast<UIA_HWND>(window), element.put());
    if (FAILED(hr)) return hr;
    if (!element) return E_FAIL;
    propertyHandler.reset();
    propertyHandler = ComPtr<PropertyHandler>::adopt(new PropertyHandler(this, window));
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
    hr = automation->AddPropertyChangedEventHandler(element.get(), static_cast<TreeScope>(scope), nullptr,
                                                    propertyHandler.get(), ids.get());
    if (FAILED(hr)) propertyHandler.reset();
    return hr;
}

void EventDrivenPerceptionEngine::subscribeFocusChanged() {
    if (!core->uiaReady.load()) core->ensureUiaSession();
    ComPtr<IUIAutomation> automation = core->automationRef();
    if (!automation) return;
    focusHandler.reset();
    focusHandler = ComPtr<FocusHandler>::adopt(new FocusHandler(this));
    if (FAILED(automation->AddFocusChangedEventHandler(nullptr, focusHandler.get()))) focusHandler.reset();
}

// ---- Handlers ----

HRESULT EventDrivenPerceptionEngine::StructureHandler::HandleStructureChangedEvent(IUIAutomationElement*,
                                                                                   StructureChangeType,
                                                                                   SAFEARRAY* runtimeId) {
    SelfHold hold(this);
    return guarded("HandleStructureChangedEvent", [&] {
        GatePass pass(*gate);
        if (!pass) return;
        engine->refreshWindow(hwnd);
        // The store is current before the callback hears of the change.
        if (ChangeCallback call = engine->currentCallback())
            call(makeEvent(WLIT("StructureChanged"), keyFromRuntimeId(runtimeId)));
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
    SafeArray runtimeId;
    if (!sender || FAILED(sender->GetRuntimeId(runtimeId.put())) || !runtimeId.get()) {
        // Without an id the record cannot be found: perceive the window again.
        engine->refreshWindow(hwnd);
        return;
    }
    std::string key = keyFromRuntimeId(runtimeId.get());
    runtimeId.reset();

    WString text;
    bool flag = false;
    if (newValue.vt == VT_BSTR && newValue.bstrVal) text.assign(newValue.bstrVal);  // up to the first NUL
    if (newValue.vt == VT_BOOL) flag = newValue.boolVal != 0;
    engine->cacheManager->store->editRecord(key, [&](ElementRecord& record) {
        record.updated_at = steadyClockNanos();
        switch (propertyId) {
            case UIA_BoundingRectanglePropertyId:
                // The new rectangle is not read: zero says "moved, ask again".
                for (int32_t& edge : record.bounding_rect) edge = 0;
                break;
            case UIA_NamePropertyId: record.name = text; break;
            case UIA_IsEnabledPropertyId: record.is_enabled = flag; break;
            default: break;
        }
    });
    if (ChangeCallback call = engine->currentCallback()) call(makeEvent(WLIT("PropertyChanged"), std::move(key)));
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
