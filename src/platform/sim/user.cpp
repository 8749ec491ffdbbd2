// user32: the window tree and the per-thread message queues.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "desktop.h"

namespace simdesk::detail {

Desktop& desk() {
    static Desktop* d = new Desktop;
    return *d;
}

Window* findWindow(HWND h) {
    auto it = desk().windows.find(reinterpret_cast<uintptr_t>(h));
    return it == desk().windows.end() ? nullptr : it->second.get();
}

bool visibleWithAncestors(const Window* w) {
    for (; w; w = w->parent)
        if (!w->visible) return false;
    return true;
}

bool hungWithAncestors(const Window* w) {
    for (; w; w = w->parent)
        if (w->hung) return true;
    return false;
}

namespace {

std::vector<Window*>& siblingsOf(Window* w) { return w->parent ? w->parent->children : desk().topLevel; }

void unlink(Window* w) {
    auto& sib = siblingsOf(w);
    sib.erase(std::remove(sib.begin(), sib.end(), w), sib.end());
}

void destroyTree(Window* w) {
    for (Window* c : std::vector<Window*>(w->children)) destroyTree(c);
    dropElementsBelow(&w->elem);
    desk().windows.erase(reinterpret_cast<uintptr_t>(w->handle));
}

void offset(RECT& r, LONG dx, LONG dy) {
    r.left += dx;
    r.right += dx;
    r.top += dy;
    r.bottom += dy;
}

// What a window holds moves with it: its child windows and the window-less
// elements that keep rectangles of their own (the rest follow their window).
void moveContents(Window& moved, LONG dx, LONG dy) {
    if (!dx && !dy) return;
    std::vector<Node*> stack{&moved.elem};
    while (!stack.empty()) {
        Node* n = stack.back();
        stack.pop_back();
        for (Node* e : n->extra) {
            if (e->set & Node::kRect) offset(e->rect, dx, dy);
            stack.push_back(e);
        }
        if (!n->window) continue;
        for (Window* c : n->window->children) {
            offset(c->rect, dx, dy);
            if (c->elem.set & Node::kRect) offset(c->elem.rect, dx, dy);
            stack.push_back(&c->elem);
        }
    }
}

void collect(const Window* w, std::vector<HWND>& out) {
    for (const Window* c : w->children) {
        out.push_back(c->handle);
        collect(c, out);
    }
}

}  // namespace

}  // namespace simdesk::detail

// ---- Control API ----

namespace simdesk {

using namespace detail;

HWND createWindow(const WindowDesc& desc) {
    std::lock_guard<std::mutex> g(desk().m);
    Window* parent = nullptr;
    if (desc.parent) {
        parent = findWindow(desc.parent);
        if (!parent) return nullptr;
    }
    auto w = std::make_unique<Window>();
    uint32_t value = static_cast<uint32_t>(desk().nextHandle);
    if (desk().highHandles) value |= 0x80000000u;
    w->handle = reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(value)));
    desk().nextHandle += 2;
    w->parent = parent;
    w->className = desc.className;
    w->text = desc.text;
    w->rect = desc.rect;
    w->visible = desc.visible;
    w->enabled = desc.enabled;
    w->readOnly = desc.readOnly;
    w->classControlType = controlTypeOfClass(w->className);
    w->elem.id = reinterpret_cast<uintptr_t>(w->handle);
    w->elem.window = w.get();
    w->elem.host = w.get();
    // A child window belongs to its parent's process; each top-level window
    // stands for a process of its own.
    if (parent) {
        w->elem.processId = parent->elem.processId;
    } else {
        w->elem.processId = desk().nextProcessId;
        desk().nextProcessId += 4;
    }
    // As CreateWindowEx links them: a new top-level window on top, a new
    // child below its siblings (so children enumerate in creation order).
    if (parent)
        parent->children.push_back(w.get());
    else
        desk().topLevel.insert(desk().topLevel.begin(), w.get());
    HWND h = w->handle;
    Window* made = w.get();
    desk().windows[reinterpret_cast<uintptr_t>(h)] = std::move(w);
    syncTitleBar(*made);
    // A top-level window's parent is the desktop, which has no element here.
    // IUIAutomationStructureChangedEventHandler::HandleStructureChangedEvent:
    // the runtime id is used only for ChildRemoved, and null otherwise.
    if (parent) raiseStructureChanged(made->elem, StructureChangeType_ChildAdded, std::nullopt);
    return h;
}

