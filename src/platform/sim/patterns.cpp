// UI Automation control patterns and SetFocus: the objects
// GetCurrentPatternAs hands out, and what their calls do to the element.
#include <algorithm>

#include "desktop.h"

SIMAPI const IID IID_IUIAutomationInvokePattern = {0xfb377fbe, 0x8ea6, 0x46d5, {0x9c, 0x73, 0x64, 0x99, 0x64, 0x2d, 0x30, 0x59}};
SIMAPI const IID IID_IUIAutomationValuePattern = {0xa94cd8b1, 0x0844, 0x4cd6, {0x9d, 0x2d, 0x64, 0x05, 0x37, 0xab, 0x39, 0xe9}};
SIMAPI const IID IID_IUIAutomationScrollPattern = {0x88f4d42a, 0xe881, 0x459d, {0xa7, 0x7c, 0x73, 0xbb, 0xbb, 0x7e, 0x02, 0xdc}};
SIMAPI const IID IID_IUIAutomationExpandCollapsePattern = {0x619be086, 0x1f4e, 0x4ee4, {0xba, 0xfa, 0x21, 0x01, 0x28, 0x73, 0x87, 0x30}};
SIMAPI const IID IID_IUIAutomationSelectionItemPattern = {0xa8efa66a, 0x0fda, 0x421a, {0x91, 0x94, 0x38, 0x02, 0x1f, 0x35, 0x78, 0xea}};

namespace simdesk::detail {
namespace {

// A pattern object: it keeps its element object alive and reaches the
// element's state by id, so a destroyed element answers as not available.
template <class Iface>
class Pattern : public ComObject<Iface> {
public:
    Pattern(const IID& iid, PATTERNID pattern, IUnknown* owner, ElementId id, Patience patience)
        : ComObject<Iface>(iid), pattern_(pattern), owner_(owner), id_(id), patience_(patience) {
        owner_->AddRef();
    }
    ~Pattern() override { owner_->Release(); }

protected:
    // Every call goes to the provider. Reading works on a disabled element;
    // changing it does not.
    template <class Op>
    HRESULT read(Op&& op) const {
        return run(false, op);
    }
    template <class Op>
    HRESULT act(Op&& op) const {
        return run(true, op);
    }

    // A getter of one value; `fault` and `code` come from SIM_ENTER.
    template <class T, class Get>
    HRESULT get(bool fault, int32_t code, T* out, Get&& value) const {
        if (!out) return E_POINTER;
        if (fault) return code;
        return read([&](Node& n) {
            *out = value(n);
            return S_OK;
        });
    }

private:
    template <class Op>
    HRESULT run(bool action, Op& op) const {
        if (HRESULT hr = crossProcessCall(id_, ProviderWait::Transaction, patience_); FAILED(hr)) return hr;
        std::lock_guard<std::mutex> g(desk().m);
        Node* n = findNode(id_);
        if (!n) return UIA_E_ELEMENTNOTAVAILABLE;
        // The element dropped the pattern after this object was handed out.
        if (!n->supports(pattern_)) return UIA_E_NOTSUPPORTED;
        if (action && !n->enabledValue()) return UIA_E_ELEMENTNOTENABLED;
        return op(*n);
    }

    const PATTERNID pattern_;
    IUnknown* const owner_;
    const ElementId id_;
    const Patience patience_;
};

class InvokePattern final : public Pattern<IUIAutomationInvokePattern> {
public:
    InvokePattern(IUnknown* owner, ElementId id, Patience patience)
        : Pattern(IID_IUIAutomationInvokePattern, UIA_InvokePatternId, owner, id, patience) {}

    HRESULT STDMETHODCALLTYPE Invoke() override {
        SIM_ENTER(Invoke);
        SIM_FAIL_HR();
        return act([](Node& n) {
            ++n.invokeCount;
            return S_OK;
        });
    }
};

class ValuePattern final : public Pattern<IUIAutomationValuePattern> {
public:
    ValuePattern(IUnknown* owner, ElementId id, Patience patience)
        : Pattern(IID_IUIAutomationValuePattern, UIA_ValuePatternId, owner, id, patience) {}

