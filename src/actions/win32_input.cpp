// Win32 input: window messages and the system cursor, for elements whose
// patterns did not do the job (and for hovering, which has no pattern).
#include "actions/action_dispatcher.h"

namespace Ostrand {

namespace {

constexpr DWORD kClickHoldMs = 30;
constexpr DWORD kFocusSettleMs = 20;

}  // namespace

HRESULT elementCentre(IUIAutomationElement* element, POINT* centre) {
    *centre = POINT{0, 0};
    RECT rect{0, 0, 0, 0};
    if (!element) return E_POINTER;
    if (HRESULT hr = element->get_CurrentBoundingRectangle(&rect); FAILED(hr)) return hr;
    // 64-bit sums: halving two extreme edges must not overflow; the result
    // of halving fits 32 bits again. Division truncates toward zero.
    *centre = POINT{static_cast<LONG>((static_cast<int64_t>(rect.left) + rect.right) / 2),
                    static_cast<LONG>((static_cast<int64_t>(rect.top) + rect.bottom) / 2)};
    return S_OK;
}

LPARAM packPoint(POINT point) { return MAKELPARAM(point.x, point.y); }

HRESULT nativeWindowHandle(IUIAutomationElement* element, HWND* window) {
    *window = nullptr;
    if (!element) return S_OK;
    Variant value;
    HRESULT hr = element->GetCurrentPropertyValue(UIA_NativeWindowHandlePropertyId, value.ptr());
    // An application that did not answer, or an element that is gone, is
    // reported as what it is, not as an element without a window.
    if (hr == static_cast<HRESULT>(UIA_E_TIMEOUT) || hr == static_cast<HRESULT>(UIA_E_ELEMENTNOTAVAILABLE)) return hr;
    if (FAILED(hr) || value.get().vt != VT_I4) return S_OK;
    // Handles are 32-bit values sign-extended to pointer width.
    *window = reinterpret_cast<HWND>(static_cast<intptr_t>(value.get().lVal));
    return S_OK;
}

// What a failed post or send reports: the window system's reason as an
// HRESULT. ERROR_ACCESS_DENIED is a window of a process at a higher
// integrity level (privilege isolation), ERROR_INVALID_WINDOW_HANDLE a
// window that went away, ERROR_TIMEOUT a window that did not answer.
HRESULT lastErrorResult() {
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// Why the window cannot take input, or S_OK. Posted input reaches a disabled
// window all the same (a disabled Button still reports BN_CLICKED), so a
// fallback would do what the application has switched off; the window's own
// state is what the system's input routing looks at. A window that is gone
// reads as disabled too, also when it goes between the two questions: it is
// reported as gone.
HRESULT inputRefusal(HWND window) {
    const HRESULT gone = HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE);
    if (!IsWindow(window)) return gone;
    if (!IsWindowEnabled(window)) return IsWindow(window) ? static_cast<HRESULT>(UIA_E_ELEMENTNOTENABLED) : gone;
    return S_OK;
}

// The client point of `point`, or why there is none: a window that went away
// is gone, anything else E_FAIL.
HRESULT toClient(HWND window, POINT* point) {
    if (ScreenToClient(window, point)) return S_OK;
    return IsWindow(window) ? E_FAIL : HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE);
}

// The window a click or typing goes to: why there is none, or E_FAIL for a
// window-less element.
HRESULT inputWindow(IUIAutomationElement* element, HWND* window) {
    if (HRESULT hr = nativeWindowHandle(element, window); FAILED(hr)) return hr;
    if (!*window) return E_FAIL;
    return inputRefusal(*window);
}

// Input the window system refuses or cannot deliver is reported, never taken
// for done; nothing more is sent after it. A refusal by privilege isolation
// is only reported: nothing here tries to get past it.
ActionResult win32Click(IUIAutomationElement* element) {
    POINT centre;
    // Input at a point that could not be read would land at (0, 0).
    if (HRESULT hr = elementCentre(element, &centre); FAILED(hr)) return {false, "Win32Click", hr};
    HWND window;
    if (HRESULT hr = inputWindow(element, &window); FAILED(hr)) return {false, "Win32Click", hr};
    if (HRESULT hr = toClient(window, &centre); FAILED(hr)) return {false, "Win32Click", hr};
    LPARAM at = packPoint(centre);
    // To the element's own window, not to whatever covers the point. No
    // button-up for a window that never saw the press.
    if (!PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at)) return {false, "Win32Click", lastErrorResult()};
    Sleep(kClickHoldMs);
    if (!PostMessageW(window, WM_LBUTTONUP, 0, at)) return {false, "Win32Click", lastErrorResult()};
    return {true, "Win32Click", S_OK};
}

ActionResult win32Type(IUIAutomationElement* element, const WString& text) {
    HWND window;
    if (HRESULT hr = inputWindow(element, &window); FAILED(hr)) return {false, "Win32Type", hr};
    // Whether the focus went is not examined, but characters are never typed
    // into an application that did not answer it.
    if (HRESULT hr = element->SetFocus(); hr == static_cast<HRESULT>(UIA_E_TIMEOUT)) return {false, "Win32Type", hr};
    Sleep(kFocusSettleMs);
    // One message per UTF-16 unit: a pair goes as its two surrogates. Typing
    // stops at the first unit that could not be posted.
    for (WCHAR unit : text)
        if (!PostMessageW(window, WM_CHAR, static_cast<WPARAM>(static_cast<uint16_t>(unit)), 1))
            return {false, "Win32Type", lastErrorResult()};
    return {true, "Win32Type", S_OK};
}

ActionResult win32Scroll(IUIAutomationElement* element, int32_t wheelDelta) {
    POINT centre;
    if (HRESULT hr = elementCentre(element, &centre); FAILED(hr)) return {false, "Win32Scroll", hr};
    HWND window = WindowFromPoint(centre);
    if (!window) return {false, "Win32Scroll", E_FAIL};
    WPARAM wParam = MAKEWPARAM(0, wheelDelta);
    // Sent, so the wheel has turned when this returns; but never wait on a
    // hung window with the interpreter held, and never for long. A window
    // that did not take the wheel in that time has not scrolled.
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutW(window, WM_MOUSEWHEEL, wParam, packPoint(centre), SMTO_ABORTIFHUNG, kWheelSendTimeoutMs,
                             &ignored))
        return {false, "Win32Scroll", lastErrorResult()};
    return {true, "Win32Scroll", S_OK};
}

ActionResult win32Hover(IUIAutomationElement* element) {
    POINT centre;
    if (HRESULT hr = elementCentre(element, &centre); FAILED(hr)) return {false, "Win32Hover", hr};
    if (!SetCursorPos(centre.x, centre.y)) return {false, "Win32Hover", static_cast<HRESULT>(GetLastError())};
    if (HWND window = WindowFromPoint(centre)) {
        POINT client = centre;
        ScreenToClient(window, &client);
        PostMessageW(window, WM_MOUSEMOVE, 0, packPoint(client));
    }
    return {true, "Win32Hover", S_OK};
}

}  // namespace Ostrand
