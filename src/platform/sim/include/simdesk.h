// Control API of the simulated desktop: what tests, the demo and the Python
// control module use to build the desktop, inject failures and count calls
// and live objects. Core code never includes this header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simwin.h"

#define SIMDESK_API __attribute__((visibility("default")))

namespace simdesk {

// ---- Live objects ---------------------------------------------------------------

struct LiveCounts {
    long com = 0;        // COM objects created by the simulated desktop
    long bstr = 0;       // BSTRs not yet freed
    long safearray = 0;  // SAFEARRAYs not yet destroyed
    long variant = 0;    // VARIANTs the desktop filled with a resource, not yet cleared
};
SIMDESK_API LiveCounts liveCounts();

// ---- Calls and fault injection ------------------------------------------------

// Names of every platform function the desktop provides, in a fixed order.
SIMDESK_API std::vector<std::string> callNames();
// How often the named function was called since the last resetCalls(); -1 for
// an unknown name.
SIMDESK_API int64_t callCount(const std::string& name);
SIMDESK_API void resetCalls();
// How the named function fails: "hresult" (returns the code), "last_error"
// (sets it and returns its failure value), "null" (returns null) or "never"
// (cannot be failed); empty for an unknown name.
SIMDESK_API std::string callKind(const std::string& name);

// Make the named function fail `count` times (-1: until cleared), after
// letting `skip` calls through. HRESULT functions return `code`; functions
// that report through the last error set it to `code` and return their
// failure value. Returns false for an unknown name. `code` may be 0 (S_OK):
// an HRESULT function then returns S_OK without doing its work, and a
// pointer it hands out (element, array, condition, cache request, BSTR,
// SAFEARRAY) comes back null, as a misbehaving provider's would.
SIMDESK_API bool failCall(const std::string& name, int32_t code, int count = 1, int skip = 0);
SIMDESK_API void clearFaults();
// Destroys the window (as destroyWindow) just as the named function is
// entered, after letting `skip` calls of it through: an application closing
// its window at that very moment. Once only; clearFaults() disarms it.
// False for an unknown name or a negative skip.
SIMDESK_API bool destroyWindowOnCall(HWND hwnd, const std::string& name, int skip = 0);
// The same, but the window stops answering (as setWindowHung) instead: an
// application that hangs just as input is sent to it.
SIMDESK_API bool hangWindowOnCall(HWND hwnd, const std::string& name, int skip = 0);

// ---- Windows ------------------------------------------------------------------------

struct WindowDesc {
    HWND parent = nullptr;
    std::u16string className;
    std::u16string text;
    RECT rect{0, 0, 0, 0};
    bool visible = true;  // the window's own WS_VISIBLE
    bool enabled = true;  // the window's own enabled state (no WS_DISABLED)
    bool readOnly = false;  // ES_READONLY: an Edit ignores WM_CHAR, its Value cannot be set
};

struct WindowState {
    HWND handle = nullptr;
    HWND parent = nullptr;
    std::u16string className;
    std::u16string text;
    RECT rect{0, 0, 0, 0};
    bool visible = false;
    bool enabled = false;
    std::vector<HWND> children;  // Z order, top first
    bool readOnly = false;
    bool hung = false;
    bool elevated = false;       // the window's process runs elevated
    RECT client{0, 0, 0, 0};     // the client area, in screen coordinates
    uint64_t clicks = 0;         // a Button's clicks: down, then up inside
    int64_t wheel = 0;           // WM_MOUSEWHEEL deltas, summed
    std::optional<POINT> lastMouse;  // client point of the latest WM_MOUSEMOVE
    size_t queued = 0;           // posted messages waiting for a hung window
    size_t sendersWaiting = 0;   // senders blocked on a hung window
};

// A message posted or sent to a window. `handled`: the window has acted on
// it (false while it waits for a hung window, or when a sender gave up).
struct WindowMessage {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool sent = false;
    bool handled = false;
    // A sender blocked waiting for the hung window to handle it (until the
    // window recovered, went away, or the sender's time ran out).
    bool waited = false;
};

// Creates a window as CreateWindowEx links it: a child below its siblings
// (children come in creation order), a top-level window above every other.
// Returns null when the parent names no window.
SIMDESK_API HWND createWindow(const WindowDesc& desc);
// Destroys the window and its whole subtree. False for a dead handle.
SIMDESK_API bool destroyWindow(HWND hwnd);
// Moves the window under a new parent (null: top level) as its topmost child.
// False for a dead handle, a dead parent, or a parent inside the window's own
// subtree.
SIMDESK_API bool setParent(HWND hwnd, HWND parent);
SIMDESK_API bool setWindowText(HWND hwnd, const std::u16string& text);
SIMDESK_API bool setWindowRect(HWND hwnd, const RECT& rect);
SIMDESK_API bool setWindowVisible(HWND hwnd, bool visible);
SIMDESK_API bool setWindowEnabled(HWND hwnd, bool enabled);
SIMDESK_API bool setWindowReadOnly(HWND hwnd, bool readOnly);
// The client area is the window rectangle shrunk by `inset` (each field a
// margin, default all 0: no frame).
SIMDESK_API bool setClientInset(HWND hwnd, const RECT& inset);
// A hung window stops handling messages: posted ones queue up, senders
// block. Un-hanging handles the blocked sent messages, then the queued
// posted ones, in order.
SIMDESK_API bool setWindowHung(HWND hwnd, bool hung);
// The window's process, and so every window of it, runs elevated (at a
// higher integrity level than the caller): messages posted or sent to its
// windows are refused with ERROR_ACCESS_DENIED and recorded nowhere, while
// reading the windows (WindowFromPoint, GetWindowRect, GetClassNameW,
// GetWindowTextW, enumeration) works as before. UI Automation is left as it
// is (what it does across integrity levels is not documented). False for a
// dead handle.
SIMDESK_API bool setWindowElevated(HWND hwnd, bool elevated);
SIMDESK_API bool windowState(HWND hwnd, WindowState* out);
// Every message posted or sent to the window since it was created or last
// cleared, in order; empty for a dead handle.
SIMDESK_API std::vector<WindowMessage> windowMessages(HWND hwnd);
SIMDESK_API bool clearWindowMessages(HWND hwnd);
// Where SetCursorPos last put the cursor ((0, 0) on a new desktop).
SIMDESK_API POINT cursorPos();
SIMDESK_API std::vector<HWND> topLevelWindows();
// Whether windows created from now on get handles whose 32-bit value has its
// top bit set, sign-extended to 64 bits as a 64-bit process sees such an
// HWND (0xFFFFFFFF8001xxxx); default false. destroyAllWindows turns it off.
SIMDESK_API void setHighHandles(bool on);
// Destroys every window, and with them every element; title bars and high
// handles are off.
SIMDESK_API void destroyAllWindows();

// ---- UI Automation elements -------------------------------------------------------
//
// Every window is an element; its id is the handle's value. Window-less
// elements (the content of a browser or WPF window) can be added under any
// element; their ids start at 1 << 40, below the sign-extended handles, and
// never collide with a handle. An
// element's children are its child windows (Z order, top first) followed by
// its window-less children in the order they were added.

using ElementId = uint64_t;

inline ElementId elementOf(HWND hwnd) { return static_cast<ElementId>(reinterpret_cast<uintptr_t>(hwnd)); }

// Fields left empty keep their value. A window's element reads its name,
// class name, rectangle and enabled state from the window, and its control
// type from its class, until they are given here; then the given value
// stays, whatever the window does later.
struct ElementDesc {
    std::optional<std::u16string> name;
    std::optional<std::u16string> automationId;
    std::optional<std::u16string> className;
    std::optional<int32_t> controlType;
    std::optional<RECT> rect;  // screen edges
    std::optional<bool> enabled;
    std::optional<bool> controlElement;  // false: only in the raw view
    std::optional<int32_t> processId;
    std::optional<std::vector<int32_t>> runtimeId;  // any values, duplicates allowed
    // Pattern ids; replaces the control type's defaults (Button and Hyperlink:
    // Invoke; Edit: Value; ComboBox: ExpandCollapse and Value; List: Scroll
    // and Selection; ListItem: SelectionItem; TreeItem: ExpandCollapse;
    // Document: Scroll; others none).
    std::optional<std::vector<PATTERNID>> patterns;
    // Pattern state. A window's element keeps value and readOnly in its
    // window: they are the window's text and its ES_READONLY.
    std::optional<std::u16string> value;
    std::optional<bool> readOnly;
    std::optional<bool> focusable;  // default true
    std::optional<bool> selected;
    std::optional<ExpandCollapseState> expandState;  // default Collapsed
    std::optional<double> scrollPercent;  // vertical, clamped to 0..100; default 0
};

struct ElementState {
    ElementId id = 0;
    ElementId parent = 0;  // 0 for a top-level window
    HWND window = nullptr;  // null when window-less
    std::u16string name;
    std::u16string automationId;
    std::u16string className;
    int32_t controlType = 0;
    RECT rect{0, 0, 0, 0};
    bool enabled = false;
    bool controlElement = false;
    int32_t processId = 0;
    bool runtimeIdReadable = false;
    std::vector<int32_t> runtimeId;
    std::vector<ElementId> children;  // raw view, hidden windows included
    std::vector<PATTERNID> patterns;
    std::u16string value;
    bool readOnly = false;
    bool focusable = false;
    bool selected = false;
    ExpandCollapseState expandState = ExpandCollapseState_Collapsed;
    double scrollPercent = 0;
    uint64_t invokeCount = 0;  // Invoke calls that succeeded
    uint64_t scrollCount = 0;  // Scroll calls that succeeded
};

// Adds a window-less element as the last window-less child of `parent`.
// Defaults: empty strings, Custom (50025), a zero rectangle, enabled, a
// control element, the host window's process id, the runtime id
// [42, host window, 4, serial]. Returns 0 when `parent` does not exist.
SIMDESK_API ElementId addElement(ElementId parent, const ElementDesc& desc);
// Changes the given fields of any element. False for a dead id.
SIMDESK_API bool setElement(ElementId id, const ElementDesc& desc);
// Removes a window-less element with everything below it. False for a dead
// id, a window's element (destroy the window instead) or a title bar's part.
SIMDESK_API bool removeElement(ElementId id);
SIMDESK_API bool setRuntimeId(ElementId id, const std::vector<int32_t>& runtimeId);
// An element without a readable runtime id is a provider that has none:
// GetRuntimeId gives S_OK and null, a cached RuntimeId is VT_EMPTY.
SIMDESK_API bool setRuntimeIdReadable(ElementId id, bool readable);
SIMDESK_API bool elementState(ElementId id, ElementState* out);
// Whether every top-level window, now and later, shows its title bar (default
// false) as UI Automation's non-client proxy does: the window's first child,
// a TitleBar (automation id "TitleBar", named as the window's title, its top
// 30 pixels) holding the Buttons "Minimize", "Maximize" and "Close" (names
// and automation ids alike, 46 pixels wide at the bar's right end, Close
// rightmost, supporting Invoke, not focusable). They have no windows (Win32
// enumeration never sees them) and runtime ids as addElement gives; their
// names and rectangles follow the window's. Turned off, or when the window
// stops being top-level, they are dropped; removeElement refuses them.
SIMDESK_API void setTitleBars(bool on);
// The element SetFocus last focused (its host window is the focus window);
// 0 when none, or when it is gone.
SIMDESK_API ElementId focusedElement();

// Calls that cross into the target's process (ElementFromHandle, the Find
// calls, current values, GetRuntimeId of a live element, SetFocus,
// GetCurrentPatternAs and every pattern call) are counted
// together, and each takes the configured latency (default 0), spent
// without holding any desktop lock.
SIMDESK_API int64_t crossProcessCalls();
// Elements whose values cache requests have carried back (each found element
// whose own values were cached, and each relative cached with it), since the
// last resetCalls.
SIMDESK_API int64_t cachedElementsTransferred();
SIMDESK_API void setCrossProcessLatency(int64_t nanoseconds);
SIMDESK_API int64_t crossProcessLatency();

// How long CUIAutomation8 waits for a provider whose window's thread does not
// answer (the window or an ancestor is hung) before the call fails with
// UIA_E_TIMEOUT: the connection timeout for obtaining an element
// (ElementFromHandle), the transaction timeout for reading from or acting on
// one (Find*, current properties, patterns, SetFocus). Windows waits 2 s and
// 20 s; the desktop waits a hundredth of that unless told otherwise.
struct UiaTimeouts {
    int64_t connectionMs = 20;
    int64_t transactionMs = 200;
};
SIMDESK_API void setUiaTimeouts(const UiaTimeouts& timeouts);
SIMDESK_API UiaTimeouts uiaTimeouts();
// Calls that gave up on a hung provider, and calls waiting for one now.
SIMDESK_API int64_t uiaCallsTimedOut();
SIMDESK_API int64_t uiaCallsWaiting();
// Whether CUIAutomation8 is registered (default true). Unregistered, as on
// a system older than Windows 8, creating it fails with REGDB_E_CLASSNOTREG
// and only CUIAutomation is left, whose calls wait for a hung provider until
// it answers: they never time out.
SIMDESK_API void setAutomation8Registered(bool registered);

// ---- Threads, apartments and message queues -----------------------------------

enum class Apartment { None = 0, Sta = 1, Mta = 2 };

struct ThreadState {
    DWORD id = 0;
    bool alive = false;
    Apartment apartment = Apartment::None;
    int comInitCount = 0;
    bool hasQueue = false;
    size_t queued = 0;             // messages waiting in the queue
    uint64_t waits = 0;            // MsgWaitForMultipleObjects calls
    uint64_t waitTimeouts = 0;     // of which ended by the timeout
    DWORD lastWaitResult = 0;      // result of the latest wait
    uint64_t messagesRemoved = 0;  // messages taken off the queue by PeekMessageW
};

SIMDESK_API std::vector<ThreadState> threads();
SIMDESK_API bool threadState(DWORD id, ThreadState* out);

// Everything back to a new desktop: windows and elements destroyed (with
// every override), cursor at (0, 0), no focus, faults cleared, call and
// cross-process counters reset, latency back to 0, records of ended threads
// dropped, event handlers removed (see resetEvents). Live-object counters are
// not reset: they count what the process still holds.
SIMDESK_API void reset();

// ---- UI Automation events -----------------------------------------------------------
//
// Handlers registered through IUIAutomation::Add*EventHandler are called on
// the desktop's own delivery threads, never on the thread that raised the
// event: several handlers may run at once, while the calls of one
// registration come one after another, in the order the events were raised.
// Changes made through the control API raise what UI Automation would:
// setWindowText, setWindowEnabled, setWindowRect and setElement a property
// change (Name, IsEnabled, BoundingRectangle) when the element's value
// changes; createWindow of a child window, addElement and setTitleBars(true) a
// ChildAdded (sender: the child); destroyWindow of a child window,
// removeElement and setTitleBars(false) a ChildRemoved (sender: the parent,
// runtime id: the removed child's).

// The new value of a property change, as the VARIANT the handler gets:
// VT_EMPTY, VT_BSTR, VT_BOOL, VT_I4, VT_R8|VT_ARRAY or VT_I4|VT_ARRAY.
struct EventValue {
    enum class Kind { Empty, String, Bool, Int, Reals, Ints };
    Kind kind = Kind::Empty;
    std::u16string text;
    bool flag = false;
    int32_t number = 0;
    std::vector<double> reals;
    std::vector<int32_t> ints;

