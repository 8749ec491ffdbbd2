// ElementRecord: one perceived element, whichever path perceived it, and the
// two forms of its key.
#pragma once

#include <cstdint>
#include <string>

#include "platform/winapi.h"

namespace Ostrand {

struct ElementRecord {
    WString name;
    WString automation_id;
    WString class_name;
    int32_t control_type = UIA_CustomControlTypeId;
    int32_t bounding_rect[4] = {0, 0, 0, 0};  // left, top, right, bottom
    bool is_enabled = false;
    std::string runtime_id_key;
    int64_t updated_at = 0;  // steady clock, nanoseconds
};

// "42,1234,4,17": the runtime id's integers from the lower to the upper
// bound. Empty for a null array, unreadable bounds or an empty array; an
// element that cannot be read is written as 0.
std::string keyFromRuntimeId(SAFEARRAY* runtimeId);

// "hwnd:1A2B": the handle as unsigned upper-case hex without leading zeros.
// A UI Automation key never holds a letter, so the forms never collide.
std::string keyFromHwnd(HWND window);

// The UI Automation property id for a property name, 0 when unknown. Exact
// and case-sensitive.
int32_t propertyIdFromName(const std::string& name);

// The steady clock in nanoseconds (the performance counter).
int64_t steadyClockNanos();

}  // namespace Ostrand
