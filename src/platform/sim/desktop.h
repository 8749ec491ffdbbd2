// The desktop's window tree and the UI Automation elements on it. Windows and
// elements share one mutex, desk().m, so that a tree walk sees one consistent
// state and there is no lock order to get wrong. Nothing here calls out to a
// user callback while the mutex is held.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "internal.h"

namespace simdesk::detail {

struct Window;

// The parts of a top-level window's title bar, which the non-client area's
// proxy provides: elements without windows whose name and rectangle follow
// the window's.
enum class TitleBarPart : uint8_t { None, Bar, Minimize, Maximize, Close };

// One UI Automation element: the element of a window, or a window-less one
// (the content of a browser or WPF window) added under another element.
struct Node {
    // The overridable properties of a window's element: a flagged field
    // replaces what the window itself has. A window-less element has every
    // flag but ProcessId set; without that flag it inherits its host's.
    enum : uint16_t {
        kName = 1,
        kClassName = 2,
        kControlType = 4,
        kRect = 8,
        kEnabled = 16,
        kProcessId = 32,
        kRuntimeId = 64,
        kPatterns = 128,
    };

    ElementId id = 0;
    Window* window = nullptr;  // the window this element is; null when window-less
    Window* host = nullptr;    // the nearest window at or above the element
    Node* parent = nullptr;    // window-less only: the element it was added under
    std::vector<Node*> extra;  // window-less children, in insertion order
    uint16_t set = 0;
    bool controlElement = true;
    bool runtimeIdReadable = true;
    TitleBarPart titleBarPart = TitleBarPart::None;
    int32_t controlType = UIA_CustomControlTypeId;
    int32_t processId = 0;  // a window's own; a window-less one's only with kProcessId
    std::u16string name;
    std::u16string automationId;
    std::u16string className;
    RECT rect{0, 0, 0, 0};
    bool enabled = true;
    std::vector<int32_t> runtimeId;  // used with kRuntimeId
    std::vector<PATTERNID> patterns;  // used with kPatterns

    // Pattern state. A window's element keeps its Value in the window (its
    // text and read-only flag), so typing and SetValue change the same text.
    std::u16string value;
    bool readOnly = false;
    bool focusable = true;
    bool selected = false;
    ExpandCollapseState expandState = ExpandCollapseState_Collapsed;
    double scrollPercent = 0;
    uint64_t invokeCount = 0;
    uint64_t scrollCount = 0;

    std::u16string_view nameValue() const;
    std::u16string_view classNameValue() const;
    int32_t controlTypeValue() const;
    RECT rectValue() const;
    bool enabledValue() const;
    int32_t processIdValue() const;
    LONG nativeWindowHandle() const;
    // The runtime id, as a view of the stored one or of `local`; false when
    // the element has none that can be read.
    bool runtimeIdValue(int32_t (&local)[2], const int32_t** data, size_t* size) const;
    // The given patterns, or those the control type has by default.
    std::span<const PATTERNID> patternsValue() const;
    bool supports(PATTERNID pattern) const;
    std::u16string_view valueValue() const;
    bool readOnlyValue() const;
    void setValue(std::u16string_view v);
    // The element this one is a child of; null for a top-level window.
    Node* parentNode() const;
    // The i-th child in the raw view, null past the last: a window's title
    // bar, its child windows' elements (Z order), then window-less children.
    Node* childAt(size_t i) const;
    template <class F>
    void forEachChild(F&& f) const;
};

// A message posted or sent to a window, as recorded for the control API.
struct MessageRecord {
    uint64_t serial = 0;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool sent = false;
    bool handled = false;
    bool waited = false;  // a sender blocked on it while the window was hung
};

// A message sent to a hung window: its sender waits (on desk().senders)
// until the window handles it, goes away, or the sender gives up.
struct PendingSend {
    MessageRecord msg;
    LRESULT result = 0;
    bool done = false;
    bool dropped = false;  // the window was destroyed first
};

struct Window {
    HWND handle = nullptr;
    Window* parent = nullptr;
    std::vector<Window*> children;  // Z order, top first
    std::u16string className;
    std::u16string text;
    RECT rect{0, 0, 0, 0};
    bool visible = true;
    bool enabled = true;
    int32_t classControlType = 0;  // what the Win32 proxy makes of the class; 0: none
    Node elem;
    // A top-level window's title bar while the desktop shows them (owned by
    // desk().elements); its buttons are its window-less children.
    Node* titleBar = nullptr;

