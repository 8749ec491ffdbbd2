// The UI Automation GUIDs the core uses, defined here on Windows from the
// SDK headers' own declarations (__uuidof) rather than taken from a uuid
// library, which not every toolchain promises to carry them in. selectany,
// so a uuid library that does define them does not clash.
#include "platform/winapi.h"

#define OSTRAND_DEFINE_GUID(name, type) extern "C" const GUID DECLSPEC_SELECTANY name = __uuidof(type)

OSTRAND_DEFINE_GUID(CLSID_CUIAutomation, CUIAutomation);
OSTRAND_DEFINE_GUID(CLSID_CUIAutomation8, CUIAutomation8);
OSTRAND_DEFINE_GUID(IID_IUIAutomation, IUIAutomation);
OSTRAND_DEFINE_GUID(IID_IUIAutomationInvokePattern, IUIAutomationInvokePattern);
OSTRAND_DEFINE_GUID(IID_IUIAutomationValuePattern, IUIAutomationValuePattern);
OSTRAND_DEFINE_GUID(IID_IUIAutomationScrollPattern, IUIAutomationScrollPattern);
OSTRAND_DEFINE_GUID(IID_IUIAutomationSelectionItemPattern, IUIAutomationSelectionItemPattern);
OSTRAND_DEFINE_GUID(IID_IUIAutomationExpandCollapsePattern, IUIAutomationExpandCollapsePattern);
OSTRAND_DEFINE_GUID(IID_IUIAutomationStructureChangedEventHandler, IUIAutomationStructureChangedEventHandler);
OSTRAND_DEFINE_GUID(IID_IUIAutomationPropertyChangedEventHandler, IUIAutomationPropertyChangedEventHandler);
OSTRAND_DEFINE_GUID(IID_IUIAutomationFocusChangedEventHandler, IUIAutomationFocusChangedEventHandler);
