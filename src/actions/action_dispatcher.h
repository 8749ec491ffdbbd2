// ActionDispatcher: carries out one user action on a live element, a UI
// Automation pattern first and a Win32 fallback where there is one.
#pragma once

#include <cstdint>
#include <string>

#include "platform/raii.h"

namespace Ostrand {

enum class ActionType : int32_t { Click = 0, Type, Scroll, Focus, Hover, Select, Expand };

// "click", "type", "scroll", "focus", "hover", "select", "expand": whole,
// byte for byte.
bool actionTypeFromText(const std::string& text, ActionType* out);

struct ActionParams {
    WString text;
    int32_t horizontalAmount = ScrollAmount_NoAmount;
    int32_t verticalAmount = ScrollAmount_SmallDecrement;
    int32_t wheelDelta = -WHEEL_DELTA;  // one notch toward the user
    bool expand = true;
};

// The outcome of one action: whether it was carried out, which way, and the
// HRESULT (or, for a failed cursor move, the Win32 error code). A Win32
// message the window system refused or could not deliver gives
// HRESULT_FROM_WIN32 of its error.
struct ActionResult {
    bool success = false;
    std::string path;
    HRESULT hr = S_OK;
};

// Stateless: what an action does depends only on its arguments.
class ActionDispatcher {
public:
    ActionResult execute(IUIAutomationElement* element, ActionType type, const ActionParams& params) const;
};

// The pattern actions.
ActionResult invokeAction(IUIAutomationElement* element);
ActionResult setValueAction(IUIAutomationElement* element, const WString& text);
ActionResult scrollAction(IUIAutomationElement* element, int32_t horizontalAmount, int32_t verticalAmount);
ActionResult selectAction(IUIAutomationElement* element);
ActionResult expandCollapseAction(IUIAutomationElement* element, bool expand);
ActionResult focusAction(IUIAutomationElement* element);

// The Win32 input operations.
ActionResult win32Click(IUIAutomationElement* element);
ActionResult win32Type(IUIAutomationElement* element, const WString& text);
ActionResult win32Scroll(IUIAutomationElement* element, int32_t wheelDelta);
ActionResult win32Hover(IUIAutomationElement* element);
// The element's own window in `*window`, null for a window-less element
// (S_OK); UIA_E_TIMEOUT or UIA_E_ELEMENTNOTAVAILABLE (window null) when the
// application did not answer or the element is gone.
HRESULT nativeWindowHandle(IUIAutomationElement* element, HWND* window);
// The centre of the element's current bounding rectangle, each sum halved
// toward zero; the read's failure when it cannot be read (`*centre` is then
// (0, 0)).
HRESULT elementCentre(IUIAutomationElement* element, POINT* centre);
// MAKELPARAM of a point: x and y cut to their low 16 bits.
LPARAM packPoint(POINT point);

// How long a wheel message may wait for the target window; a hung window
// gives up at once.
constexpr UINT kWheelSendTimeoutMs = 500;

}  // namespace Ostrand