bool destroyWindow(HWND h) {
    {
        std::lock_guard<std::mutex> g(desk().m);
        Window* w = findWindow(h);
        if (!w) return false;
        if (w->parent) raiseStructureChanged(w->parent->elem, StructureChangeType_ChildRemoved, runtimeIdOf(w->elem));
        unlink(w);
        destroyTree(w);
    }
    desk().senders.notify_all();  // senders blocked on a hung window in the tree
    return true;
}

bool setParent(HWND h, HWND parentHandle) {
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    if (!w) return false;
    Window* parent = nullptr;
    if (parentHandle) {
        parent = findWindow(parentHandle);
        if (!parent) return false;
        for (Window* p = parent; p; p = p->parent)
            if (p == w) return false;
    }
    unlink(w);
    w->parent = parent;
    auto& sib = siblingsOf(w);
    sib.insert(sib.begin(), w);
    syncTitleBar(*w);  // only a top-level window has one
    return true;
}

template <class F>
static bool withWindow(HWND h, F f) {
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    if (!w) return false;
    f(*w);
    return true;
}

bool setWindowText(HWND h, const std::u16string& text) {
    return withWindow(h, [&](Window& w) {
        PropertyWatch watch(w.elem);
        w.text = text;
        watch.raise();
    });
}
bool setWindowRect(HWND h, const RECT& rect) {
    return withWindow(h, [&](Window& w) {
        PropertyWatch watch(w.elem);
        moveContents(w, rect.left - w.rect.left, rect.top - w.rect.top);
        w.rect = rect;
        // Windows raises EVENT_OBJECT_LOCATIONCHANGE for the window moved,
        // which UI Automation hands on as its BoundingRectangle change
        // (Microsoft Learn, UI Automation and Microsoft Active Accessibility);
        // what moved with it raises nothing of its own.
        watch.raise();
    });
}
// The MSAA proxy's mapping (Microsoft Learn, UI Automation and Microsoft
// Active Accessibility): EVENT_OBJECT_SHOW is a ChildAdded sent by the
// window shown, EVENT_OBJECT_HIDE a ChildRemoved sent by its parent with the
// hidden window's runtime id. A top-level window's parent is the desktop,
// which has no element here.
bool setWindowVisible(HWND h, bool visible) {
    return withWindow(h, [&](Window& w) {
        if (w.visible == visible) return;
        w.visible = visible;
        if (!w.parent) return;
        if (visible)
            raiseStructureChanged(w.elem, StructureChangeType_ChildAdded, std::nullopt);
        else
            raiseStructureChanged(w.parent->elem, StructureChangeType_ChildRemoved, runtimeIdOf(w.elem));
    });
}
bool setWindowEnabled(HWND h, bool enabled) {
    return withWindow(h, [&](Window& w) {
        PropertyWatch watch(w.elem);
        w.enabled = enabled;
        if (!enabled) w.buttonDown = false;  // disabling takes the mouse capture away
        watch.raise();
    });
}
bool setWindowReadOnly(HWND h, bool readOnly) {
    return withWindow(h, [&](Window& w) { w.readOnly = readOnly; });
}
bool setClientInset(HWND h, const RECT& inset) {
    return withWindow(h, [&](Window& w) { w.clientInset = inset; });
}

bool windowState(HWND h, WindowState* out) {
    return withWindow(h, [&](Window& w) {
        out->handle = w.handle;
        out->parent = w.parent ? w.parent->handle : nullptr;
        out->className = w.className;
        out->text = w.text;
        out->rect = w.rect;
        out->visible = w.visible;
        out->enabled = w.enabled;
        out->children.clear();
        for (Window* c : w.children) out->children.push_back(c->handle);
        out->readOnly = w.readOnly;
        out->hung = w.hung;
        out->elevated = elevated(w);
        out->client = clientRect(w);
        out->clicks = w.clicks;
        out->wheel = w.wheel;
        out->lastMouse = w.lastMouse;
        out->queued = w.posted.size();
        out->sendersWaiting = w.sentWaiting.size();
    });
}

std::vector<HWND> topLevelWindows() {
    std::lock_guard<std::mutex> g(desk().m);
    std::vector<HWND> out;
    for (Window* w : desk().topLevel) out.push_back(w->handle);
    return out;
}