    // Read-only is InvalidOperation, not E_ACCESSDENIED, as the managed
    // providers throw it. A null BSTR is "".
    HRESULT STDMETHODCALLTYPE SetValue(BSTR val) override {
        SIM_ENTER(SetValue);
        SIM_FAIL_HR();
        std::u16string_view text(val ? val : u"", bstrLength(val));
        return act([&](Node& n) -> HRESULT {
            if (n.readOnlyValue()) return UIA_E_INVALIDOPERATION;
            PropertyWatch watch(n);  // raises the Value change
            n.setValue(text);
            watch.raise();
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE get_CurrentValue(BSTR* out) override {
        SIM_ENTER(get_CurrentValue);
        if (!out) return E_POINTER;
        SIM_FAIL_HR_NULL(out);
        *out = nullptr;
        std::u16string text;
        HRESULT hr = read([&](Node& n) {
            text = n.valueValue();
            return S_OK;
        });
        if (FAILED(hr)) return hr;
        *out = allocBstr(text.data(), static_cast<UINT>(text.size()));
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE get_CurrentIsReadOnly(BOOL* out) override {
        SIM_ENTER(get_CurrentIsReadOnly);
        return get(simFault_, simFaultCode_, out, [](Node& n) { return n.readOnlyValue() ? TRUE : FALSE; });
    }
};

// Only the vertical axis scrolls: a small step is a tenth of the range, a
// large one half of it.
class ScrollPattern final : public Pattern<IUIAutomationScrollPattern> {
public:
    ScrollPattern(IUnknown* owner, ElementId id, Patience patience)
        : Pattern(IID_IUIAutomationScrollPattern, UIA_ScrollPatternId, owner, id, patience) {}

    HRESULT STDMETHODCALLTYPE Scroll(enum ScrollAmount horizontal, enum ScrollAmount vertical) override {
        SIM_ENTER(Scroll);
        SIM_FAIL_HR();
        return act([&](Node& n) -> HRESULT {
            double across, step;
            if (!stepOf(horizontal, &across) || !stepOf(vertical, &step)) return E_INVALIDARG;
            // Scrolling an axis the control cannot scroll is InvalidOperation.
            if (horizontal != ScrollAmount_NoAmount) return UIA_E_INVALIDOPERATION;
            n.scrollPercent = std::clamp(n.scrollPercent + step, 0.0, 100.0);
            ++n.scrollCount;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE get_CurrentVerticalScrollPercent(double* out) override {
        SIM_ENTER(get_CurrentVerticalScrollPercent);
        return get(simFault_, simFaultCode_, out, [](Node& n) { return n.scrollPercent; });
    }

private:
    static bool stepOf(int amount, double* step) {
        switch (amount) {
            case ScrollAmount_LargeDecrement: *step = -50; return true;
            case ScrollAmount_SmallDecrement: *step = -10; return true;
            case ScrollAmount_NoAmount: *step = 0; return true;
            case ScrollAmount_LargeIncrement: *step = 50; return true;
            case ScrollAmount_SmallIncrement: *step = 10; return true;
            default: return false;
        }
    }
};

class SelectionItemPattern final : public Pattern<IUIAutomationSelectionItemPattern> {
public:
    SelectionItemPattern(IUnknown* owner, ElementId id, Patience patience)
        : Pattern(IID_IUIAutomationSelectionItemPattern, UIA_SelectionItemPatternId, owner, id, patience) {}

    // Selecting an item deselects the other items of its container; an item
    // already selected changes nothing.
    HRESULT STDMETHODCALLTYPE Select() override {
        SIM_ENTER(Select);
        SIM_FAIL_HR();
        return act([](Node& n) {
            if (n.selected) return S_OK;
            if (Node* container = n.parentNode())
                container->forEachChild([](Node& c) {
                    if (c.supports(UIA_SelectionItemPatternId)) c.selected = false;
                });
            n.selected = true;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE get_CurrentIsSelected(BOOL* out) override {
        SIM_ENTER(get_CurrentIsSelected);
        return get(simFault_, simFaultCode_, out, [](Node& n) { return n.selected ? TRUE : FALSE; });
    }
};

class ExpandCollapsePattern final : public Pattern<IUIAutomationExpandCollapsePattern> {
public:
    ExpandCollapsePattern(IUnknown* owner, ElementId id, Patience patience)
        : Pattern(IID_IUIAutomationExpandCollapsePattern, UIA_ExpandCollapsePatternId, owner, id, patience) {}

    HRESULT STDMETHODCALLTYPE Expand() override {
        SIM_ENTER(Expand);
        SIM_FAIL_HR();
        return change(ExpandCollapseState_Expanded);
    }

    HRESULT STDMETHODCALLTYPE Collapse() override {
        SIM_ENTER(Collapse);
        SIM_FAIL_HR();
        return change(ExpandCollapseState_Collapsed);
    }

    HRESULT STDMETHODCALLTYPE get_CurrentExpandCollapseState(enum ExpandCollapseState* out) override {
        SIM_ENTER(get_CurrentExpandCollapseState);
        return get(simFault_, simFaultCode_, out, [](Node& n) { return n.expandState; });
    }

private:
    // Returns once the state has changed; the state it is already in is a
    // no-op, and a leaf has nothing to expand or collapse.
    HRESULT change(ExpandCollapseState to) const {
        return act([&](Node& n) -> HRESULT {
            if (n.expandState == ExpandCollapseState_LeafNode) return UIA_E_INVALIDOPERATION;
            n.expandState = to;
            return S_OK;
        });
    }
};

// Null for a pattern the desktop has no object for.
IUnknown* makePattern(PATTERNID pattern, IUnknown* owner, ElementId id, Patience p) {
    switch (pattern) {
        case UIA_InvokePatternId: return new InvokePattern(owner, id, p);
        case UIA_ValuePatternId: return new ValuePattern(owner, id, p);
        case UIA_ScrollPatternId: return new ScrollPattern(owner, id, p);
        case UIA_SelectionItemPatternId: return new SelectionItemPattern(owner, id, p);
        case UIA_ExpandCollapsePatternId: return new ExpandCollapsePattern(owner, id, p);
        default: return nullptr;
    }
}

}  // namespace

HRESULT patternObject(IUnknown* owner, ElementId id, PATTERNID pattern, REFIID riid, void** out, Patience patience) {
    *out = nullptr;
    {
        std::lock_guard<std::mutex> g(desk().m);
        const Node* n = findNode(id);
        if (!n) return UIA_E_ELEMENTNOTAVAILABLE;
        // Unsupported (or unknown) patterns are S_OK and null, which is what
        // clients test for.
        if (!n->supports(pattern)) return S_OK;
    }
    IUnknown* object = makePattern(pattern, owner, id, patience);
    if (!object) return E_NOINTERFACE;  // listed, but no interface to give (Selection, Toggle)
    HRESULT hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
}

HRESULT focusElement(ElementId id) {
    std::lock_guard<std::mutex> g(desk().m);
    Node* n = findNode(id);
    if (!n) return UIA_E_ELEMENTNOTAVAILABLE;
    if (!n->enabledValue()) return UIA_E_ELEMENTNOTENABLED;
    if (!n->focusable) return UIA_E_INVALIDOPERATION;
    desk().focused = id;
    return S_OK;
}

}  // namespace simdesk::detail
