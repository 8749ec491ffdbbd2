// What the program knows about window classes: which frameworks are read
// through UI Automation, and the control type of a classic window class.
#pragma once

#include "platform/winapi.h"

namespace Ostrand {

// Class names of frameworks whose content only UI Automation sees (null-ended).
extern const WCHAR* const kUiaFrameworkClasses[];

// True when the "auto" mode should read this window through UI Automation: a
// framework class above, or fewer than three descendant windows.
bool windowPrefersUia(HWND window);

// The UI Automation control type id for a window class name.
int controlTypeFromClassName(const WString& className);

}  // namespace Ostrand
