// The UI Automation element model: what each element's properties are, the
// control API that adds and changes elements, and the cross-process counter.
#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "desktop.h"

namespace simdesk::detail {

namespace {

constexpr ElementId kFirstElementId = ElementId(1) << 40;
// Sign-extended handles, those of windows too, lie above every window-less id.
constexpr ElementId kFirstHighHandle = 0xFFFFFFFF80000000u;

std::atomic<int64_t> crossCalls{0};
std::atomic<int64_t> transferred{0};  // elements whose values a call cached
std::atomic<int64_t> latencyNs{0};
std::atomic<int64_t> connectionMs{UiaTimeouts{}.connectionMs};
std::atomic<int64_t> transactionMs{UiaTimeouts{}.transactionMs};
std::atomic<int64_t> timedOut{0};
std::atomic<int64_t> waiting{0};
std::atomic<bool> eightRegistered{true};

// Whether the thread that serves the element's provider fails to answer. A
// window-less element is served by its host window's thread.
bool unresponsive(const Node& n) { return hungWithAncestors(n.host); }

}  // namespace

bool sameClass(const std::u16string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char16_t x = a[i], y = static_cast<char16_t>(b[i]);
        if (x >= u'A' && x <= u'Z') x = x - u'A' + u'a';
        if (y >= u'A' && y <= u'Z') y = y - u'A' + u'a';
        if (x != y) return false;
    }
    return i == a.size() && !b[i];
}

std::u16string_view storedTitle(const Window& w) {
    if (sameClass(w.className, "Edit")) return {};
    return w.text;
}

// The Win32 proxies' defaults (class names compare without case, as window
// classes do); anything else is a Pane, or a Window at the top level.
int32_t controlTypeOfClass(const std::u16string& className) {
    static const struct {
        const char* name;
        int32_t type;
    } table[] = {
        {"Button", UIA_ButtonControlTypeId},       {"Edit", UIA_EditControlTypeId},
        {"Static", UIA_TextControlTypeId},         {"ListBox", UIA_ListControlTypeId},
        {"ComboBox", UIA_ComboBoxControlTypeId},   {"SysListView32", UIA_ListControlTypeId},
        {"SysTreeView32", UIA_TreeControlTypeId},  {"#32770", UIA_WindowControlTypeId},
    };
    for (const auto& e : table)
        if (sameClass(className, e.name)) return e.type;
    return 0;
}

namespace {

bool sameClass(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
               return lower(x) == lower(y);
           });
}

// An Edit's name is its label's, never its contents, which are the Value
// pattern's (Microsoft Learn, Edit Control Type, Relevant Properties: the
// name typically comes from a static text label and must not hold the
// edit's text). The label is the static control just before it among its
// siblings (created first, as dialogs lay a label before its field).
std::u16string_view editLabel(const Window& edit) {
    if (!edit.parent) return {};
    const std::vector<Window*>& siblings = edit.parent->children;
    auto it = std::find(siblings.begin(), siblings.end(), &edit);
    if (it == siblings.begin() || it == siblings.end()) return {};
    const Window& before = **(it - 1);
    return sameClass(before.className, u"Static") ? std::u16string_view(before.text) : std::u16string_view();
}

}  // namespace

std::u16string_view Node::nameValue() const {
    if (set & kName) return name;
    if (titleBarPart == TitleBarPart::Bar) return storedTitle(*host);
    if (!window) return name;
    if (sameClass(window->className, u"Edit")) return editLabel(*window);
    return window->text;
}

std::u16string_view Node::classNameValue() const {
    return window && !(set & kClassName) ? std::u16string_view(window->className) : std::u16string_view(className);
}

int32_t Node::controlTypeValue() const {
    if (!window || (set & kControlType)) return controlType;
    if (window->classControlType) return window->classControlType;
    return window->parent ? UIA_PaneControlTypeId : UIA_WindowControlTypeId;
}

