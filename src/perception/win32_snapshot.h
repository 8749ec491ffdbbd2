// The Win32 path: a window and its descendant windows, read with plain
// window-system calls and no COM.
#pragma once

#include <string>

#include "perception/element_record.h"

namespace Ostrand {

// The raw facts of one window, for one refresh.
struct WindowInfo {
    HWND handle = nullptr;
    WString text;       // at most 511 units
    WString className;  // at most 255 units
    RECT rect{0, 0, 0, 0};
    bool enabled = false;
    bool visible = false;
    int32_t controlType = UIA_CustomControlTypeId;
    std::string key;
};

WindowInfo collectWindowInfo(HWND window);
ElementRecord recordFromWindowInfo(const WindowInfo& info);

}  // namespace Ostrand
