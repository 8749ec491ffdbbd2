"""Control API of the simulated Windows desktop that ostrandcore runs on
away from Windows: build windows and UI Automation elements with their
patterns, read what input reached them (messages, clicks, typed text, the
cursor, the focus), hang windows, fire UI Automation events and wait for
their delivery, inject failures into platform calls, count calls,
cross-process calls and live COM objects, BSTRs and SAFEARRAYs."""

from ._simdesk import *  # noqa: F401,F403
from ._simdesk import live

S_OK = 0
S_FALSE = 1
E_NOINTERFACE = 0x80004002
E_POINTER = 0x80004003
E_FAIL = 0x80004005
E_INVALIDARG = 0x80070057
E_OUTOFMEMORY = 0x8007000E
E_ACCESSDENIED = 0x80070005
RPC_E_CHANGED_MODE = 0x80010106
CO_E_NOTINITIALIZED = 0x800401F0
REGDB_E_CLASSNOTREG = 0x80040154
UIA_E_ELEMENTNOTENABLED = 0x80040200
UIA_E_ELEMENTNOTAVAILABLE = 0x80040201
UIA_E_NOTSUPPORTED = 0x80040204
UIA_E_INVALIDOPERATION = 0x80131509
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_PARAMETER = 87
ERROR_INVALID_WINDOW_HANDLE = 1400
ERROR_INVALID_THREAD_ID = 1444
ERROR_TIMEOUT = 1460
ERROR_NOT_ENOUGH_QUOTA = 1816

WM_QUIT = 0x0012
WM_CHAR = 0x0102
WM_MOUSEMOVE = 0x0200
WM_LBUTTONDOWN = 0x0201
WM_LBUTTONUP = 0x0202
WM_MOUSEWHEEL = 0x020A
WM_USER = 0x0400
MK_LBUTTON = 0x0001
WHEEL_DELTA = 120
SMTO_NORMAL = 0x0000
SMTO_BLOCK = 0x0001
SMTO_ABORTIFHUNG = 0x0002
WAIT_OBJECT_0 = 0
WAIT_TIMEOUT = 258

# UI Automation property ids
UIA_RuntimeIdPropertyId = 30000
UIA_BoundingRectanglePropertyId = 30001
UIA_ProcessIdPropertyId = 30002
UIA_ControlTypePropertyId = 30003
UIA_NamePropertyId = 30005
UIA_IsEnabledPropertyId = 30010
UIA_AutomationIdPropertyId = 30011
UIA_ClassNamePropertyId = 30012
UIA_NativeWindowHandlePropertyId = 30020
UIA_ValueValuePropertyId = 30045

# UI Automation control type ids
UIA_ButtonControlTypeId = 50000
UIA_CheckBoxControlTypeId = 50002
UIA_ComboBoxControlTypeId = 50003
UIA_EditControlTypeId = 50004
UIA_HyperlinkControlTypeId = 50005
UIA_ListItemControlTypeId = 50007
UIA_ListControlTypeId = 50008
UIA_TextControlTypeId = 50020
UIA_TreeControlTypeId = 50023
UIA_TreeItemControlTypeId = 50024
UIA_CustomControlTypeId = 50025
UIA_GroupControlTypeId = 50026
UIA_DocumentControlTypeId = 50030
UIA_WindowControlTypeId = 50032
UIA_PaneControlTypeId = 50033

# UI Automation pattern ids
UIA_InvokePatternId = 10000
UIA_SelectionPatternId = 10001
UIA_ValuePatternId = 10002
UIA_ScrollPatternId = 10004
UIA_ExpandCollapsePatternId = 10005
UIA_SelectionItemPatternId = 10010
UIA_TogglePatternId = 10015

# ExpandCollapseState
ExpandCollapseState_Collapsed = 0
ExpandCollapseState_Expanded = 1
ExpandCollapseState_PartiallyExpanded = 2
ExpandCollapseState_LeafNode = 3


def make_lparam(low, high):
    """MAKELPARAM: two 16-bit values (a client point, x then y), negative ones
    as Windows packs them."""
    return ((high & 0xFFFF) << 16) | (low & 0xFFFF)

# Tree scopes
TreeScope_Element = 1
TreeScope_Children = 2
TreeScope_Descendants = 4
TreeScope_Subtree = 7

# UI Automation events
UIA_StructureChangedEventId = 20002
UIA_AutomationPropertyChangedEventId = 20004
UIA_AutomationFocusChangedEventId = 20005
StructureChangeType_ChildAdded = 0
StructureChangeType_ChildRemoved = 1
StructureChangeType_ChildrenInvalidated = 2
StructureChangeType_ChildrenBulkAdded = 3
StructureChangeType_ChildrenBulkRemoved = 4
StructureChangeType_ChildrenReordered = 5


def leaks():
    """The live objects that are still held, as a dict of non-zero counts."""
    return {kind: n for kind, n in live().items() if n}