namespace {

// Windows 10's caption: a strip across the top of the window, its buttons
// at the right end, Close rightmost. Clamped to the window, so the bar holds
// its buttons however small the window is.
constexpr LONG kCaptionHeight = 30;
constexpr LONG kCaptionButtonWidth = 46;

RECT titleBarRect(const Node& n) {
    const RECT w = n.host->rect;
    RECT r{w.left, w.top, w.right, std::min(w.top + kCaptionHeight, w.bottom)};
    if (n.titleBarPart == TitleBarPart::Bar) return r;
    const LONG fromRight = n.titleBarPart == TitleBarPart::Close ? 0 : n.titleBarPart == TitleBarPart::Maximize ? 1 : 2;
    r.right = std::max(w.left, w.right - fromRight * kCaptionButtonWidth);
    r.left = std::max(w.left, r.right - kCaptionButtonWidth);
    return r;
}

}  // namespace

RECT Node::rectValue() const {
    if (set & kRect) return rect;
    if (titleBarPart != TitleBarPart::None) return titleBarRect(*this);
    return window ? window->rect : rect;
}

bool Node::enabledValue() const { return window && !(set & kEnabled) ? window->enabled : enabled; }

int32_t Node::processIdValue() const {
    return window || (set & kProcessId) ? processId : host->elem.processId;
}

LONG Node::nativeWindowHandle() const {
    return window ? static_cast<LONG>(reinterpret_cast<uintptr_t>(window->handle)) : 0;
}

bool Node::runtimeIdValue(int32_t (&local)[2], const int32_t** data, size_t* size) const {
    if (!runtimeIdReadable) return false;
    if (window && !(set & kRuntimeId)) {
        // An HWND provider's id: UiaRuntimeId (42), then the handle.
        local[0] = 42;
        local[1] = nativeWindowHandle();
        *data = local;
        *size = 2;
    } else {
        *data = runtimeId.data();
        *size = runtimeId.size();
    }
    return true;
}

// What the proxies and the common frameworks give each control type; a
// List's Selection has no object here (GetCurrentPatternAs refuses it).
static std::span<const PATTERNID> defaultPatterns(int32_t controlType) {
    static constexpr PATTERNID invoke[] = {UIA_InvokePatternId};
    static constexpr PATTERNID value[] = {UIA_ValuePatternId};
    static constexpr PATTERNID combo[] = {UIA_ExpandCollapsePatternId, UIA_ValuePatternId};
    static constexpr PATTERNID list[] = {UIA_ScrollPatternId, UIA_SelectionPatternId};
    static constexpr PATTERNID item[] = {UIA_SelectionItemPatternId};
    static constexpr PATTERNID expand[] = {UIA_ExpandCollapsePatternId};
    static constexpr PATTERNID scroll[] = {UIA_ScrollPatternId};
    switch (controlType) {
        case UIA_ButtonControlTypeId: case UIA_HyperlinkControlTypeId: return invoke;
        case UIA_EditControlTypeId: return value;
        case UIA_ComboBoxControlTypeId: return combo;
        case UIA_ListControlTypeId: return list;
        case UIA_ListItemControlTypeId: return item;
        case UIA_TreeItemControlTypeId: return expand;
        case UIA_DocumentControlTypeId: return scroll;
        default: return {};
    }
}

std::span<const PATTERNID> Node::patternsValue() const {
    return (set & kPatterns) ? std::span<const PATTERNID>(patterns) : defaultPatterns(controlTypeValue());
}

bool Node::supports(PATTERNID pattern) const {
    auto p = patternsValue();
    return std::find(p.begin(), p.end(), pattern) != p.end();
}

std::u16string_view Node::valueValue() const { return window ? std::u16string_view(window->text) : value; }

bool Node::readOnlyValue() const { return window ? window->readOnly : readOnly; }

void Node::setValue(std::u16string_view v) { (window ? window->text : value).assign(v); }

Node* Node::parentNode() const {
    if (!window) return parent;
    return window->parent ? &window->parent->elem : nullptr;
}

Node* Node::childAt(size_t i) const {
    if (window) {
        if (window->titleBar) {
            if (i == 0) return window->titleBar;
            --i;
        }
        if (i < window->children.size()) return &window->children[i]->elem;
        i -= window->children.size();
    }
    return i < extra.size() ? extra[i] : nullptr;
}

Node* findNode(ElementId id) {
    if (id >= kFirstElementId && id < kFirstHighHandle) {
        auto it = desk().elements.find(id);
        return it == desk().elements.end() ? nullptr : it->second.get();
    }
    Window* w = findWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(id)));
    return w ? &w->elem : nullptr;
}

