#include "perception/win32_snapshot.h"

#include <vector>

#include "core/native_core.h"
#include "perception/cache_manager.h"
#include "platform/boundary.h"
#include "perception/snapshot_store.h"
#include "perception/window_classes.h"

namespace Ostrand {

namespace {

struct Enumeration {
    std::vector<WindowInfo> windows;
    HRESULT hr = S_OK;
};

// Called by the window system: a native error stops the enumeration here
// instead of unwinding through user32.
BOOL CALLBACK appendWindowInfo(HWND window, LPARAM context) {
    auto* e = reinterpret_cast<Enumeration*>(context);
    e->hr = guardedCall([&] { e->windows.push_back(collectWindowInfo(window)); },
                        [](const char* what) { NativeCore::instance().logCaught("EnumChildWindows", what); });
    return SUCCEEDED(e->hr);
}

// The target always; others only when visible and not empty in both
// directions (a visible window of width 0 but some height is kept).
bool worthReporting(const WindowInfo& info, HWND target) {
    if (info.handle == target) return true;
    if (!info.visible) return false;
    return info.rect.right - info.rect.left > 0 || info.rect.bottom - info.rect.top > 0;
}

}  // namespace

WindowInfo collectWindowInfo(HWND window) {
    WindowInfo info;
    info.handle = window;
    info.enabled = IsWindowEnabled(window) != FALSE;
    info.visible = IsWindowVisible(window) != FALSE;
    info.key = keyFromHwnd(window);
    // Zero-filled, so a failing call leaves an empty text; the returned
    // length is not trusted, the first NUL ends the text.
    WCHAR text[512] = {};
    GetWindowTextW(window, text, 512);
    info.text.assign(text);
    // A title cut at the buffer may end in the first half of a surrogate
    // pair: a lone half is no character, so it goes.
    if (info.text.size() == 511 && info.text.back() >= 0xD800 && info.text.back() <= 0xDBFF) info.text.pop_back();
    WCHAR className[256] = {};
    GetClassNameW(window, className, 256);
    info.className.assign(className);
    // A window that vanished keeps a zero rectangle.
    RECT rect{0, 0, 0, 0};
    if (GetWindowRect(window, &rect)) info.rect = rect;
    info.controlType = controlTypeFromClassName(info.className);
    return info;
}

ElementRecord recordFromWindowInfo(const WindowInfo& info) {
    ElementRecord record;
    record.name = info.text;
    record.class_name = info.className;
    record.control_type = info.controlType;
    record.bounding_rect[0] = info.rect.left;
    record.bounding_rect[1] = info.rect.top;
    record.bounding_rect[2] = info.rect.right;
    record.bounding_rect[3] = info.rect.bottom;
    record.is_enabled = info.enabled;
    record.runtime_id_key = info.key;
    record.updated_at = steadyClockNanos();
    return record;
}

HRESULT CacheManager::readWin32(HWND target, RecordMap& records) {
    Enumeration e;
    if (target) {
        e.windows.reserve(64);
        e.windows.push_back(collectWindowInfo(target));
        EnumChildWindows(target, appendWindowInfo, reinterpret_cast<LPARAM>(&e));
        if (FAILED(e.hr)) return e.hr;  // an incomplete reading is not stored
    }
    records.reserve(e.windows.size());
    for (const WindowInfo& info : e.windows) {
        if (!worthReporting(info, target)) continue;
        records.put(std::make_shared<const ElementRecord>(recordFromWindowInfo(info)));
    }
    return S_OK;
}

}  // namespace Ostrand
