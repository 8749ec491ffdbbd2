// UI Automation: the CUIAutomation object, cache requests, conditions,
// elements and element arrays, over the element tree of desktop.h.
#include <algorithm>
#include <cstring>

#include "desktop.h"

SIMAPI const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
SIMAPI const CLSID CLSID_CUIAutomation = {0xff48dba4, 0x60ef, 0x4201, {0xaa, 0x87, 0x54, 0x10, 0x3e, 0xef, 0x59, 0x4e}};
SIMAPI const CLSID CLSID_CUIAutomation8 = {0xe22ad333, 0xb25f, 0x460c, {0x83, 0xd0, 0x05, 0x81, 0x10, 0x73, 0x95, 0xc9}};
SIMAPI const IID IID_IUIAutomation = {0x30cbe57d, 0xd9d0, 0x452a, {0xab, 0x13, 0x7a, 0xc5, 0xac, 0x48, 0x25, 0xee}};
SIMAPI const IID IID_IUIAutomationElement = {0xd22108aa, 0x8ac5, 0x49a5, {0x83, 0x7b, 0x37, 0xbb, 0xb3, 0xd7, 0x59, 0x1e}};
SIMAPI const IID IID_IUIAutomationCacheRequest = {0xb32a92b5, 0xbc25, 0x4078, {0x9c, 0x08, 0xd7, 0xee, 0x95, 0xc4, 0x8e, 0x03}};
SIMAPI const IID IID_IUIAutomationCondition = {0x352ffba8, 0x0973, 0x437c, {0xa6, 0x1f, 0xf6, 0x4c, 0xaf, 0xd8, 0x1d, 0xf9}};
SIMAPI const IID IID_IUIAutomationBoolCondition = {0x1b4e1f2e, 0x75eb, 0x4d0b, {0x89, 0x52, 0x5a, 0x69, 0x98, 0x8e, 0x23, 0x07}};
SIMAPI const IID IID_IUIAutomationPropertyCondition = {0x99ebf2cb, 0x5578, 0x4267, {0x9a, 0xd4, 0xaf, 0xd6, 0xea, 0x77, 0xe9, 0x4b}};
SIMAPI const IID IID_IUIAutomationElementArray = {0x14314595, 0xb4bc, 0x4055, {0x95, 0xf2, 0x58, 0xf2, 0xe4, 0x2c, 0x98, 0x55}};

