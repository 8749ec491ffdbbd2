"""Control API of the simulated Windows desktop: build windows and UI
Automation elements, read what input reached them, hang windows, fire
events, inject failures and count calls and live objects.

The dictionary types below exist for the type checker only; import them
under ``if typing.TYPE_CHECKING:``. Functions whose arguments are shown
before a ``/`` take them by position only.
"""

from collections.abc import Callable, Sequence
from typing import Literal, TypeAlias, TypedDict, Unpack, overload, type_check_only

Rect: TypeAlias = tuple[int, int, int, int]
"""Screen coordinates: left, top, right, bottom."""

Point: TypeAlias = tuple[int, int]

CallKind: TypeAlias = Literal["hresult", "last_error", "null", "never"]
"""How ``fail`` makes a platform function fail."""

EventKind: TypeAlias = Literal["structure", "property", "focus"]

EventValue: TypeAlias = str | bool | int | tuple[float, ...] | list[int] | None
"""A property-changed event's value as a handler receives it."""

@type_check_only
class Live(TypedDict):
    com: int
    bstr: int
    safearray: int
    variant: int

@type_check_only
class Window(TypedDict):
    """What ``window`` says of a window."""

    handle: int
    parent: int  # 0 for a top-level window
    class_name: str
    text: str
    rect: Rect
    visible: bool  # its own flag; a window shows only when its ancestors do too
    enabled: bool
    children: list[int]
    read_only: bool
    hung: bool
    elevated: bool
    client_rect: Rect
    clicks: int  # clicks a Button took
    wheel: int  # the sum of wheel deltas it took
    last_mouse: Point | None  # client point of the last mouse message
    queued: int  # posted messages waiting while it is hung
    senders_waiting: int

@type_check_only
class Message(TypedDict):
    message: int
    wparam: int
    lparam: int
    sent: bool  # SendMessage, not PostMessage
    handled: bool
    waited: bool  # a sender blocked on it while the window was hung

@type_check_only
class Element(TypedDict):
    """What ``element`` says of a UI Automation element (a window's or a
    window-less one)."""

    id: int
    parent: int
    window: int  # the element's own window handle; 0 for a window-less element
    name: str
    automation_id: str
    class_name: str
    control_type: int
    rect: Rect
    enabled: bool
    control_element: bool
    process_id: int
    runtime_id: list[int] | None  # None while it is made unreadable
    children: list[int]
    patterns: list[int]
    value: str
    read_only: bool
    focusable: bool
    selected: bool
    expand_state: int  # an ExpandCollapseState_ value
    scroll_percent: float
    invoke_count: int
    scroll_count: int

@type_check_only
class UiaTimeouts(TypedDict):
    connection_ms: int
    transaction_ms: int
    timed_out: int  # calls that gave up since the last reset_calls
    waiting: int  # calls waiting now

@type_check_only
class ThreadState(TypedDict):
    id: int
    alive: bool
    apartment: Literal["sta", "mta", "none"]
    com_init_count: int
    has_queue: bool
    queued: int
    waits: int
    wait_timeouts: int
    last_wait_result: int
    messages_removed: int

@type_check_only
class Registration(TypedDict):
    kind: EventKind
    element: int
    scope: int
    properties: list[int]

@type_check_only
class EventStats(TypedDict):
    raised: int
    pending: int
    calls: int
    in_progress: int
    structure_calls: int

@type_check_only
class StructureCall(TypedDict):
    kind: Literal["structure"]
    sender: list[int] | None  # the sender's runtime id
    thread_id: int
    change_type: int
    runtime_id: list[int] | None

@type_check_only
class PropertyCall(TypedDict):
    kind: Literal["property"]
    sender: list[int] | None
    thread_id: int
    property_id: int
    value: EventValue

@type_check_only
class FocusCall(TypedDict):
    kind: Literal["focus"]
    sender: list[int] | None
    thread_id: int

HandlerCall: TypeAlias = StructureCall | PropertyCall | FocusCall
"""What an ``add_event_handler`` callback receives; ``kind`` tells which."""

# ---- the desktop, its counters and faults ----

def reset() -> None: ...
def live() -> Live: ...
def leaks() -> dict[str, int]:
    """The live objects that are still held, as a dict of non-zero counts."""