    static EventValue string(std::u16string s) {
        EventValue v;
        v.kind = Kind::String;
        v.text = std::move(s);
        return v;
    }
    static EventValue boolean(bool b) {
        EventValue v;
        v.kind = Kind::Bool;
        v.flag = b;
        return v;
    }
    static EventValue integer(int32_t n) {
        EventValue v;
        v.kind = Kind::Int;
        v.number = n;
        return v;
    }
    static EventValue realArray(std::vector<double> values) {
        EventValue v;
        v.kind = Kind::Reals;
        v.reals = std::move(values);
        return v;
    }
    static EventValue intArray(std::vector<int32_t> values) {
        EventValue v;
        v.kind = Kind::Ints;
        v.ints = std::move(values);
        return v;
    }
};

enum class EventKind { Structure = 0, Property = 1, Focus = 2 };

struct EventRegistration {
    EventKind kind = EventKind::Structure;
    ElementId element = 0;  // 0 for focus handlers, which are desktop-wide
    int scope = 0;          // TreeScope bits; 0 for focus handlers
    std::vector<int32_t> properties;  // property handlers only
};

struct EventStats {
    uint64_t raised = 0;   // events raised since the last reset, matched or not
    uint64_t pending = 0;  // handler calls queued and not yet started
    uint64_t calls = 0;    // handler calls that have returned
    uint64_t structureCalls = 0;  // of them, structure-change handler calls
    int inProgress = 0;    // handler calls running now
};

// Raise an event as a provider would. False (and nothing raised) for a dead
// element. `runtimeId` nullopt gives the handler a null array.
SIMDESK_API bool fireStructureChanged(ElementId sender, StructureChangeType type,
                                      std::optional<std::vector<int32_t>> runtimeId);
SIMDESK_API bool firePropertyChanged(ElementId sender, int32_t propertyId, const EventValue& value);
SIMDESK_API bool fireFocusChanged(ElementId element);

// Waits until every handler call of the events raised so far has returned
// (a call of the waiting thread's own is not waited for). `timeoutMs` < 0
// waits without limit; false when the time ran out.
SIMDESK_API bool waitForEvents(int64_t timeoutMs = -1);
SIMDESK_API std::vector<EventRegistration> eventRegistrations();
SIMDESK_API EventStats eventStats();
// While paused, raised events queue up and no handler is called.
SIMDESK_API void pauseDelivery(bool paused);
// How many delivery threads may call handlers at once (1 to 64, default 4).
// False for a number out of range.
SIMDESK_API bool setDeliveryThreads(int count);
SIMDESK_API int deliveryThreads();
// Whether RemoveAllEventHandlers waits for handler calls already running
// (default true; Windows does not promise it, Wine does not wait).
SIMDESK_API void setRemovalWaits(bool wait);
// Whether RemoveAllEventHandlers leaves the calls already queued to be made
// after it (default false: they are dropped). Windows documents that an event
// in flight may still arrive after the removal returns.
SIMDESK_API void setLateCalls(bool late);
// Part of reset(): removes every registration (releasing its handler), drops
// queued calls, waits for calls in progress (but not one of the calling
// thread), resumes delivery, restores the thread count and the waiting
// removal, and zeroes the stats.
SIMDESK_API void resetEvents();

}  // namespace simdesk