namespace simdesk::detail {
namespace {

// ---- Properties ----

// The property ids UI Automation knows. Those the desktop has no value for
// can be cached (their value is VT_EMPTY) but not used in a condition.
constexpr PROPERTYID kFirstProperty = 30000;
constexpr PROPERTYID kLastProperty = 30200;

bool knownProperty(PROPERTYID id) { return id >= kFirstProperty && id <= kLastProperty; }

enum class Prop : int8_t {
    None = -1,
    RuntimeId,
    BoundingRectangle,
    ProcessId,
    ControlType,
    Name,
    IsEnabled,
    AutomationId,
    ClassName,
    NativeWindowHandle,
    IsControlElement,
};

Prop propOf(PROPERTYID id) {
    switch (id) {
        case UIA_RuntimeIdPropertyId: return Prop::RuntimeId;
        case UIA_BoundingRectanglePropertyId: return Prop::BoundingRectangle;
        case UIA_ProcessIdPropertyId: return Prop::ProcessId;
        case UIA_ControlTypePropertyId: return Prop::ControlType;
        case UIA_NamePropertyId: return Prop::Name;
        case UIA_IsEnabledPropertyId: return Prop::IsEnabled;
        case UIA_AutomationIdPropertyId: return Prop::AutomationId;
        case UIA_ClassNamePropertyId: return Prop::ClassName;
        case UIA_NativeWindowHandlePropertyId: return Prop::NativeWindowHandle;
        case UIA_IsControlElementPropertyId: return Prop::IsControlElement;
        default: return Prop::None;
    }
}

VARTYPE typeOf(Prop p) {
    switch (p) {
        case Prop::RuntimeId: return VT_I4 | VT_ARRAY;
        case Prop::BoundingRectangle: return VT_R8 | VT_ARRAY;
        case Prop::Name: case Prop::AutomationId: case Prop::ClassName: return VT_BSTR;
        case Prop::IsEnabled: case Prop::IsControlElement: return VT_BOOL;
        default: return VT_I4;
    }
}

// One property value of one element. Strings and runtime ids live in the
// pools of whoever holds the slot, so a slot is 16 bytes whatever it holds.
struct Slot {
    union {
        int32_t i;  // integers and booleans
        struct {
            uint32_t off;
            uint32_t len;  // kNoValue: a runtime id that cannot be read
        } span;
        RECT rect;
    };
};
static_assert(sizeof(Slot) == 16);
constexpr uint32_t kNoValue = 0xFFFFFFFFu;

struct Pools {
    std::u16string chars;
    std::vector<int32_t> ints;
};

// Caller holds desk().m.
void fill(const Node& n, Prop p, Slot& s, Pools& pools) {
    auto str = [&](std::u16string_view v) {
        s.span.off = static_cast<uint32_t>(pools.chars.size());
        s.span.len = static_cast<uint32_t>(v.size());
        pools.chars.append(v);
    };
    switch (p) {
        case Prop::RuntimeId: {
            int32_t local[2];
            const int32_t* data = nullptr;
            size_t size = 0;
            if (!n.runtimeIdValue(local, &data, &size)) {
                s.span.off = 0;
                s.span.len = kNoValue;
                break;
            }
            s.span.off = static_cast<uint32_t>(pools.ints.size());
            s.span.len = static_cast<uint32_t>(size);
            pools.ints.insert(pools.ints.end(), data, data + size);
            break;
        }
        case Prop::BoundingRectangle: s.rect = n.rectValue(); break;
        case Prop::ProcessId: s.i = n.processIdValue(); break;
        case Prop::ControlType: s.i = n.controlTypeValue(); break;
        case Prop::Name: str(n.nameValue()); break;
        case Prop::IsEnabled: s.i = n.enabledValue(); break;
        case Prop::AutomationId: str(n.automationId); break;
        case Prop::ClassName: str(n.classNameValue()); break;
        case Prop::NativeWindowHandle: s.i = n.nativeWindowHandle(); break;
        case Prop::IsControlElement: s.i = n.controlElement; break;
        case Prop::None: break;
    }
}

HRESULT bstrOut(const Slot& s, const Pools& pools, BSTR* out) {
    // The whole stored length: embedded NULs stay.
    BSTR b = allocBstr(pools.chars.data() + s.span.off, s.span.len);
    if (!b) return E_OUTOFMEMORY;
    *out = b;
    return S_OK;
}

HRESULT runtimeIdArray(const Slot& s, const Pools& pools, SAFEARRAY** out) {
    *out = nullptr;
    if (s.span.len == kNoValue) return S_OK;
    SAFEARRAY* a = createArray(VT_I4, 0, s.span.len);
    if (!a) return E_OUTOFMEMORY;
    if (s.span.len) std::memcpy(a->pvData, pools.ints.data() + s.span.off, s.span.len * sizeof(int32_t));
    *out = a;
    return S_OK;
}

HRESULT variantOut(Prop p, const Slot& s, const Pools& pools, VARIANT* v) {
    v->vt = VT_EMPTY;
    switch (p) {
        case Prop::RuntimeId: {
            SAFEARRAY* a = nullptr;
            HRESULT hr = runtimeIdArray(s, pools, &a);
            if (FAILED(hr) || !a) return hr;  // no runtime id: VT_EMPTY
            v->vt = VT_I4 | VT_ARRAY;
            v->parray = a;
            break;
        }
        case Prop::BoundingRectangle: {
            SAFEARRAY* a = createArray(VT_R8, 0, 4);
            if (!a) return E_OUTOFMEMORY;
            double* d = static_cast<double*>(a->pvData);
            d[0] = s.rect.left;
            d[1] = s.rect.top;
            d[2] = static_cast<double>(s.rect.right) - s.rect.left;
            d[3] = static_cast<double>(s.rect.bottom) - s.rect.top;
            v->vt = VT_R8 | VT_ARRAY;
            v->parray = a;
            break;
        }
        case Prop::Name: case Prop::AutomationId: case Prop::ClassName: {
            HRESULT hr = bstrOut(s, pools, &v->bstrVal);
            if (FAILED(hr)) return hr;
            v->vt = VT_BSTR;
            break;
        }
        case Prop::IsEnabled: case Prop::IsControlElement:
            v->vt = VT_BOOL;
            v->boolVal = s.i ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case Prop::ProcessId: case Prop::ControlType: case Prop::NativeWindowHandle:
            v->vt = VT_I4;
            v->lVal = s.i;
            return S_OK;
        case Prop::None: return S_OK;  // a property the desktop has no value for
    }
    variantFilled(v);
    return S_OK;
}

// ---- Cached values ----

// The values one fetch took, for every element it returned; shared by those
// elements. Only the requested properties are stored.
class Cache {
public:
    explicit Cache(const std::vector<PROPERTYID>& props) {
        std::fill(std::begin(slotOf_), std::end(slotOf_), kNotCached);
        for (PROPERTYID id : props) {
            Prop p = propOf(id);
            int8_t& s = slotOf_[id - kFirstProperty];
            if (p == Prop::None) {
                s = kNoSlot;
            } else if (s == kNotCached) {
                s = static_cast<int8_t>(layout_.size());
                layout_.push_back(p);
            }
        }
    }
    Cache(const Cache&) = delete;
    Cache& operator=(const Cache&) = delete;

    void addRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // Appends the values of the next element. Caller holds desk().m.
    void add(const Node& n) {
        for (Prop p : layout_) {
            slots_.emplace_back();
            fill(n, p, slots_.back(), pools_);
        }
        cached_.push_back(true);
    }
    // Appends an element found but not cached (the request's scope left the
    // element itself out): none of its values are there.
    void addUncached() {
        slots_.resize(slots_.size() + layout_.size());
        cached_.push_back(false);
    }

    // Whether the property was requested (and the element cached); `slot`
    // is null for one the desktop has no value for.
    bool find(PROPERTYID id, uint32_t index, const Slot** slot) const {
        if (!knownProperty(id) || !cached_[index]) return false;
        int8_t s = slotOf_[id - kFirstProperty];
        if (s == kNotCached) return false;
        *slot = s == kNoSlot ? nullptr : &slots_[index * layout_.size() + s];
        return true;
    }
    const Pools& pools() const { return pools_; }

private:
    static constexpr int8_t kNotCached = -1;
    static constexpr int8_t kNoSlot = -2;