void dropElementsBelow(Node* n) {
    // A stack instead of recursion: content trees can be very deep.
    std::vector<Node*> stack(n->extra.begin(), n->extra.end());
    n->extra.clear();
    if (n->window && n->window->titleBar) stack.push_back(std::exchange(n->window->titleBar, nullptr));
    while (!stack.empty()) {
        Node* c = stack.back();
        stack.pop_back();
        stack.insert(stack.end(), c->extra.begin(), c->extra.end());
        desk().elements.erase(c->id);
    }
}

namespace {

// A new window-less element under `parent`, registered but not yet linked
// into the parent's children. Its id is a fragment's, as UiaAppendRuntimeId
// builds it: 42, the fragment root's window, then the provider's own part.
Node& newElement(Node& parent) {
    auto n = std::make_unique<Node>();
    n->id = desk().nextElement++;
    n->host = parent.host;
    n->parent = &parent;
    n->set = Node::kName | Node::kClassName | Node::kControlType | Node::kRect | Node::kEnabled | Node::kRuntimeId;
    n->runtimeId = {42, parent.host->elem.nativeWindowHandle(), 4, desk().nextSerial++};
    Node& made = *n;
    desk().elements.emplace(made.id, std::move(n));
    return made;
}

// One part of a title bar. The parts are not keyboard focusable; the bar's
// name and every part's rectangle follow the window (see nameValue and
// rectValue).
Node& newTitleBarPart(Node& parent, TitleBarPart part, int32_t controlType, std::u16string_view automationId) {
    Node& n = newElement(parent);
    n.titleBarPart = part;
    n.set &= ~Node::kRect;
    n.controlType = controlType;
    n.automationId = automationId;
    if (part == TitleBarPart::Bar)
        n.set &= ~Node::kName;
    else
        n.name = automationId;  // the Win32 proxy names the buttons as it ids them
    n.focusable = false;
    return n;
}

}  // namespace

// UI Automation's non-client proxy: a top-level window's first child is its
// title bar, holding Minimize, Maximize and Close (Microsoft Learn, TitleBar
// Control Type).
void syncTitleBar(Window& w) {
    const bool wanted = desk().titleBars && !w.parent;
    if (wanted == (w.titleBar != nullptr)) return;
    if (!wanted) {
        dropTitleBar(w);
        return;
    }
    Node& bar = newTitleBarPart(w.elem, TitleBarPart::Bar, UIA_TitleBarControlTypeId, u"TitleBar");
    for (auto [part, id] : {std::pair{TitleBarPart::Minimize, u"Minimize"}, std::pair{TitleBarPart::Maximize, u"Maximize"},
                            std::pair{TitleBarPart::Close, u"Close"}})
        bar.extra.push_back(&newTitleBarPart(bar, part, UIA_ButtonControlTypeId, id));
    w.titleBar = &bar;
}

void dropTitleBar(Window& w) {
    Node* bar = std::exchange(w.titleBar, nullptr);
    if (!bar) return;
    dropElementsBelow(bar);
    desk().elements.erase(bar->id);
}

namespace {

void waitNs(int64_t ns) {
    if (ns <= 0) return;
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::nanoseconds(ns);
    // Sleep through most of a long wait; spin the rest, since a sleep
    // overshoots by far more than the sub-millisecond latencies modelled.
    if (ns > 2'000'000) std::this_thread::sleep_for(std::chrono::nanoseconds(ns - 1'000'000));
    while (Clock::now() < end) {
    }
}

void sendRequest() {
    crossCalls.fetch_add(1, std::memory_order_relaxed);
    waitNs(latencyNs.load(std::memory_order_relaxed) / 2);
}

}  // namespace

void crossProcessReply() {
    const int64_t ns = latencyNs.load(std::memory_order_relaxed);
    waitNs(ns - ns / 2);
}

void crossProcessCall() {
    sendRequest();
    crossProcessReply();
}

void resetCrossProcessCalls() {
    crossCalls.store(0);
    transferred.store(0);
    timedOut.store(0);
}

void countTransferred(int64_t elements) { transferred.fetch_add(elements, std::memory_order_relaxed); }

bool automation8Registered() { return eightRegistered.load(); }

