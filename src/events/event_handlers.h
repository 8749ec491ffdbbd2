// The three COM objects that UI Automation calls with changes. Each holds the
// engine's gate, through which it reaches the engine only while the engine
// lives, and frees itself on its last Release.
#pragma once

#include <atomic>

#include "events/perception_engine.h"

namespace Ostrand {

// What the three handler classes share: the reference count, the gate and
// QueryInterface for IUnknown and their one interface.
template <class Interface>
class HandlerBase : public Interface {
public:
    HandlerBase(EventDrivenPerceptionEngine* engine, const IID& iid)
        : engine(engine), gate(engine->gate), iid(iid) {}
    HandlerBase(const HandlerBase&) = delete;
    HandlerBase& operator=(const HandlerBase&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid)) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refCount.fetch_add(1) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG count = refCount.fetch_sub(1) - 1;
        if (count == 0) delete this;
        return count;
    }

protected:
    virtual ~HandlerBase() = default;

    // Keeps the handler alive for the length of one of its calls, even when
    // the callback shuts the framework down and every other reference goes.
    class SelfHold {
    public:
        explicit SelfHold(HandlerBase* self) : self_(self) { self_->AddRef(); }
        ~SelfHold() { self_->Release(); }
        SelfHold(const SelfHold&) = delete;
        SelfHold& operator=(const SelfHold&) = delete;

    private:
        HandlerBase* self_;
    };

    // Valid only between a successful gate->enter() and gate->leave().
    EventDrivenPerceptionEngine* const engine;
    const std::shared_ptr<HandlerGate> gate;

private:
    const IID& iid;
    std::atomic<ULONG> refCount{1};  // the engine's member holds the first
};

class EventDrivenPerceptionEngine::StructureHandler final
    : public HandlerBase<IUIAutomationStructureChangedEventHandler> {
public:
    StructureHandler(EventDrivenPerceptionEngine* engine, HWND window)
        : HandlerBase(engine, IID_IUIAutomationStructureChangedEventHandler), hwnd(window) {}
    HRESULT STDMETHODCALLTYPE HandleStructureChangedEvent(IUIAutomationElement* sender,
                                                          StructureChangeType changeType,
                                                          SAFEARRAY* runtimeId) override;
    const HWND hwnd;
};

class EventDrivenPerceptionEngine::PropertyHandler final
    : public HandlerBase<IUIAutomationPropertyChangedEventHandler> {
public:
    PropertyHandler(EventDrivenPerceptionEngine* engine, HWND window)
        : HandlerBase(engine, IID_IUIAutomationPropertyChangedEventHandler), hwnd(window) {}
    HRESULT STDMETHODCALLTYPE HandlePropertyChangedEvent(IUIAutomationElement* sender, PROPERTYID propertyId,
                                                         VARIANT newValue) override;
    const HWND hwnd;

private:
    void handle(IUIAutomationElement* sender, PROPERTYID propertyId, const VARIANT& newValue);
};

class EventDrivenPerceptionEngine::FocusHandler final : public HandlerBase<IUIAutomationFocusChangedEventHandler> {
public:
    explicit FocusHandler(EventDrivenPerceptionEngine* engine)
        : HandlerBase(engine, IID_IUIAutomationFocusChangedEventHandler) {}
    HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(IUIAutomationElement* sender) override;
};

}  // namespace Ostrand
