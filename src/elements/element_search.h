// Element search: one live element of a window found by one property,
// registered under a handle id, described by its current values.
#pragma once

#include <string>

#include "platform/raii.h"

namespace Ostrand {

class NativeCore;

// RuntimeIdKey: the element a snapshot's record names, by its key.
enum class FindCriterion { AutomationId, Name, ClassName, ControlType, RuntimeIdKey };

// "automation_id", "name", "class_name", "control_type" or "runtime_id_key",
// byte for byte.
bool findCriterionFromText(const std::string& text, FindCriterion* out);

// A decimal control type as the standard string-to-long reads it (leading
// white space, an optional sign, digits up to the first other character,
// 32-bit range); no digits or out of range give 0.
int32_t controlTypeFromText(const std::string& text);

// UTF-8 to UTF-16 with MultiByteToWideChar; empty when it cannot convert.
WString utf16FromUtf8(const std::string& text);

// The current values of a found element; what a getter leaves unset keeps
// the default.
struct ElementFacts {
    WString name;
    WString automationId;
    WString className;
    int32_t controlType = UIA_CustomControlTypeId;
    RECT rect{0, 0, 0, 0};
    bool enabled = false;
};

// Reads the facts in order; a read that gave up on an application that did
// not answer (UIA_E_TIMEOUT) ends the reading with that code. Any other
// failure leaves its field at the default.
HRESULT readCurrentFacts(IUIAutomationElement* element, ElementFacts* facts);

struct FindResult {
    enum Status {
        Found,            // handleId and facts are set
        NotFound,         // no match, a dead window, a failed search, or an unanswered read
        NoAutomation,     // the UI Automation object is not available
        BadCriterion,     // `by` is not one of the four
        OutOfMemory,      // the condition's string could not be allocated
        ConditionFailed,  // CreatePropertyCondition failed or gave nothing; hr says how
    } status = NotFound;
    HRESULT hr = S_OK;
    int32_t handleId = 0;
    ElementFacts facts;
};

// The whole search: session, condition, FindFirst over the window's subtree,
// registration of the match.
FindResult findAndRegisterElement(NativeCore& core, HWND window, const std::string& by, const std::string& value);

}  // namespace Ostrand