void setHighHandles(bool on) {
    std::lock_guard<std::mutex> g(desk().m);
    desk().highHandles = on;
}

void destroyAllWindows() {
    {
        std::lock_guard<std::mutex> g(desk().m);
        desk().elements.clear();
        desk().windows.clear();
        desk().topLevel.clear();
        desk().titleBars = false;
        desk().highHandles = false;
    }
    desk().senders.notify_all();
}

}  // namespace simdesk

using namespace simdesk::detail;

// ---- Window functions ----

SIMAPI BOOL WINAPI EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lParam) {
    SIM_ENTER(EnumChildWindows);
    SIM_FAIL_LE(FALSE);
    std::vector<HWND> list;
    {
        std::lock_guard<std::mutex> g(desk().m);
        if (!parent) {
            // As EnumWindows: the top-level windows.
            for (Window* w : desk().topLevel) list.push_back(w->handle);
        } else {
            Window* w = findWindow(parent);
            if (!w) {
                setLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            collect(w, list);  // depth-first pre-order, Z order among siblings
        }
    }
    if (list.empty() || !proc) return FALSE;
    // The callback runs without the desktop lock; windows destroyed during
    // the walk are skipped, windows created during it are not visited.
    for (HWND h : list) {
        {
            std::lock_guard<std::mutex> g(desk().m);
            if (!findWindow(h)) continue;
        }
        if (!proc(h, lParam)) return FALSE;
    }
    return TRUE;
}

// Copies up to max-1 units and a terminator; the count copied.
static int copyOut(std::u16string_view s, LPWSTR buf, int max) {
    int n = std::min<int>((int)s.size(), max - 1);
    if (n > 0) std::memcpy(buf, s.data(), (size_t)n * sizeof(WCHAR));  // an empty view may hold null
    buf[n] = 0;
    return n;
}

SIMAPI int WINAPI GetClassNameW(HWND h, LPWSTR buf, int max) {
    SIM_ENTER(GetClassNameW);
    SIM_FAIL_LE(0);
    if (!buf || max <= 0) return 0;
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    if (!w) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return copyOut(w->className, buf, max);
}

// The windows belong to other processes, so the text is the title the system
// stores for the window (no WM_GETTEXT is sent). An Edit keeps its text
// itself and leaves no title with the system: another process reads none.
SIMAPI int WINAPI GetWindowTextW(HWND h, LPWSTR buf, int max) {
    SIM_ENTER(GetWindowTextW);
    SIM_FAIL_LE(0);
    if (!buf || max <= 0) return 0;
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    if (!w) {
        buf[0] = 0;
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return copyOut(storedTitle(*w), buf, max);
}

SIMAPI BOOL WINAPI GetWindowRect(HWND h, LPRECT rect) {
    SIM_ENTER(GetWindowRect);
    SIM_FAIL_LE(FALSE);
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    if (!w) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!rect) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *rect = w->rect;
    return TRUE;
}

SIMAPI BOOL WINAPI IsWindow(HWND h) {
    SIM_ENTER(IsWindow);
    SIM_FAIL_LE(FALSE);
    std::lock_guard<std::mutex> g(desk().m);
    return findWindow(h) ? TRUE : FALSE;
}

// GetAncestor (Microsoft Learn, winuser/nf-winuser-getancestor): GA_PARENT
// is the parent window, GA_ROOT the top-level window at the end of the
// parent chain, GA_ROOTOWNER the same here, since the desktop's windows
// have no owners. The desktop keeps no desktop window object, so the parent
// of a top-level window is null (on Windows it is the desktop window).
SIMAPI HWND WINAPI GetAncestor(HWND h, UINT flags) {
    SIM_ENTER(GetAncestor);
    SIM_FAIL_LE(nullptr);
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    if (!w) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    switch (flags) {
        case GA_PARENT: return w->parent ? w->parent->handle : nullptr;
        case GA_ROOT:
        case GA_ROOTOWNER:
            while (w->parent) w = w->parent;
            return w->handle;
        default: setLastError(ERROR_INVALID_PARAMETER); return nullptr;  // unverified: undocumented flags
    }
}

// Only the window's own state: a disabled parent does not disable it.
SIMAPI BOOL WINAPI IsWindowEnabled(HWND h) {
    SIM_ENTER(IsWindowEnabled);
    SIM_FAIL_LE(FALSE);
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    return w && w->enabled ? TRUE : FALSE;
}

// Visible only when the window and every ancestor are.
SIMAPI BOOL WINAPI IsWindowVisible(HWND h) {
    SIM_ENTER(IsWindowVisible);
    SIM_FAIL_LE(FALSE);
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    return w && visibleWithAncestors(w) ? TRUE : FALSE;
}

// ---- Message queues ----

SIMAPI DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                              DWORD ms, DWORD wakeMask) {
    SIM_ENTER(MsgWaitForMultipleObjects);
    SIM_FAIL_LE(WAIT_FAILED);
    (void)handles;
    (void)waitAll;
    if (count != 0) {
        // The desktop has no waitable kernel objects.
        setLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    ThreadData& t = currentThread();
    std::unique_lock<std::mutex> lk(t.m);
    t.hasQueue = true;
    ++t.waits;
    // Only input that arrived since the queue was last looked at wakes the
    // wait; posted messages match any mask that includes posted messages.
    auto ready = [&] { return t.newInput && (wakeMask & 0x0108); };
    bool woke;
    if (ms == INFINITE) {
        t.cv.wait(lk, ready);
        woke = true;
    } else {
        woke = t.cv.wait_for(lk, std::chrono::milliseconds(ms), ready);
    }
    DWORD result = woke ? WAIT_OBJECT_0 : (DWORD)WAIT_TIMEOUT;
    if (!woke) ++t.waitTimeouts;
    t.lastWaitResult = result;
    return result;
}

SIMAPI BOOL WINAPI PeekMessageW(LPMSG msg, HWND hwnd, UINT minFilter, UINT maxFilter, UINT remove) {
    SIM_ENTER(PeekMessageW);
    SIM_FAIL_LE(FALSE);
    ThreadData& t = currentThread();
    std::lock_guard<std::mutex> lk(t.m);
    t.hasQueue = true;
    t.newInput = false;  // what is in the queue now is "seen"
    for (auto it = t.queue.begin(); it != t.queue.end(); ++it) {
        bool rangeOk = (minFilter == 0 && maxFilter == 0) || (it->message >= minFilter && it->message <= maxFilter);
        bool windowOk = !hwnd || (hwnd == reinterpret_cast<HWND>(-1) ? it->hwnd == nullptr : it->hwnd == hwnd);
        if (!rangeOk || !windowOk) continue;
        if (msg) *msg = *it;
        if (remove & PM_REMOVE) {
            t.queue.erase(it);
            ++t.removed;
        }
        return TRUE;
    }
    return FALSE;
}

SIMAPI BOOL WINAPI TranslateMessage(const MSG* msg) {
    SIM_ENTER(TranslateMessage);
    // Only key messages are translated.
    if (!msg) return FALSE;
    UINT m = msg->message;
    return (m == 0x0100 || m == 0x0101 || m == 0x0104 || m == 0x0105) ? TRUE : FALSE;
}

SIMAPI LRESULT WINAPI DispatchMessageW(const MSG* msg) {
    SIM_ENTER(DispatchMessageW);
    SIM_FAIL_LE(0);
    // Thread messages have no window procedure to go to.
    if (!msg || !msg->hwnd) return 0;
    std::lock_guard<std::mutex> g(desk().m);
    if (!findWindow(msg->hwnd)) setLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
}

DWORD simdesk::detail::postToThread(ThreadData& t, bool own, UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard<std::mutex> lk(t.m);
        if (own) t.hasQueue = true;
        if (!t.alive || !t.hasQueue) return ERROR_INVALID_THREAD_ID;
        if (t.queue.size() >= kPostedLimit) return ERROR_NOT_ENOUGH_QUOTA;
        MSG m{};
        m.hwnd = nullptr;
        m.message = message;
        m.wParam = wParam;
        m.lParam = lParam;
        t.queue.push_back(m);
        t.newInput = true;
    }
    t.cv.notify_all();
    return 0;
}

SIMAPI BOOL WINAPI PostThreadMessageW(DWORD id, UINT message, WPARAM wParam, LPARAM lParam) {
    SIM_ENTER(PostThreadMessageW);
    SIM_FAIL_LE(FALSE);
    auto t = findThread(id);
    DWORD error = t ? postToThread(*t, false, message, wParam, lParam) : ERROR_INVALID_THREAD_ID;
    if (error) setLastError(error);
    return error ? FALSE : TRUE;
}
