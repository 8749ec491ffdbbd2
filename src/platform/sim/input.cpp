// user32 input: client coordinates, WindowFromPoint, the cursor, messages
// posted and sent to windows (recorded per window), hung windows, and the
// standard controls that react to mouse and keyboard messages.
#include <algorithm>
#include <chrono>

#include "desktop.h"

namespace simdesk::detail {

RECT clientRect(const Window& w) {
    const RECT& r = w.rect;
    const RECT& in = w.clientInset;
    return RECT{r.left + in.left, r.top + in.top, r.right - in.right, r.bottom - in.bottom};
}

void resetInput() {
    std::lock_guard<std::mutex> g(desk().m);
    desk().cursor = POINT{0, 0};
    desk().focused = 0;
    desk().elevatedProcesses.clear();
}

bool elevated(const Window& w) { return desk().elevatedProcesses.count(w.elem.processId) != 0; }

namespace {

// Left and top edges are inside, right and bottom ones outside.
bool contains(const RECT& r, POINT p) { return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom; }

// A mouse message's client point: two signed 16-bit values.
POINT pointOf(LPARAM lParam) {
    return POINT{static_cast<SHORT>(LOWORD(lParam)), static_cast<SHORT>(HIWORD(lParam))};
}

// An Edit's WM_CHAR: UTF-16 units go in as given, so a surrogate pair sent
// as two messages arrives as a pair; backspace takes the last unit back.
// The window's element raises a Value change.
void typeInto(Window& w, char16_t unit) {
    PropertyWatch watch(w.elem);
    if (unit == 8) {
        if (!w.text.empty()) w.text.pop_back();
    } else if (unit >= 0x20 && unit != 0x7F) {
        w.text.push_back(unit);
    }
    watch.raise();
}

// The window procedure: every window takes wheel and mouse-move messages;
// Buttons and Edits react as the standard controls do. Caller holds desk().m.
LRESULT windowProc(Window& w, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_LBUTTONDOWN:
            // The button captures the mouse and shows itself pushed. It does
            // not look at its own enabled state: only the system's mouse
            // routing keeps real clicks from a disabled window.
            if (sameClass(w.className, "Button")) w.buttonDown = true;
            break;
        case WM_LBUTTONUP:
            if (w.buttonDown) {
                w.buttonDown = false;
                // A click only when released inside.
                const RECT c = clientRect(w);
                if (contains(RECT{0, 0, c.right - c.left, c.bottom - c.top}, pointOf(lParam))) ++w.clicks;
            }
            break;
        case WM_CHAR:
            if (!w.readOnly && sameClass(w.className, "Edit")) typeInto(w, static_cast<char16_t>(wParam & 0xFFFF));
            break;
        case WM_GETTEXT: {
            // The window's own text (an Edit's content): at most wParam - 1
            // units and a NUL; the result is the number of units copied.
            auto* buffer = reinterpret_cast<WCHAR*>(lParam);
            if (!buffer || wParam == 0) return 0;
            size_t n = std::min<size_t>(w.text.size(), wParam - 1);
            std::copy_n(w.text.data(), n, buffer);
            buffer[n] = 0;
            return static_cast<LRESULT>(n);
        }
        case WM_GETTEXTLENGTH: return static_cast<LRESULT>(w.text.size());
        case WM_MOUSEWHEEL: w.wheel += static_cast<SHORT>(HIWORD(wParam)); break;
        case WM_MOUSEMOVE: w.lastMouse = pointOf(lParam); break;
        default: break;
    }
    return 0;
}

// Records a message for the window, not yet handled.
MessageRecord recordMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam, bool sent) {
    MessageRecord r{desk().nextMessage++, message, wParam, lParam, sent, false};
    w.messages.push_back(r);
    return r;
}

// The record of a message, unless the records were cleared since.
MessageRecord* recordOf(Window& w, uint64_t serial) {
    auto it = std::lower_bound(w.messages.begin(), w.messages.end(), serial,
                               [](const MessageRecord& r, uint64_t s) { return r.serial < s; });
    return it != w.messages.end() && it->serial == serial ? &*it : nullptr;
}

// Handles a recorded message and marks its record.
LRESULT handle(Window& w, const MessageRecord& m) {
    LRESULT result = windowProc(w, m.message, m.wParam, m.lParam);
    if (MessageRecord* r = recordOf(w, m.serial)) r->handled = true;
    return result;
}

enum class SendOutcome { Handled, NoWindow, Denied, TimedOut };