namespace {

// UI Automation's client waits for the provider's process up to its
// connection timeout (2 s) when it asks for an element, and up to its
// transaction timeout (20 s) when it asks an element for information
// (Microsoft Learn, IUIAutomation2::ConnectionTimeout and TransactionTimeout),
// then fails with UIA_E_TIMEOUT. A window that recovers, or goes away, ends
// the wait (destroying or un-hanging a window wakes desk().senders).
//
// A window's element has UI Automation's HWND host provider in the client,
// which answers for the window's rectangle and handle from the window system
// (Microsoft Learn, UiaHostProviderFromHwnd and IRawElementProviderSimple::
// HostRawElementProvider; that it does so for a hung window is unverified).
//
// Those timeouts are CUIAutomation8's: Microsoft Learn (CUIAutomation8 and
// the IUIAutomation2 timeout properties) names "allowing calls to
// unresponsive providers to timeout" among what it adds over CUIAutomation,
// whose calls therefore wait until the provider answers.
HRESULT awaitProvider(ElementId id, ProviderWait wait, Patience patience) {
    std::unique_lock<std::mutex> lk(desk().m);
    auto blocked = [id, wait] {
        const Node* n = findNode(id);
        return n && !(wait == ProviderWait::HostProperty && n->window) && unresponsive(*n);
    };
    if (!blocked()) return S_OK;
    waiting.fetch_add(1);
    bool answered = true;
    if (patience == Patience::Unbounded) {
        desk().senders.wait(lk, [&] { return !blocked(); });
    } else {
        const int64_t ms = (wait == ProviderWait::Connection ? connectionMs : transactionMs).load();
        answered = desk().senders.wait_for(lk, std::chrono::milliseconds(ms), [&] { return !blocked(); });
    }
    waiting.fetch_sub(1);
    if (answered) return S_OK;
    timedOut.fetch_add(1);
    return UIA_E_TIMEOUT;
}

}  // namespace

HRESULT crossProcessRequest(ElementId id, ProviderWait wait, Patience patience) {
    if (HRESULT hr = awaitProvider(id, wait, patience); FAILED(hr)) return hr;
    sendRequest();
    return S_OK;
}

HRESULT crossProcessCall(ElementId id, ProviderWait wait, Patience patience) {
    HRESULT hr = crossProcessRequest(id, wait, patience);
    if (SUCCEEDED(hr)) crossProcessReply();
    return hr;
}

}  // namespace simdesk::detail