def call_names() -> list[str]: ...
def call_kind(name: str, /) -> CallKind: ...
@overload
def calls() -> dict[str, int]: ...
@overload
def calls(name: str, /) -> int: ...
def reset_calls() -> None: ...
def fail(name: str, code: int, count: int = 1, skip: int = 0) -> None: ...
def clear_faults() -> None: ...
def destroy_window_on_call(hwnd: int, name: str, skip: int = 0) -> None: ...
def hang_window_on_call(hwnd: int, name: str, skip: int = 0) -> None: ...

# ---- windows ----

def create_window(
    parent: int = 0,
    class_name: str = "",
    text: str = "",
    rect: Rect = (0, 0, 0, 0),
    visible: bool = True,
    enabled: bool = True,
    read_only: bool = False,
) -> int: ...
def destroy_window(hwnd: int, /) -> bool: ...
def set_parent(hwnd: int, parent: int, /) -> bool: ...
def set_window_text(hwnd: int, text: str, /) -> bool: ...
def set_window_rect(hwnd: int, rect: Rect, /) -> bool: ...
def set_window_visible(hwnd: int, visible: bool, /) -> bool: ...
def set_window_enabled(hwnd: int, enabled: bool, /) -> bool: ...
def set_window_read_only(hwnd: int, read_only: bool, /) -> bool: ...
def set_client_inset(hwnd: int, inset: Rect, /) -> bool: ...
def set_window_hung(hwnd: int, hung: bool, /) -> bool: ...
def set_window_elevated(hwnd: int, elevated: bool, /) -> bool: ...
def window(hwnd: int, /) -> Window | None: ...
def messages(hwnd: int, /) -> list[Message]: ...
def clear_messages(hwnd: int, /) -> bool: ...
def post_message(hwnd: int, msg: int, wparam: int = 0, lparam: int = 0, /) -> tuple[bool, int]:
    """(ok, last_error)"""

def send_message(hwnd: int, msg: int, wparam: int = 0, lparam: int = 0, /) -> tuple[int, int]:
    """(result, last_error)"""

def cursor() -> Point: ...
def top_level_windows() -> list[int]: ...
def make_lparam(low: int, high: int) -> int: ...

# ---- UI Automation elements ----
# None, or a field left out, leaves that field as it is (or its default).

@type_check_only
class ElementFields(TypedDict, total=False):
    """The fields ``add_element`` and ``set_element`` take, by keyword only."""

    name: str | None
    automation_id: str | None
    class_name: str | None
    control_type: int | None
    rect: Rect | None
    enabled: bool | None
    control_element: bool | None
    process_id: int | None
    runtime_id: Sequence[int] | None
    patterns: Sequence[int] | None
    value: str | None
    read_only: bool | None
    focusable: bool | None
    selected: bool | None
    expand_state: int | None
    scroll_percent: float | None

def add_element(id: int, **fields: Unpack[ElementFields]) -> int:
    """A new window-less element under the element ``id`` (its parent)."""

def set_element(id: int, **fields: Unpack[ElementFields]) -> bool: ...
def remove_element(id: int, /) -> bool: ...
def set_runtime_id_readable(id: int, readable: bool, /) -> bool: ...
def element(id: int, /) -> Element | None: ...
def set_title_bars(on: bool, /) -> None: ...
def focused_element() -> int: ...

# ---- cross-process cost and time-outs ----

def cross_process_calls() -> int: ...
def cached_elements_transferred() -> int: ...
def set_latency(microseconds: float, /) -> None: ...
def latency() -> float: ...
def set_uia_timeouts(connection_ms: int, transaction_ms: int, /) -> None: ...
def set_automation8_registered(registered: bool, /) -> None: ...
def uia_timeouts() -> UiaTimeouts: ...

# ---- threads and COM ----

def threads() -> list[ThreadState]: ...
def current_thread_id() -> int: ...
def co_initialize(model: Literal["mta", "sta"] = "mta", /) -> int: ...
def co_uninitialize() -> None: ...
def post_thread_message(thread_id: int, msg: int, wparam: int = 0, lparam: int = 0, /) -> tuple[bool, int]: ...

# ---- UI Automation events ----