// User Interface Privilege Isolation: a process may post or send messages
// only to windows of processes at its own integrity level or lower; a
// blocked call fails with ERROR_ACCESS_DENIED (the Remarks of PostMessageW,
// SendMessageW and SendMessageTimeoutW: "When a message is blocked by UIPI
// the last error ... is set to 5 (access denied)"; learn.microsoft.com,
// winuser/nf-winuser-postmessagew). Which few system messages the filter
// lets through is not documented: none get through here. Reading a window
// (class, text, rectangle, hit-testing, enumeration) is not a message and is
// not blocked. UI Automation is left as it is: Microsoft documents only that
// a client needs uiAccess to work with applications of higher privilege
// ("UI Automation Security Overview"), not what its calls then return.
bool blockedByUipi(const Window& w) { return elevated(w); }

// Sends a message and, when the window is hung, waits for it to handle it:
// not at all with `abortIfHung`, else up to `timeoutMs` (INFINITE: until the
// window handles it or is destroyed). A sender that gives up withdraws its
// message: it is never handled.
SendOutcome send(HWND h, UINT message, WPARAM wParam, LPARAM lParam, bool abortIfHung, DWORD timeoutMs,
                 LRESULT* result) {
    std::unique_lock<std::mutex> lk(desk().m);
    Window* w = findWindow(h);
    if (!w) return SendOutcome::NoWindow;
    if (blockedByUipi(*w)) return SendOutcome::Denied;
    MessageRecord m = recordMessage(*w, message, wParam, lParam, true);
    if (!hungWithAncestors(w)) {
        *result = handle(*w, m);
        return SendOutcome::Handled;
    }
    if (abortIfHung || timeoutMs == 0) return SendOutcome::TimedOut;
    // The record says the sender waited: how a caller deals with a hung
    // window shows in it, not only in how long the call took.
    recordOf(*w, m.serial)->waited = true;
    auto pending = std::make_shared<PendingSend>();
    pending->msg = m;
    w->sentWaiting.push_back(pending);
    // The wait releases desk().m, so the window can be un-hung or destroyed
    // while the sender is blocked.
    auto over = [&] { return pending->done || pending->dropped; };
    if (timeoutMs == INFINITE)
        desk().senders.wait(lk, over);
    else
        desk().senders.wait_for(lk, std::chrono::milliseconds(timeoutMs), over);
    if (pending->done) {
        *result = pending->result;
        return SendOutcome::Handled;
    }
    if (pending->dropped) return SendOutcome::NoWindow;
    auto& queue = findWindow(h)->sentWaiting;  // not dropped: the window lives
    queue.erase(std::find(queue.begin(), queue.end(), pending));
    return SendOutcome::TimedOut;
}

}  // namespace
}  // namespace simdesk::detail

// ---- Control API ----

namespace simdesk {

using namespace detail;

namespace {

// What waited for the window and the windows below it that answer again:
// sent messages first, as a thread's message retrieval delivers them before
// it returns a posted one. Caller holds desk().m.
void handleWaiting(Window& w) {
    if (w.hung) return;  // still hung itself, and so is everything below it
    while (!w.sentWaiting.empty()) {
        std::shared_ptr<PendingSend> p = w.sentWaiting.front();
        w.sentWaiting.pop_front();
        p->result = handle(w, p->msg);
        p->done = true;
    }
    while (!w.posted.empty()) {
        MessageRecord m = w.posted.front();
        w.posted.pop_front();
        handle(w, m);
    }
    for (Window* c : w.children) handleWaiting(*c);
}

}  // namespace

bool setWindowHung(HWND h, bool hung) {
    {
        std::lock_guard<std::mutex> g(desk().m);
        Window* w = findWindow(h);
        if (!w) return false;
        w->hung = hung;
        if (!hung && !hungWithAncestors(w)) handleWaiting(*w);
    }
    desk().senders.notify_all();
    return true;
}

std::vector<WindowMessage> windowMessages(HWND h) {
    std::lock_guard<std::mutex> g(desk().m);
    std::vector<WindowMessage> out;
    if (const Window* w = findWindow(h))
        for (const MessageRecord& r : w->messages)
            out.push_back({r.message, r.wParam, r.lParam, r.sent, r.handled, r.waited});
    return out;
}

bool setWindowElevated(HWND h, bool on) {
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    if (!w) return false;
    if (on)
        desk().elevatedProcesses.insert(w->elem.processId);
    else
        desk().elevatedProcesses.erase(w->elem.processId);
    return true;
}

bool clearWindowMessages(HWND h) {
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    if (!w) return false;
    w->messages.clear();
    return true;
}

POINT cursorPos() {
    std::lock_guard<std::mutex> g(desk().m);
    return desk().cursor;
}

}  // namespace simdesk

using namespace simdesk::detail;

// ---- Coordinates and the cursor ----

// The error codes are not documented: a dead window reports
// ERROR_INVALID_WINDOW_HANDLE, a null point ERROR_INVALID_PARAMETER.
SIMAPI BOOL WINAPI ScreenToClient(HWND h, LPPOINT pt) {
    SIM_ENTER(ScreenToClient);
    SIM_FAIL_LE(FALSE);
    std::lock_guard<std::mutex> g(desk().m);
    const Window* w = findWindow(h);
    if (!w) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!pt) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const RECT c = clientRect(*w);
    pt->x -= c.left;
    pt->y -= c.top;
    return TRUE;
}