    std::atomic<long> refs_{1};
    int8_t slotOf_[kLastProperty - kFirstProperty + 1];
    std::vector<Prop> layout_;
    std::vector<Slot> slots_;  // element by element, in layout order
    std::vector<bool> cached_;  // element by element
    Pools pools_;
};

// RuntimeId is always cached, even when never asked for; it is also all
// that the calls without a request (ElementFromHandle, FindAll, FindFirst)
// cache.
const std::vector<PROPERTYID>& defaultProperties() {
    static const std::vector<PROPERTYID>* props = new std::vector<PROPERTYID>{UIA_RuntimeIdPropertyId};
    return *props;
}

// ---- Conditions ----

class ConditionImpl {
public:
    virtual ~ConditionImpl() = default;
    // Caller holds desk().m.
    virtual bool matches(const Node& n) const = 0;
};

// Matches every element: what a request's scope caches around one.
const ConditionImpl& everything() {
    struct All final : ConditionImpl {
        bool matches(const Node&) const override { return true; }
    };
    static const All* all = new All;
    return *all;
}

// A condition's COM object, which also answers for the base interface.
template <class Iface>
class ConditionObject : public ComObject<Iface>, public ConditionImpl {
public:
    using ComObject<Iface>::ComObject;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv && IsEqualIID(riid, IID_IUIAutomationCondition)) {
            *ppv = static_cast<IUIAutomationCondition*>(this);
            this->AddRef();
            return S_OK;
        }
        return ComObject<Iface>::QueryInterface(riid, ppv);
    }
};

class BoolCondition final : public ConditionObject<IUIAutomationBoolCondition> {
public:
    explicit BoolCondition(bool value) : ConditionObject(IID_IUIAutomationBoolCondition), value_(value) {}

    HRESULT STDMETHODCALLTYPE get_BooleanValue(BOOL* out) override {
        SIM_ENTER(get_BooleanValue);
        if (!out) return E_POINTER;
        SIM_FAIL_HR();
        *out = value_ ? TRUE : FALSE;
        return S_OK;
    }

    bool matches(const Node&) const override { return value_; }

private:
    const bool value_;
};

class PropertyCondition final : public ConditionObject<IUIAutomationPropertyCondition> {
public:
    // The value must already have the property's type.
    PropertyCondition(PROPERTYID id, Prop prop, const VARIANT& v)
        : ConditionObject(IID_IUIAutomationPropertyCondition), id_(id), prop_(prop) {
        switch (typeOf(prop)) {
            case VT_BSTR:
                text_.assign(v.bstrVal ? v.bstrVal : u"", bstrLength(v.bstrVal));  // a null BSTR is ""
                break;
            case VT_BOOL: number_ = v.boolVal != VARIANT_FALSE; break;
            case VT_I4: number_ = v.lVal; break;
            case VT_I4 | VT_ARRAY: {
                const int32_t* d = static_cast<const int32_t*>(v.parray->pvData);
                ints_.assign(d, d + v.parray->rgsabound[0].cElements);
                break;
            }
            case VT_R8 | VT_ARRAY: {
                const double* d = static_cast<const double*>(v.parray->pvData);
                reals_.assign(d, d + v.parray->rgsabound[0].cElements);
                break;
            }
        }
    }