    // Input. The client area is the window rectangle less the inset.
    RECT clientInset{0, 0, 0, 0};
    bool readOnly = false;  // ES_READONLY
    bool hung = false;
    std::vector<MessageRecord> messages;                  // every one, in order
    std::deque<MessageRecord> posted;                     // waiting while hung
    std::deque<std::shared_ptr<PendingSend>> sentWaiting;  // waiting while hung
    bool buttonDown = false;  // a Button between WM_LBUTTONDOWN and WM_LBUTTONUP
    uint64_t clicks = 0;
    int64_t wheel = 0;
    std::optional<POINT> lastMouse;

    Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    // Destroyed under desk().m: senders still waiting learn the window is
    // gone (the destroyer wakes them).
    ~Window() {
        for (auto& p : sentWaiting) p->dropped = true;
    }
};

struct Desktop {
    std::mutex m;
    std::unordered_map<uintptr_t, std::unique_ptr<Window>> windows;
    std::vector<Window*> topLevel;  // Z order, top first
    // Handles are never reused, never 0, and are 32-bit values, as HWNDs are;
    // with highHandles their top bit is set, and they are sign-extended.
    uintptr_t nextHandle = 0x10010;
    bool highHandles = false;
    // Window-less elements, by id; their ids never collide with handles.
    std::unordered_map<ElementId, std::unique_ptr<Node>> elements;
    ElementId nextElement = ElementId(1) << 40;
    int32_t nextSerial = 1;
    bool titleBars = false;  // top-level windows show their title bars
    // Process ids are multiples of four, as on Windows.
    int32_t nextProcessId = 0x1000;

    // Processes (by id) that run elevated: a higher integrity level than the
    // caller's.
    std::unordered_set<int32_t> elevatedProcesses;

    POINT cursor{0, 0};
    ElementId focused = 0;
    uint64_t nextMessage = 1;
    // Senders blocked on hung windows wait here, with desk().m released.
    std::condition_variable senders;
};

Desktop& desk();

// Caller holds desk().m.
Window* findWindow(HWND h);
Node* findNode(ElementId id);
bool visibleWithAncestors(const Window* w);
// Whether the thread behind the window does not answer: a child window shares
// its ancestors' thread (one application thread, as a dialog's controls do),
// so a hung ancestor hangs it too.
bool hungWithAncestors(const Window* w);
// Drops the window-less elements below `n` (not `n` itself).
void dropElementsBelow(Node* n);
// Gives the window its title bar, or takes it away, as the desktop's option
// and the window's place (top level or not) say.
void syncTitleBar(Window& w);
// Takes the window's title bar away, if it has one, with no event raised.
void dropTitleBar(Window& w);
// The control type the Win32 proxies give a window class (0: none).
int32_t controlTypeOfClass(const std::u16string& className);
// A window's client area in screen coordinates.
RECT clientRect(const Window& w);
// Window class names compare without case.
bool sameClass(const std::u16string& a, const char* b);
// Whether the window belongs to an elevated process.
bool elevated(const Window& w);
// The title the window system keeps for a window, which other processes read.
std::u16string_view storedTitle(const Window& w);

template <class F>
void Node::forEachChild(F&& f) const {
    for (size_t i = 0; Node* c = childAt(i); ++i) f(*c);
}

// GetCurrentPatternAs for a live element: the pattern object (which keeps
// `owner` alive) in `*out`, or S_OK and null when the element does not
// support the pattern. Called without desk().m.
HRESULT patternObject(IUnknown* owner, ElementId id, PATTERNID pattern, REFIID riid, void** out, Patience patience);
// SetFocus for a live element. Called without desk().m.
HRESULT focusElement(ElementId id);

// ---- UI Automation events (events.cpp) ----
// Raising only queues the calls: handlers run later on delivery threads, so
// the raisers below are called with desk().m held.

// The element above `n` in the raw view; null at the top.
const Node* parentOf(const Node& n);
// The runtime id a structure change carries for `n`; nullopt when unreadable.
std::optional<std::vector<int32_t>> runtimeIdOf(const Node& n);
void raiseStructureChanged(const Node& sender, StructureChangeType type,
                           const std::optional<std::vector<int32_t>>& runtimeId);
void raisePropertyChanged(const Node& sender, PROPERTYID id, const EventValue& value);
// The VARIANT is copied; the caller keeps it.
void raisePropertyChanged(const Node& sender, PROPERTYID id, const VARIANT& value);
void raiseFocusChanged(const Node& element);

// Remembers an element's Name, IsEnabled, BoundingRectangle and, with the
// Value pattern, its Value; raise() raises a property change for each one
// that differs now.
class PropertyWatch {
public:
    explicit PropertyWatch(const Node& n);
    void raise() const;

private:
    const Node& node_;
    std::u16string name_;
    bool enabled_;
    RECT rect_;
    std::optional<std::u16string> value_;
};

// IUIAutomation::Add*EventHandler and RemoveAllEventHandlers, after their
// pointer checks and injected faults. No lock held.
// `patience`: the registering UI Automation object's, which the senders keep.
HRESULT addEventHandler(EventKind kind, IUIAutomationElement* element, int scope,
                        IUIAutomationCacheRequest* request, IUnknown* handler, SAFEARRAY* properties,
                        Patience patience);
void removeAllEventHandlers();

// From uia.cpp, for events.cpp. The live element an element object stands
// for: E_FAIL for a foreign object, UIA_E_INVALIDOPERATION for one without a
// live reference.
HRESULT elementTarget(IUIAutomationElement* element, ElementId* id);
// What a cache request caches (null: the default request); E_FAIL when it is
// foreign.
HRESULT requestSettings(IUIAutomationCacheRequest* request, std::vector<PROPERTYID>* props, bool* full);
// A new element object for `n` carrying the values of `props` as they are
// now. Caller holds desk().m.
IUIAutomationElement* newElementObject(const Node& n, const std::vector<PROPERTYID>& props, bool full,
                                       Patience patience);

}  // namespace simdesk::detail
