"""Ostrand native core module. Provides performance optimised UIAutomation
access via IUIAutomationCacheRequest, event driven perception, and hybrid
action dispatch.

The dictionary types below exist for the type checker only; import them
under ``if typing.TYPE_CHECKING:``. Every function takes its arguments by
position only.
"""

from collections.abc import Callable
from typing import Literal, TypeAlias, TypedDict, type_check_only

PropertyName: TypeAlias = Literal[
    "name", "automation_id", "control_type", "bounding_rect", "is_enabled", "class_name", "process_id"
]
"""A property a cache request can fetch; other names are skipped."""

Scope: TypeAlias = Literal["subtree", "children", "element"]
"""A UI Automation tree scope; any other text means "subtree"."""

Mode: TypeAlias = Literal["auto", "win32", "uia"]
"""The perception path; any other text means "auto"."""

Criterion: TypeAlias = Literal["automation_id", "name", "class_name", "control_type", "runtime_id_key"]
"""What ``find_element`` matches ``value`` against."""

Action: TypeAlias = Literal["click", "type", "scroll", "focus", "hover", "select", "expand"]

ActionPath: TypeAlias = Literal[
    "InvokePattern",
    "ValuePattern",
    "ScrollPattern",
    "FocusPattern",
    "SelectionItemPattern",
    "ExpandCollapsePattern",
    "Win32Click",
    "Win32Type",
    "Win32Scroll",
    "Win32Hover",
]
"""The way an action was carried out: a UI Automation pattern or Win32 input."""

EventType: TypeAlias = Literal["StructureChanged", "PropertyChanged", "FocusChanged"]

Rect: TypeAlias = tuple[int, int, int, int]
"""Screen coordinates: left, top, right, bottom (edges, not width and height)."""

@type_check_only
class Element(TypedDict):
    """One perceived element, as ``query_elements_cached`` returns it."""

    name: str
    automation_id: str  # always "" on the Win32 path
    class_name: str
    control_type: int  # a UI Automation control type id, e.g. 50000 for a button
    bounding_rect: Rect
    is_enabled: bool
    runtime_id_key: str  # "42,7,3" (UI Automation) or "hwnd:1A2B" (Win32)

@type_check_only
class FoundElement(TypedDict):
    """A live element found by ``find_element``: its current values and the
    handle to act on it with."""

    name: str
    automation_id: str
    class_name: str
    control_type: int
    bounding_rect: Rect
    is_enabled: bool
    handle_id: int

@type_check_only
class HandleRef(TypedDict):
    """What ``execute_action`` needs of its first argument; a ``FoundElement``
    is one."""

    handle_id: int

@type_check_only
class ActionParams(TypedDict, total=False):
    """The parameters ``execute_action`` reads; no other key is read."""

    text: str  # "type": the text to set or type; "" when missing
    expand: bool  # "expand": False collapses; True when missing

@type_check_only
class ActionResult(TypedDict):
    success: bool
    path: ActionPath
    hr: int  # 0, a negative HRESULT, or for "Win32Hover" when the cursor would not move, a Win32 error code

@type_check_only
class Event(TypedDict):
    """What the ``subscribe_events`` callback receives."""

    event_type: EventType
    runtime_id_key: str  # "" for a focus change and for a change that names no element
    process_id: int  # always 0

@type_check_only
class Metrics(TypedDict):
    diag_log: str
    cache_valid: bool  # a snapshot is held and no change it does not show is known
    snapshot_count: int  # 0 while cache_valid is False
    perception_mode: Mode
    uia_ready: bool

def initialise() -> int:
    """Initialise COM, UIAutomation, and the background perception thread.
    Returns 0; a second call does nothing."""

def shutdown() -> None:
    """Clean shutdown: deregister UIA events, release COM, stop thread.
    Safe to call at any time, also from an event callback."""

def configure_cache(properties: list[PropertyName], scope: Scope = "subtree", mode: Mode = "auto", /) -> None:
    """Set the property list and scope for batch cache requests and the
    perception path; the next query perceives afresh. An empty list means
    the six element properties."""

def query_elements_cached(hwnd: int, scope: Scope = "subtree", /) -> list[Element]:
    """Batch cached retrieval of all elements in the window, in tree order.
    Served from the snapshot while it is valid (``hwnd`` 0 then reads it);
    ``scope`` is accepted and unused: the configured scope applies."""

def find_element(hwnd: int, by: Criterion, value: str, /) -> FoundElement | None:
    """Find a single live element by criterion (the window included).
    ``value`` for "control_type" is the id as decimal text, e.g. "50000";
    for "runtime_id_key" a record's key as a query of the window gave it
    ("42,65562" or "hwnd:1001A"), finding exactly that element. None when
    nothing matches. Release the handle with ``release_element``."""

def execute_action(handle_dict: HandleRef, action: Action, params: ActionParams | None, /) -> ActionResult:
    """Execute a UI action on an element: the UI Automation pattern first,
    then, for click, type and scroll, Win32 input. A failed action comes
    back with "success" False; it raises nothing."""

def subscribe_events(
    hwnd: int, event_types: list[EventType], scope: Scope = "subtree", callback: Callable[[Event], object] | None = None, /
) -> None:
    """Subscribe to UIAutomation push events. The callback runs on UI
    Automation's threads, holding the interpreter lock while it runs; None
    keeps the callback installed before. Subscriptions last until
    ``shutdown``."""

def get_benchmark_metrics() -> Metrics:
    """Return framework metrics for the benchmarking module."""

def release_element(handle_id: int, /) -> None:
    """Release a stored element handle by its integer ID (unknown ids are
    ignored)."""

def get_diagnostic_log() -> str:
    """Return the NativeCore diagnostic log as a string."""

def get_active_mode() -> Literal["win32", "uia", "auto", "not_initialised"]:
    """Return active perception mode: 'win32', 'uia', or 'auto'
    ('not_initialised' before ``initialise`` and after ``shutdown``)."""