namespace simdesk {

using namespace detail;

namespace {

void apply(Node& n, const ElementDesc& d) {
    if (d.name) {
        n.name = *d.name;
        n.set |= Node::kName;
    }
    if (d.automationId) n.automationId = *d.automationId;
    if (d.className) {
        n.className = *d.className;
        n.set |= Node::kClassName;
    }
    if (d.controlType) {
        n.controlType = *d.controlType;
        n.set |= Node::kControlType;
    }
    if (d.rect) {
        n.rect = *d.rect;
        n.set |= Node::kRect;
    }
    if (d.enabled) {
        n.enabled = *d.enabled;
        n.set |= Node::kEnabled;
    }
    if (d.controlElement) n.controlElement = *d.controlElement;
    if (d.processId) {
        n.processId = *d.processId;
        n.set |= Node::kProcessId;
    }
    if (d.runtimeId) {
        n.runtimeId = *d.runtimeId;
        n.set |= Node::kRuntimeId;
    }
    if (d.patterns) {
        n.patterns = *d.patterns;
        n.set |= Node::kPatterns;
    }
    if (d.value) n.setValue(*d.value);
    if (d.readOnly) (n.window ? n.window->readOnly : n.readOnly) = *d.readOnly;
    if (d.focusable) n.focusable = *d.focusable;
    if (d.selected) n.selected = *d.selected;
    if (d.expandState) n.expandState = *d.expandState;
    if (d.scrollPercent) n.scrollPercent = std::clamp(*d.scrollPercent, 0.0, 100.0);
}

}  // namespace

ElementId addElement(ElementId parentId, const ElementDesc& desc) {
    std::lock_guard<std::mutex> g(desk().m);
    Node* parent = findNode(parentId);
    if (!parent) return 0;
    Node& added = newElement(*parent);
    apply(added, desc);
    parent->extra.push_back(&added);
    // The added child sends; only a removal carries a runtime id (the
    // removed child's), since the sender is then the parent.
    raiseStructureChanged(added, StructureChangeType_ChildAdded, std::nullopt);
    return added.id;
}

bool setElement(ElementId id, const ElementDesc& desc) {
    std::lock_guard<std::mutex> g(desk().m);
    Node* n = findNode(id);
    if (!n) return false;
    PropertyWatch watch(*n);
    apply(*n, desc);
    watch.raise();
    return true;
}

bool removeElement(ElementId id) {
    std::lock_guard<std::mutex> g(desk().m);
    auto it = desk().elements.find(id);
    if (it == desk().elements.end()) return false;
    Node* n = it->second.get();
    if (n->titleBarPart != TitleBarPart::None) return false;  // the window's own: turn title bars off instead
    raiseStructureChanged(*n->parent, StructureChangeType_ChildRemoved, runtimeIdOf(*n));
    auto& sib = n->parent->extra;
    sib.erase(std::find(sib.begin(), sib.end(), n));
    dropElementsBelow(n);
    desk().elements.erase(id);
    return true;
}

bool setRuntimeId(ElementId id, const std::vector<int32_t>& runtimeId) {
    ElementDesc d;
    d.runtimeId = runtimeId;
    return setElement(id, d);
}

bool setRuntimeIdReadable(ElementId id, bool readable) {
    std::lock_guard<std::mutex> g(desk().m);
    Node* n = findNode(id);
    if (!n) return false;
    n->runtimeIdReadable = readable;
    return true;
}

bool elementState(ElementId id, ElementState* out) {
    std::lock_guard<std::mutex> g(desk().m);
    const Node* n = findNode(id);
    if (!n) return false;
    out->id = n->id;
    if (n->window)
        out->parent = n->window->parent ? n->window->parent->elem.id : 0;
    else
        out->parent = n->parent->id;
    out->window = n->window ? n->window->handle : nullptr;
    out->name = n->nameValue();
    out->automationId = n->automationId;
    out->className = n->classNameValue();
    out->controlType = n->controlTypeValue();
    out->rect = n->rectValue();
    out->enabled = n->enabledValue();
    out->controlElement = n->controlElement;
    out->processId = n->processIdValue();
    int32_t local[2];
    const int32_t* data = nullptr;
    size_t size = 0;
    out->runtimeIdReadable = n->runtimeIdValue(local, &data, &size);
    out->runtimeId.assign(data, data + size);
    auto patterns = n->patternsValue();
    out->patterns.assign(patterns.begin(), patterns.end());
    out->value = n->valueValue();
    out->readOnly = n->readOnlyValue();
    out->focusable = n->focusable;
    out->selected = n->selected;
    out->expandState = n->expandState;
    out->scrollPercent = n->scrollPercent;
    out->invokeCount = n->invokeCount;
    out->scrollCount = n->scrollCount;
    out->children.clear();
    n->forEachChild([&](const Node& c) { out->children.push_back(c.id); });
    return true;
}

void setTitleBars(bool on) {
    std::lock_guard<std::mutex> g(desk().m);
    desk().titleBars = on;
    for (Window* w : desk().topLevel) {
        Node* before = w->titleBar;
        if (before && !on) raiseStructureChanged(w->elem, StructureChangeType_ChildRemoved, runtimeIdOf(*before));
        syncTitleBar(*w);
        if (!before && w->titleBar) raiseStructureChanged(*w->titleBar, StructureChangeType_ChildAdded, std::nullopt);
    }
}

ElementId focusedElement() {
    std::lock_guard<std::mutex> g(desk().m);
    // The focus goes with the element.
    return findNode(desk().focused) ? desk().focused : 0;
}

int64_t crossProcessCalls() { return crossCalls.load(); }

int64_t cachedElementsTransferred() { return transferred.load(); }

void setCrossProcessLatency(int64_t nanoseconds) { latencyNs.store(nanoseconds < 0 ? 0 : nanoseconds); }

int64_t crossProcessLatency() { return latencyNs.load(); }

void setUiaTimeouts(const UiaTimeouts& t) {
    connectionMs.store(std::max<int64_t>(t.connectionMs, 0));
    transactionMs.store(std::max<int64_t>(t.transactionMs, 0));
}

UiaTimeouts uiaTimeouts() { return UiaTimeouts{connectionMs.load(), transactionMs.load()}; }

int64_t uiaCallsTimedOut() { return timedOut.load(); }

int64_t uiaCallsWaiting() { return waiting.load(); }

void setAutomation8Registered(bool registered) { eightRegistered.store(registered); }

}  // namespace simdesk
