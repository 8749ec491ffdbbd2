#include "actions/action_dispatcher.h"

#include <cstring>

namespace Ostrand {

bool actionTypeFromText(const std::string& text, ActionType* out) {
    static const char* const names[] = {"click", "type", "scroll", "focus", "hover", "select", "expand"};
    for (int i = 0; i < 7; ++i)
        if (text == names[i]) {
            *out = static_cast<ActionType>(i);
            return true;
        }
    return false;
}

namespace {

// The Win32 way is tried when the pattern did not do the job, but not when
// the application did not answer: the fallback reads the element through UI
// Automation again, and each read would wait as long once more (20 s on
// Windows) before failing the same way.
bool fallBack(const ActionResult& result) {
    return !result.success && result.hr != static_cast<HRESULT>(UIA_E_TIMEOUT);
}

}  // namespace

ActionResult ActionDispatcher::execute(IUIAutomationElement* element, ActionType type,
                                       const ActionParams& params) const {
    ActionResult result;
    switch (type) {
        case ActionType::Click:
            result = invokeAction(element);
            return fallBack(result) ? win32Click(element) : result;
        case ActionType::Type:
            result = setValueAction(element, params.text);
            return fallBack(result) ? win32Type(element, params.text) : result;
        case ActionType::Scroll:
            result = scrollAction(element, params.horizontalAmount, params.verticalAmount);
            return fallBack(result) ? win32Scroll(element, params.wheelDelta) : result;
        case ActionType::Focus: return focusAction(element);
        case ActionType::Hover: return win32Hover(element);
        case ActionType::Select: return selectAction(element);
        case ActionType::Expand: return expandCollapseAction(element, params.expand);
    }
    return result;
}

namespace {

// Pattern first: a missing pattern is S_OK with nothing, so its hr is 0.
template <class Pattern, class Call>
ActionResult withPattern(IUIAutomationElement* element, PATTERNID id, REFIID iid, const char* path, Call call) {
    ComPtr<Pattern> pattern;
    HRESULT hr = element->GetCurrentPatternAs(id, iid, pattern.putVoid());
    if (FAILED(hr) || !pattern) return {false, path, hr};
    hr = call(pattern.get());
    if (FAILED(hr)) return {false, path, hr};
    return {true, path, S_OK};
}

}  // namespace

ActionResult invokeAction(IUIAutomationElement* element) {
    return withPattern<IUIAutomationInvokePattern>(element, UIA_InvokePatternId, IID_IUIAutomationInvokePattern,
                                                   "InvokePattern", [](auto* p) { return p->Invoke(); });
}

ActionResult setValueAction(IUIAutomationElement* element, const WString& text) {
    ComPtr<IUIAutomationValuePattern> pattern;
    HRESULT hr = element->GetCurrentPatternAs(UIA_ValuePatternId, IID_IUIAutomationValuePattern, pattern.putVoid());
    if (FAILED(hr) || !pattern) return {false, "ValuePattern", hr};
    BOOL readOnly = FALSE;
    // Not examined, but an application that did not answer is asked nothing more.
    if (HRESULT ro = pattern->get_CurrentIsReadOnly(&readOnly); ro == static_cast<HRESULT>(UIA_E_TIMEOUT))
        return {false, "ValuePattern", ro};
    if (readOnly) return {false, "ValuePattern", E_ACCESSDENIED};
    Bstr value(SysAllocString(text.c_str()));  // up to the first NUL
    if (!value.get()) return {false, "ValuePattern", E_OUTOFMEMORY};
    hr = pattern->SetValue(value.get());
    if (FAILED(hr)) return {false, "ValuePattern", hr};
    return {true, "ValuePattern", S_OK};
}

ActionResult scrollAction(IUIAutomationElement* element, int32_t horizontalAmount, int32_t verticalAmount) {
    return withPattern<IUIAutomationScrollPattern>(
        element, UIA_ScrollPatternId, IID_IUIAutomationScrollPattern, "ScrollPattern", [&](auto* p) {
            return p->Scroll(static_cast<ScrollAmount>(horizontalAmount), static_cast<ScrollAmount>(verticalAmount));
        });
}

ActionResult selectAction(IUIAutomationElement* element) {
    return withPattern<IUIAutomationSelectionItemPattern>(element, UIA_SelectionItemPatternId,
                                                          IID_IUIAutomationSelectionItemPattern,
                                                          "SelectionItemPattern", [](auto* p) { return p->Select(); });
}

ActionResult expandCollapseAction(IUIAutomationElement* element, bool expand) {
    return withPattern<IUIAutomationExpandCollapsePattern>(
        element, UIA_ExpandCollapsePatternId, IID_IUIAutomationExpandCollapsePattern, "ExpandCollapsePattern",
        [&](auto* p) { return expand ? p->Expand() : p->Collapse(); });
}

ActionResult focusAction(IUIAutomationElement* element) {
    HRESULT hr = element->SetFocus();
    if (FAILED(hr)) return {false, "FocusPattern", hr};
    return {true, "FocusPattern", S_OK};
}

}  // namespace Ostrand