def fire_structure_changed(element: int, change_type: int, runtime_id: Sequence[int] | None = None) -> bool: ...
def fire_property_changed(
    element: int, property_id: int, value: str | bool | int | Sequence[float] | None, /
) -> bool: ...
def fire_focus_changed(element: int, /) -> bool: ...
def wait_for_events(timeout: float | None = 10.0) -> bool: ...
def event_registrations() -> list[Registration]: ...
def event_stats() -> EventStats: ...
def pause_delivery(paused: bool, /) -> None: ...
def set_delivery_threads(n: int, /) -> None: ...
def set_late_calls(late: bool, /) -> None: ...
def set_removal_waits(wait: bool, /) -> None: ...
def add_event_handler(
    kind: EventKind,
    callback: Callable[[HandlerCall], object],
    element: int = 0,
    scope: int = 7,
    properties: Sequence[int] | None = None,
) -> int:
    """Registers ``callback`` through IUIAutomation; the HRESULT."""

def remove_all_event_handlers() -> int: ...

# ---- constants ----

S_OK: int
S_FALSE: int
E_NOINTERFACE: int
E_POINTER: int
E_FAIL: int
E_INVALIDARG: int
E_OUTOFMEMORY: int
E_ACCESSDENIED: int
RPC_E_CHANGED_MODE: int
CO_E_NOTINITIALIZED: int
REGDB_E_CLASSNOTREG: int
UIA_E_ELEMENTNOTENABLED: int
UIA_E_ELEMENTNOTAVAILABLE: int
UIA_E_NOTSUPPORTED: int
UIA_E_INVALIDOPERATION: int
ERROR_ACCESS_DENIED: int
ERROR_INVALID_PARAMETER: int
ERROR_INVALID_WINDOW_HANDLE: int
ERROR_INVALID_THREAD_ID: int
ERROR_TIMEOUT: int
ERROR_NOT_ENOUGH_QUOTA: int

WM_QUIT: int
WM_CHAR: int
WM_MOUSEMOVE: int
WM_LBUTTONDOWN: int
WM_LBUTTONUP: int
WM_MOUSEWHEEL: int
WM_USER: int
MK_LBUTTON: int
WHEEL_DELTA: int
SMTO_NORMAL: int
SMTO_BLOCK: int
SMTO_ABORTIFHUNG: int
WAIT_OBJECT_0: int
WAIT_TIMEOUT: int

UIA_RuntimeIdPropertyId: int
UIA_BoundingRectanglePropertyId: int
UIA_ProcessIdPropertyId: int
UIA_ControlTypePropertyId: int
UIA_NamePropertyId: int
UIA_IsEnabledPropertyId: int
UIA_AutomationIdPropertyId: int
UIA_ClassNamePropertyId: int
UIA_NativeWindowHandlePropertyId: int
UIA_ValueValuePropertyId: int

UIA_ButtonControlTypeId: int
UIA_CheckBoxControlTypeId: int
UIA_ComboBoxControlTypeId: int
UIA_EditControlTypeId: int
UIA_HyperlinkControlTypeId: int
UIA_ListItemControlTypeId: int
UIA_ListControlTypeId: int
UIA_TextControlTypeId: int
UIA_TreeControlTypeId: int
UIA_TreeItemControlTypeId: int
UIA_CustomControlTypeId: int
UIA_GroupControlTypeId: int
UIA_DocumentControlTypeId: int
UIA_WindowControlTypeId: int
UIA_PaneControlTypeId: int

UIA_InvokePatternId: int
UIA_SelectionPatternId: int
UIA_ValuePatternId: int
UIA_ScrollPatternId: int
UIA_ExpandCollapsePatternId: int
UIA_SelectionItemPatternId: int
UIA_TogglePatternId: int

ExpandCollapseState_Collapsed: int
ExpandCollapseState_Expanded: int
ExpandCollapseState_PartiallyExpanded: int
ExpandCollapseState_LeafNode: int

TreeScope_Element: int
TreeScope_Children: int
TreeScope_Descendants: int
TreeScope_Subtree: int

UIA_StructureChangedEventId: int
UIA_AutomationPropertyChangedEventId: int
UIA_AutomationFocusChangedEventId: int
StructureChangeType_ChildAdded: int
StructureChangeType_ChildRemoved: int
StructureChangeType_ChildrenInvalidated: int
StructureChangeType_ChildrenBulkAdded: int
StructureChangeType_ChildrenBulkRemoved: int
StructureChangeType_ChildrenReordered: int