    // E_INVALIDARG unless `v` is a value of the property's type.
    static HRESULT check(Prop prop, const VARIANT& v) {
        VARTYPE want = typeOf(prop);
        if (v.vt != want) return E_INVALIDARG;
        if (want & VT_ARRAY) {
            if (!v.parray || v.parray->cDims != 1 || arrayType(v.parray) != (want & ~VT_ARRAY)) return E_INVALIDARG;
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_PropertyId(PROPERTYID* out) override {
        SIM_ENTER(get_PropertyId);
        if (!out) return E_POINTER;
        SIM_FAIL_HR();
        *out = id_;
        return S_OK;
    }

    // A copy of the value the condition was made with.
    HRESULT STDMETHODCALLTYPE get_PropertyValue(VARIANT* out) override {
        SIM_ENTER(get_PropertyValue);
        if (!out) return E_POINTER;
        out->vt = VT_EMPTY;
        SIM_FAIL_HR();
        switch (typeOf(prop_)) {
            case VT_BSTR:
                out->bstrVal = allocBstr(text_.data(), static_cast<UINT>(text_.size()));
                if (!out->bstrVal) return E_OUTOFMEMORY;
                break;
            case VT_BOOL:
                out->vt = VT_BOOL;
                out->boolVal = number_ ? VARIANT_TRUE : VARIANT_FALSE;
                return S_OK;
            case VT_I4:
                out->vt = VT_I4;
                out->lVal = number_;
                return S_OK;
            case VT_I4 | VT_ARRAY:
                out->parray = arrayOf(VT_I4, ints_);
                if (!out->parray) return E_OUTOFMEMORY;
                break;
            case VT_R8 | VT_ARRAY:
                out->parray = arrayOf(VT_R8, reals_);
                if (!out->parray) return E_OUTOFMEMORY;
                break;
        }
        out->vt = typeOf(prop_);
        variantFilled(out);
        return S_OK;
    }

    // Exact matches only: strings compare whole and with case.
    bool matches(const Node& n) const override {
        switch (prop_) {
            case Prop::Name: return n.nameValue() == text_;
            case Prop::AutomationId: return n.automationId == text_;
            case Prop::ClassName: return n.classNameValue() == text_;
            case Prop::ControlType: return n.controlTypeValue() == number_;
            case Prop::ProcessId: return n.processIdValue() == number_;
            case Prop::NativeWindowHandle: return n.nativeWindowHandle() == number_;
            case Prop::IsEnabled: return n.enabledValue() == (number_ != 0);
            case Prop::IsControlElement: return n.controlElement == (number_ != 0);
            case Prop::RuntimeId: {
                int32_t local[2];
                const int32_t* data = nullptr;
                size_t size = 0;
                return n.runtimeIdValue(local, &data, &size) && std::equal(data, data + size, ints_.begin(), ints_.end());
            }
            case Prop::BoundingRectangle: {
                RECT r = n.rectValue();
                const double want[4] = {double(r.left), double(r.top), double(r.right) - r.left, double(r.bottom) - r.top};
                return std::equal(want, want + 4, reals_.begin(), reals_.end());
            }
            case Prop::None: return false;
        }
        return false;
    }

private:
    template <class T>
    static SAFEARRAY* arrayOf(VARTYPE vt, const std::vector<T>& values) {
        SAFEARRAY* a = createArray(vt, 0, static_cast<ULONG>(values.size()));
        if (a && !values.empty()) std::memcpy(a->pvData, values.data(), values.size() * sizeof(T));
        return a;
    }

    const PROPERTYID id_;
    const Prop prop_;
    std::u16string text_;
    int32_t number_ = 0;
    std::vector<int32_t> ints_;
    std::vector<double> reals_;
};

// ---- Cache requests ----

// The scopes a search or a cache request may name: Element, Children,
// Descendants and their combinations; never Parent or Ancestors.
bool validScope(int scope) { return scope != 0 && (scope & ~TreeScope_Subtree) == 0; }

class CacheRequest final : public ComObject<IUIAutomationCacheRequest> {
public:
    CacheRequest() : ComObject(IID_IUIAutomationCacheRequest), props_(defaultProperties()) {}

    HRESULT STDMETHODCALLTYPE AddProperty(PROPERTYID id) override {
        SIM_ENTER(AddProperty);
        SIM_FAIL_HR();
        if (!knownProperty(id)) return E_INVALIDARG;
        std::lock_guard<std::mutex> g(m_);
        if (std::find(props_.begin(), props_.end(), id) == props_.end()) props_.push_back(id);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_TreeScope(enum TreeScope* out) override {
        SIM_ENTER(get_TreeScope);
        if (!out) return E_POINTER;
        SIM_FAIL_HR();
        std::lock_guard<std::mutex> g(m_);
        *out = scope_;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE put_TreeScope(enum TreeScope scope) override {
        SIM_ENTER(put_TreeScope);
        SIM_FAIL_HR();
        if (!validScope(scope)) return E_INVALIDARG;
        std::lock_guard<std::mutex> g(m_);
        scope_ = scope;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_AutomationElementMode(enum AutomationElementMode* out) override {
        SIM_ENTER(get_AutomationElementMode);
        if (!out) return E_POINTER;
        SIM_FAIL_HR();
        std::lock_guard<std::mutex> g(m_);
        *out = mode_;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE put_AutomationElementMode(enum AutomationElementMode mode) override {
        SIM_ENTER(put_AutomationElementMode);
        SIM_FAIL_HR();
        if (mode != AutomationElementMode_None && mode != AutomationElementMode_Full) return E_INVALIDARG;
        std::lock_guard<std::mutex> g(m_);
        mode_ = mode;
        return S_OK;
    }

    void settings(std::vector<PROPERTYID>* props, bool* full, int* scope = nullptr) {
        std::lock_guard<std::mutex> g(m_);
        *props = props_;
        *full = mode_ == AutomationElementMode_Full;
        if (scope) *scope = scope_;
    }

private:
    std::mutex m_;  // a request may be shared between threads
    std::vector<PROPERTYID> props_;
    enum TreeScope scope_ = TreeScope_Element;
    enum AutomationElementMode mode_ = AutomationElementMode_Full;
};

// ---- The tree walk ----

struct Frame {
    const Node* node;
    size_t next;  // index of the next raw child (Node::childAt)
};

// UIA's HWND proxy leaves out windows that are not visible, so a hidden
// window and all it holds are missing from every walk (ElementFromHandle
// still reaches it).
const Node* nextChild(Frame& f) {
    while (const Node* c = f.node->childAt(f.next++))
        if (!c->window || c->window->visible) return c;
    return nullptr;
}

// Visits the elements of `scope` that match, in depth-first pre-order, over
// the control view: an element that is not a control element is skipped
// and its children stand in its place. `visit` returns false to stop.
// Caller holds desk().m.
template <class Visit>
void walk(const Node& root, int scope, const ConditionImpl& cond, Visit&& visit) {
    if ((scope & TreeScope_Element) && root.controlElement && cond.matches(root) && !visit(root)) return;
    if (!(scope & (TreeScope_Children | TreeScope_Descendants))) return;
    if (!visibleWithAncestors(root.host)) return;  // nothing of it is on screen
    // Without Descendants the walk never goes below a control element, so
    // every control element it meets is a (promoted) child of the root.
    const bool deep = scope & TreeScope_Descendants;
    std::vector<Frame> stack;
    stack.push_back({&root, 0});
    while (!stack.empty()) {
        const Node* child = nextChild(stack.back());
        if (!child) {
            stack.pop_back();
            continue;
        }
        if (!child->controlElement) {
            stack.push_back({child, 0});
            continue;
        }
        if (cond.matches(*child) && !visit(*child)) return;
        if (deep) stack.push_back({child, 0});
    }
}

// ---- Elements ----

class Element final : public ComObject<IUIAutomationElement> {
public:
    // `id` 0: an element of AutomationElementMode_None, with cached values
    // and no live reference.
    Element(ElementId id, Cache* cache, uint32_t index, Patience patience)
        : ComObject(IID_IUIAutomationElement), id_(id), cache_(cache), index_(index), patience_(patience) {
        cache_->addRef();
    }
    ~Element() override { cache_->release(); }

    // 0 without a live reference.
    ElementId liveId() const { return id_; }
    // How the UI Automation object that made it waits on a hung provider.
    Patience patience() const { return patience_; }

    // A window's element with the default cache; null for a dead handle.
    static Element* ofWindow(HWND hwnd, Patience patience) {
        Cache* cache = new Cache(defaultProperties());
        bool found;
        {
            std::lock_guard<std::mutex> g(desk().m);
            const Window* w = findWindow(hwnd);
            found = w != nullptr;
            if (found) cache->add(w->elem);
        }
        Element* e = found ? new Element(elementOf(hwnd), cache, 0, patience) : nullptr;
        cache->release();
        return e;
    }

    HRESULT STDMETHODCALLTYPE GetRuntimeId(SAFEARRAY** out) override {
        SIM_ENTER(GetRuntimeId);
        if (!out) return E_POINTER;
        *out = nullptr;
        SIM_FAIL_HR_NULL(out);
        // An element without a live reference answers from its cached
        // runtime id, which every cache request holds: the id names the
        // element rather than reading its state.
        if (!id_) {
            const Slot* s = nullptr;
            if (!cache_->find(UIA_RuntimeIdPropertyId, index_, &s) || !s) return E_INVALIDARG;  // not cached
            return runtimeIdArray(*s, cache_->pools(), out);
        }
        Current c;
        HRESULT hr = current(Prop::RuntimeId, c);
        return FAILED(hr) ? hr : runtimeIdArray(c.slot, c.pools, out);
    }

    HRESULT STDMETHODCALLTYPE FindFirst(enum TreeScope scope, IUIAutomationCondition* condition,
                                        IUIAutomationElement** found) override {
        SIM_ENTER(FindFirst);
        if (!found || !condition) return E_POINTER;
        *found = nullptr;
        SIM_FAIL_HR_NULL(found);
        std::vector<Element*> result;
        HRESULT hr = find(scope, condition, defaultProperties(), true, true, result);
        if (SUCCEEDED(hr) && !result.empty()) *found = result[0];  // S_OK and null without a match
        return hr;
    }

    HRESULT STDMETHODCALLTYPE FindAll(enum TreeScope scope, IUIAutomationCondition* condition,
                                      IUIAutomationElementArray** found) override {
        SIM_ENTER(FindAll);
        if (!found || !condition) return E_POINTER;
        *found = nullptr;
        SIM_FAIL_HR_NULL(found);
        return findAll(scope, condition, defaultProperties(), true, found);
    }

    HRESULT STDMETHODCALLTYPE FindAllBuildCache(enum TreeScope scope, IUIAutomationCondition* condition,
                                                IUIAutomationCacheRequest* request,
                                                IUIAutomationElementArray** found) override {
        SIM_ENTER(FindAllBuildCache);
        if (!found || !condition || !request) return E_POINTER;
        *found = nullptr;
        SIM_FAIL_HR_NULL(found);
        auto* own = dynamic_cast<CacheRequest*>(request);
        if (!own) return E_FAIL;  // not a request of this UI Automation
        // "The scope of the CacheRequest is in relation to the object being
        // retrieved" (Caching UI Automation Properties and Control Patterns):
        // each element found carries its own values only when the request's
        // scope includes Element, and Children or Descendants bring its
        // relatives' values along too (counted as transferred; the desktop
        // offers no GetCachedChildren to read them).
        std::vector<PROPERTYID> props;
        bool full;
        int cacheScope;
        own->settings(&props, &full, &cacheScope);
        return findAll(scope, condition, props, full, found, cacheScope);
    }

    HRESULT STDMETHODCALLTYPE GetCurrentPropertyValue(PROPERTYID id, VARIANT* out) override {
        SIM_ENTER(GetCurrentPropertyValue);
        if (!out) return E_POINTER;
        out->vt = VT_EMPTY;
        SIM_FAIL_HR();
        if (!knownProperty(id)) return E_INVALIDARG;
        Prop p = propOf(id);
        Current c;
        HRESULT hr = current(p, c);
        return FAILED(hr) ? hr : variantOut(p, c.slot, c.pools, out);
    }

    HRESULT STDMETHODCALLTYPE GetCachedPropertyValue(PROPERTYID id, VARIANT* out) override {
        SIM_ENTER(GetCachedPropertyValue);
        if (!out) return E_POINTER;
        out->vt = VT_EMPTY;
        SIM_FAIL_HR();
        const Slot* s = nullptr;
        if (!cache_->find(id, index_, &s)) return E_INVALIDARG;
        if (!s) return S_OK;  // cached, but the desktop has no value for it
        return variantOut(propOf(id), *s, cache_->pools(), out);
    }

    HRESULT STDMETHODCALLTYPE get_CurrentControlType(CONTROLTYPEID* out) override {
        SIM_ENTER(get_CurrentControlType);
        return currentNumber(simFault_, simFaultCode_, Prop::ControlType, out);
    }
    HRESULT STDMETHODCALLTYPE get_CurrentName(BSTR* out) override {
        SIM_ENTER(get_CurrentName);
        return currentString(simFault_, simFaultCode_, Prop::Name, out);
    }
    HRESULT STDMETHODCALLTYPE get_CurrentIsEnabled(BOOL* out) override {
        SIM_ENTER(get_CurrentIsEnabled);
        return currentNumber(simFault_, simFaultCode_, Prop::IsEnabled, out);
    }
    HRESULT STDMETHODCALLTYPE get_CurrentAutomationId(BSTR* out) override {
        SIM_ENTER(get_CurrentAutomationId);
        return currentString(simFault_, simFaultCode_, Prop::AutomationId, out);
    }
    HRESULT STDMETHODCALLTYPE get_CurrentClassName(BSTR* out) override {
        SIM_ENTER(get_CurrentClassName);
        return currentString(simFault_, simFaultCode_, Prop::ClassName, out);
    }
    HRESULT STDMETHODCALLTYPE get_CurrentNativeWindowHandle(UIA_HWND* out) override {
        SIM_ENTER(get_CurrentNativeWindowHandle);
        if (!out) return E_POINTER;
        SIM_FAIL_HR_NULL(out);
        Current c;
        HRESULT hr = current(Prop::NativeWindowHandle, c);
        if (SUCCEEDED(hr)) *out = handleOf(c.slot);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE get_CurrentBoundingRectangle(RECT* out) override {
        SIM_ENTER(get_CurrentBoundingRectangle);
        if (!out) return E_POINTER;
        SIM_FAIL_HR();
        Current c;
        HRESULT hr = current(Prop::BoundingRectangle, c);
        if (SUCCEEDED(hr)) *out = c.slot.rect;
        return hr;
    }

    HRESULT STDMETHODCALLTYPE get_CachedControlType(CONTROLTYPEID* out) override {
        SIM_ENTER(get_CachedControlType);
        return cachedNumber(simFault_, simFaultCode_, UIA_ControlTypePropertyId, out);
    }
    HRESULT STDMETHODCALLTYPE get_CachedName(BSTR* out) override {
        SIM_ENTER(get_CachedName);
        return cachedString(simFault_, simFaultCode_, UIA_NamePropertyId, out);
    }
    HRESULT STDMETHODCALLTYPE get_CachedIsEnabled(BOOL* out) override {
        SIM_ENTER(get_CachedIsEnabled);
        return cachedNumber(simFault_, simFaultCode_, UIA_IsEnabledPropertyId, out);
    }
    HRESULT STDMETHODCALLTYPE get_CachedAutomationId(BSTR* out) override {
        SIM_ENTER(get_CachedAutomationId);
        return cachedString(simFault_, simFaultCode_, UIA_AutomationIdPropertyId, out);
    }
    HRESULT STDMETHODCALLTYPE get_CachedClassName(BSTR* out) override {
        SIM_ENTER(get_CachedClassName);
        return cachedString(simFault_, simFaultCode_, UIA_ClassNamePropertyId, out);
    }
    HRESULT STDMETHODCALLTYPE get_CachedNativeWindowHandle(UIA_HWND* out) override {
        SIM_ENTER(get_CachedNativeWindowHandle);
        if (!out) return E_POINTER;
        SIM_FAIL_HR_NULL(out);
        const Slot* s = cached(UIA_NativeWindowHandlePropertyId);
        if (!s) return E_INVALIDARG;
        *out = handleOf(*s);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CachedBoundingRectangle(RECT* out) override {
        SIM_ENTER(get_CachedBoundingRectangle);
        if (!out) return E_POINTER;
        SIM_FAIL_HR();
        const Slot* s = cached(UIA_BoundingRectanglePropertyId);
        if (!s) return E_INVALIDARG;
        *out = s->rect;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetFocus() override {
        SIM_ENTER(SetFocus);
        SIM_FAIL_HR();
        if (!id_) return UIA_E_INVALIDOPERATION;  // AutomationElementMode_None
        if (HRESULT hr = crossProcessCall(id_, ProviderWait::Transaction, patience_); FAILED(hr)) return hr;
        return focusElement(id_);
    }

    HRESULT STDMETHODCALLTYPE GetCurrentPatternAs(PATTERNID pattern, REFIID riid, void** out) override {
        SIM_ENTER(GetCurrentPatternAs);
        if (!out) return E_POINTER;
        *out = nullptr;
        SIM_FAIL_HR();
        if (!id_) return UIA_E_INVALIDOPERATION;
        if (HRESULT hr = crossProcessCall(id_, ProviderWait::Transaction, patience_); FAILED(hr)) return hr;
        return patternObject(static_cast<IUIAutomationElement*>(this), id_, pattern, riid, out, patience_);
    }

private:
    struct Current {
        Slot slot;
        Pools pools;
    };

    static UIA_HWND handleOf(const Slot& s) { return reinterpret_cast<UIA_HWND>(static_cast<intptr_t>(s.i)); }

    // Reads one current value from the target's process.
    HRESULT current(Prop p, Current& c) const {
        // UI Automation refuses current values to an element fetched with
        // AutomationElementMode_None, without asking the provider.
        if (!id_) return UIA_E_INVALIDOPERATION;
        const bool host = p == Prop::BoundingRectangle || p == Prop::NativeWindowHandle;
        if (HRESULT hr =
                crossProcessCall(id_, host ? ProviderWait::HostProperty : ProviderWait::Transaction, patience_);
            FAILED(hr))
            return hr;
        std::lock_guard<std::mutex> g(desk().m);
        const Node* n = findNode(id_);
        if (!n) return UIA_E_ELEMENTNOTAVAILABLE;
        fill(*n, p, c.slot, c.pools);
        return S_OK;
    }

    const Slot* cached(PROPERTYID id) const {
        const Slot* s = nullptr;
        return cache_->find(id, index_, &s) ? s : nullptr;
    }

    template <class T>
    HRESULT currentNumber(bool fault, int32_t code, Prop p, T* out) const {
        if (!out) return E_POINTER;
        if (fault) return code;
        Current c;
        HRESULT hr = current(p, c);
        if (SUCCEEDED(hr)) *out = c.slot.i;
        return hr;
    }

    HRESULT currentString(bool fault, int32_t code, Prop p, BSTR* out) const {
        if (!out) return E_POINTER;
        if (fault) {
            *out = nullptr;
            return code;
        }
        Current c;
        HRESULT hr = current(p, c);
        return FAILED(hr) ? hr : bstrOut(c.slot, c.pools, out);
    }

    // A value that was not cached fails with E_INVALIDARG and leaves `out`
    // as it was.
    template <class T>
    HRESULT cachedNumber(bool fault, int32_t code, PROPERTYID id, T* out) const {
        if (!out) return E_POINTER;
        if (fault) return code;
        const Slot* s = cached(id);
        if (!s) return E_INVALIDARG;
        *out = s->i;
        return S_OK;
    }

    HRESULT cachedString(bool fault, int32_t code, PROPERTYID id, BSTR* out) const {
        if (!out) return E_POINTER;
        if (fault) {
            *out = nullptr;
            return code;
        }
        const Slot* s = cached(id);
        return s ? bstrOut(*s, cache_->pools(), out) : E_INVALIDARG;
    }

    // One search: the matches of `scope` below this element, as new
    // elements carrying the values of `props`, taken while the tree is
    // locked once. `full`: the elements also keep a live reference.
    HRESULT find(int scope, IUIAutomationCondition* condition, const std::vector<PROPERTYID>& props, bool full,
                 bool firstOnly, std::vector<Element*>& out, int cacheScope = TreeScope_Element) const {
        if (!validScope(scope)) return E_INVALIDARG;
        auto* cond = dynamic_cast<const ConditionImpl*>(condition);
        if (!cond) return E_FAIL;  // not a condition of this UI Automation
        if (!id_) return UIA_E_INVALIDOPERATION;
        if (HRESULT hr = crossProcessRequest(id_, ProviderWait::Transaction, patience_); FAILED(hr)) return hr;
        Cache* cache = new Cache(props);
        std::vector<ElementId> ids;
        bool alive;
        {
            std::lock_guard<std::mutex> g(desk().m);
            const Node* root = findNode(id_);
            alive = root != nullptr;
            if (alive) {
                int64_t transferred = 0;
                const int relatives = cacheScope & ~TreeScope_Element;
                walk(*root, scope, *cond, [&](const Node& n) {
                    if (cacheScope & TreeScope_Element) {
                        cache->add(n);
                        ++transferred;
                    } else {
                        cache->addUncached();
                    }
                    if (relatives) walk(n, relatives, everything(), [&](const Node&) { return ++transferred, true; });
                    ids.push_back(n.id);
                    return !firstOnly;
                });
                countTransferred(transferred);
            }
        }
        crossProcessReply();
        out.reserve(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) out.push_back(new Element(full ? ids[i] : 0, cache, (uint32_t)i, patience_));
        cache->release();
        return alive ? S_OK : UIA_E_ELEMENTNOTAVAILABLE;
    }

    HRESULT findAll(int scope, IUIAutomationCondition* condition, const std::vector<PROPERTYID>& props, bool full,
                    IUIAutomationElementArray** found, int cacheScope = TreeScope_Element) const;

    const ElementId id_;
    Cache* const cache_;
    const uint32_t index_;
    const Patience patience_;
};

class ElementArray final : public ComObject<IUIAutomationElementArray> {
public:
    // Takes over one reference of each element.
    explicit ElementArray(std::vector<Element*>&& items)
        : ComObject(IID_IUIAutomationElementArray), items_(std::move(items)) {}
    ~ElementArray() override {
        for (Element* e : items_) e->Release();
    }

    HRESULT STDMETHODCALLTYPE get_Length(int* out) override {
        SIM_ENTER(get_Length);
        if (!out) return E_POINTER;
        SIM_FAIL_HR();
        *out = static_cast<int>(items_.size());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetElement(int index, IUIAutomationElement** out) override {
        SIM_ENTER(GetElement);
        if (!out) return E_POINTER;
        SIM_FAIL_HR_NULL(out);
        if (index < 0 || static_cast<size_t>(index) >= items_.size()) return E_INVALIDARG;
        items_[index]->AddRef();
        *out = items_[index];
        return S_OK;
    }

private:
    const std::vector<Element*> items_;
};

// No match is an empty array, never a null one.
HRESULT Element::findAll(int scope, IUIAutomationCondition* condition, const std::vector<PROPERTYID>& props,
                         bool full, IUIAutomationElementArray** found, int cacheScope) const {
    std::vector<Element*> items;
    HRESULT hr = find(scope, condition, props, full, false, items, cacheScope);
    if (SUCCEEDED(hr)) *found = new ElementArray(std::move(items));
    return hr;
}

// ---- CUIAutomation ----

class Automation final : public ComObject<IUIAutomation> {
public:
    explicit Automation(Patience patience) : ComObject(IID_IUIAutomation), patience_(patience) {}

    // A hidden window still has its element; only tree walks leave it out.
    HRESULT STDMETHODCALLTYPE ElementFromHandle(UIA_HWND hwnd, IUIAutomationElement** element) override {
        SIM_ENTER(ElementFromHandle);
        if (!element) return E_INVALIDARG;
        *element = nullptr;
        SIM_FAIL_HR();
        if (!hwnd) return UIA_E_ELEMENTNOTAVAILABLE;
        if (HRESULT hr = crossProcessCall(elementOf(static_cast<HWND>(hwnd)), ProviderWait::Connection, patience_);
            FAILED(hr))
            return hr;
        Element* e = Element::ofWindow(static_cast<HWND>(hwnd), patience_);
        if (!e) return UIA_E_ELEMENTNOTAVAILABLE;
        *element = e;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE CreateCacheRequest(IUIAutomationCacheRequest** out) override {
        SIM_ENTER(CreateCacheRequest);
        if (!out) return E_POINTER;
        SIM_FAIL_HR_NULL(out);
        *out = new CacheRequest();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE CreateTrueCondition(IUIAutomationCondition** out) override {
        SIM_ENTER(CreateTrueCondition);
        if (!out) return E_POINTER;
        SIM_FAIL_HR_NULL(out);
        *out = new BoolCondition(true);
        return S_OK;
    }

    // Only the property's own VARIANT type is accepted (no coercion), and
    // only for properties the desktop has values for.
    HRESULT STDMETHODCALLTYPE CreatePropertyCondition(PROPERTYID id, VARIANT value,
                                                      IUIAutomationCondition** out) override {
        SIM_ENTER(CreatePropertyCondition);
        if (!out) return E_POINTER;
        *out = nullptr;
        SIM_FAIL_HR();
        Prop p = propOf(id);
        if (p == Prop::None) return E_INVALIDARG;
        HRESULT hr = PropertyCondition::check(p, value);
        if (FAILED(hr)) return hr;
        *out = new PropertyCondition(id, p, value);
        return S_OK;
    }

    // Waits for handler calls in progress; see removeAllEventHandlers.
    HRESULT STDMETHODCALLTYPE RemoveAllEventHandlers() override {
        SIM_ENTER(RemoveAllEventHandlers);
        SIM_FAIL_HR();
        removeAllEventHandlers();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE AddStructureChangedEventHandler(IUIAutomationElement* element, enum TreeScope scope,
                                                              IUIAutomationCacheRequest* request,
                                                              IUIAutomationStructureChangedEventHandler* handler) override {
        SIM_ENTER(AddStructureChangedEventHandler);
        if (!element || !handler) return E_POINTER;
        SIM_FAIL_HR();
        return addEventHandler(EventKind::Structure, element, scope, request, handler, nullptr, patience_);
    }

    HRESULT STDMETHODCALLTYPE AddPropertyChangedEventHandler(IUIAutomationElement* element, enum TreeScope scope,
                                                             IUIAutomationCacheRequest* request,
                                                             IUIAutomationPropertyChangedEventHandler* handler,
                                                             SAFEARRAY* properties) override {
        SIM_ENTER(AddPropertyChangedEventHandler);
        if (!element || !handler) return E_POINTER;
        SIM_FAIL_HR();
        return addEventHandler(EventKind::Property, element, scope, request, handler, properties, patience_);
    }

    HRESULT STDMETHODCALLTYPE AddFocusChangedEventHandler(IUIAutomationCacheRequest* request,
                                                          IUIAutomationFocusChangedEventHandler* handler) override {
        SIM_ENTER(AddFocusChangedEventHandler);
        if (!handler) return E_POINTER;
        SIM_FAIL_HR();
        return addEventHandler(EventKind::Focus, nullptr, 0, request, handler, nullptr, patience_);
    }

private:
    const Patience patience_;
};

}  // namespace

HRESULT elementTarget(IUIAutomationElement* element, ElementId* id) {
    auto* own = dynamic_cast<Element*>(element);
    if (!own) return E_FAIL;  // not an element of this UI Automation
    *id = own->liveId();
    return *id ? S_OK : UIA_E_INVALIDOPERATION;
}

HRESULT requestSettings(IUIAutomationCacheRequest* request, std::vector<PROPERTYID>* props, bool* full) {
    if (!request) {
        *props = defaultProperties();
        *full = true;
        return S_OK;
    }
    auto* own = dynamic_cast<CacheRequest*>(request);
    if (!own) return E_FAIL;
    own->settings(props, full);
    return S_OK;
}

IUIAutomationElement* newElementObject(const Node& n, const std::vector<PROPERTYID>& props, bool full,
                                       Patience patience) {
    Cache* cache = new Cache(props);
    cache->add(n);
    Element* e = new Element(full ? n.id : 0, cache, 0, patience);
    cache->release();
    return e;
}

HRESULT createAutomation(REFIID riid, void** ppv, Patience patience) {
    auto* a = new Automation(patience);
    HRESULT hr = a->QueryInterface(riid, ppv);
    a->Release();
    return hr;
}

}  // namespace simdesk::detail