// The deepest window under the point: top-level windows in Z order, then
// their children in Z order, but only where the point is in the parent's
// client area. Hidden windows are skipped with everything in them, and so
// are disabled child windows (a disabled top-level window is not). Static
// controls' HTTRANSPARENT applies only to the caller's own windows, which
// the desktop's windows never are.
SIMAPI HWND WINAPI WindowFromPoint(POINT pt) {
    SIM_ENTER(WindowFromPoint);
    SIM_FAIL_NULL();
    std::lock_guard<std::mutex> g(desk().m);
    const Window* found = nullptr;
    const std::vector<Window*>* level = &desk().topLevel;
    for (;;) {
        const Window* hit = nullptr;
        for (const Window* w : *level) {
            if (!w->visible || (w->parent && !w->enabled) || !contains(w->rect, pt)) continue;
            hit = w;
            break;
        }
        if (!hit) break;
        found = hit;
        if (!contains(clientRect(*hit), pt)) break;
        level = &hit->children;
    }
    return found ? found->handle : nullptr;
}

// No ClipCursor here, so nothing clamps the point. Moving the cursor sends
// no WM_MOUSEMOVE (Windows versions differ on that).
SIMAPI BOOL WINAPI SetCursorPos(int x, int y) {
    SIM_ENTER(SetCursorPos);
    SIM_FAIL_LE(FALSE);
    std::lock_guard<std::mutex> g(desk().m);
    desk().cursor = POINT{x, y};
    return TRUE;
}

SIMAPI BOOL WINAPI GetCursorPos(LPPOINT pt) {
    SIM_ENTER(GetCursorPos);
    SIM_FAIL_LE(FALSE);
    if (!pt) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(desk().m);
    *pt = desk().cursor;
    return TRUE;
}

// ---- Posted and sent messages ----

// Handled at once, as the window's thread would, unless the window is hung:
// then the message waits in its queue. A null window posts to the calling
// thread, as PostThreadMessageW does.
SIMAPI BOOL WINAPI PostMessageW(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
    SIM_ENTER(PostMessageW);
    SIM_FAIL_LE(FALSE);
    if (!h) {
        DWORD error = postToThread(currentThread(), true, message, wParam, lParam);
        if (error) setLastError(error);
        return error ? FALSE : TRUE;
    }
    // A message that carries a buffer can only be sent: posted, the buffer
    // could be gone before the window writes to it.
    if (message == WM_GETTEXT) {
        setLastError(ERROR_MESSAGE_SYNC_ONLY);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(desk().m);
    Window* w = findWindow(h);
    if (!w) {
        setLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (blockedByUipi(*w)) {
        setLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (w->posted.size() >= kPostedLimit) {
        setLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    MessageRecord m = recordMessage(*w, message, wParam, lParam, false);
    if (hungWithAncestors(w))
        w->posted.push_back(m);
    else
        handle(*w, m);
    return TRUE;
}

// A hung window blocks the sender until it recovers, as Windows would
// forever; a window destroyed meanwhile fails the call with
// ERROR_INVALID_WINDOW_HANDLE.
SIMAPI LRESULT WINAPI SendMessageW(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
    SIM_ENTER(SendMessageW);
    SIM_FAIL_LE(0);
    LRESULT result = 0;
    switch (send(h, message, wParam, lParam, false, INFINITE, &result)) {
        case SendOutcome::Handled: break;
        case SendOutcome::Denied: setLastError(ERROR_ACCESS_DENIED); break;
        default: setLastError(ERROR_INVALID_WINDOW_HANDLE); break;
    }
    return result;
}

// SMTO_ABORTIFHUNG on a hung window fails at once with ERROR_TIMEOUT (the
// code of that path is not documented). A message not handled in time is
// withdrawn rather than handled later.
SIMAPI LRESULT WINAPI SendMessageTimeoutW(HWND h, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                                          UINT timeoutMs, PDWORD_PTR result) {
    SIM_ENTER(SendMessageTimeoutW);
    SIM_FAIL_LE(0);
    LRESULT r = 0;
    switch (send(h, message, wParam, lParam, (flags & SMTO_ABORTIFHUNG) != 0, timeoutMs, &r)) {
        case SendOutcome::Handled:
            if (result) *result = static_cast<DWORD_PTR>(r);
            return TRUE;
        case SendOutcome::NoWindow:
            if (result) *result = 0;  // as Windows does for a null window
            setLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        case SendOutcome::Denied: setLastError(ERROR_ACCESS_DENIED); return 0;
        case SendOutcome::TimedOut: break;
    }
    setLastError(ERROR_TIMEOUT);
    return 0;
}
