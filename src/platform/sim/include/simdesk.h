// Control API of the simulated desktop: what tests, the demo and the Python
// control module use to build the desktop, inject failures and count calls
// and live objects. Core code never includes this header.
#pragma once

#include <cstdint>
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

// Make the named function fail `count` times (-1: until cleared), after
// letting `skip` calls through. HRESULT functions return `code`; functions
// that report through the last error set it to `code` and return their
// failure value. Returns false for an unknown name.
SIMDESK_API bool failCall(const std::string& name, int32_t code, int count = 1, int skip = 0);
SIMDESK_API void clearFaults();

// ---- Windows ------------------------------------------------------------------------

struct WindowDesc {
    HWND parent = nullptr;
    std::u16string className;
    std::u16string text;
    RECT rect{0, 0, 0, 0};
    bool visible = true;  // the window's own WS_VISIBLE
    bool enabled = true;  // the window's own enabled state (no WS_DISABLED)
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
};

// Creates a window as the topmost child of desc.parent (null: top level).
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
SIMDESK_API bool windowState(HWND hwnd, WindowState* out);
SIMDESK_API std::vector<HWND> topLevelWindows();
SIMDESK_API void destroyAllWindows();

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

// Everything back to a new desktop: windows destroyed, faults cleared, call
// counters reset, records of ended threads dropped. Live-object counters are
// not reset: they count what the process still holds.
SIMDESK_API void reset();

}  // namespace simdesk
