"""Fault-injection sweep. Each scenario (start-up and shutdown, a refresh by
either path, a search, every action, every subscription, every event kind)
first runs un-faulted on its own desktop, and the desktop's call counters
say which platform calls its step reached. Every failable one of those then
fails once, at each of its first occurrences and its last, and the step must
give the documented outcome for that failure; once the fault is cleared the
same step must work again, and shutdown must leave no COM object, BSTR,
SAFEARRAY or filled VARIANT alive."""

import re
import subprocess
import threading
import time
from pathlib import Path

import pytest

import ostrandcore
import simdesk
from conftest import log_mark, log_since, run_python, wait_for

# An HRESULT that no rule of the core produces on its own, so an outcome that
# carries it came from the failed call. Calls that report through the last
# error get it as their error code; calls that fail with null ignore it.
CODE = simdesk.UIA_E_ELEMENTNOTAVAILABLE
E_FAIL = simdesk.E_FAIL
E_OUTOFMEMORY = simdesk.E_OUTOFMEMORY
CUSTOM = simdesk.UIA_CustomControlTypeId


class Fault:
    """The k-th call of `call` fails with `code`; with S_OK for an HRESULT
    call, it succeeds without doing its work, and hands out null."""

    def __init__(self, call, k, code):
        self.call, self.k, self.code = call, k, code
        self.empty = code == simdesk.S_OK

    @property
    def hr(self):
        """What the core reports for a call that gave no result: the code,
        or E_FAIL for a success that came without one."""
        return E_FAIL if self.empty else self.code


def signed(hr):
    return hr - (1 << 32) if hr & 0x80000000 else hr


def refresh_failed(hr):
    return ("raises", "RuntimeError", "Cache refresh failed: HRESULT 0x%08X" % hr)


NO_AUTOMATION = ("raises", "RuntimeError", "UIAutomation COM object is not available. Ensure UIAutomationCore.dll "
                 "is present and the process has COM access")
LAZY_OK = "UIA COM session initialised (lazy)"
LAZY_START = {"CoInitializeEx": "CoInitializeEx failed: 0x%08X",
              "CoCreateInstance": "CoCreateInstance(CUIAutomation) failed: 0x%08X"}

# What a record or a search result shows for a value it could not read.
MISSING = {"name": "", "automation_id": "", "class_name": "", "control_type": CUSTOM,
           "bounding_rect": (0, 0, 0, 0), "is_enabled": False}
DEFAULT_CACHE_FIELDS = ["name", "automation_id", "control_type", "bounding_rect", "is_enabled", "class_name"]
CACHED_GETTERS = {"get_CachedName": "name", "get_CachedAutomationId": "automation_id",
                  "get_CachedClassName": "class_name", "get_CachedControlType": "control_type",
                  "get_CachedIsEnabled": "is_enabled", "get_CachedBoundingRectangle": "bounding_rect"}
CURRENT_GETTERS = {"get_CurrentName": "name", "get_CurrentAutomationId": "automation_id",
                   "get_CurrentClassName": "class_name", "get_CurrentControlType": "control_type",
                   "get_CurrentIsEnabled": "is_enabled", "get_CurrentBoundingRectangle": "bounding_rect"}
WIN32_READS = {"IsWindowEnabled": "is_enabled", "GetWindowTextW": "name"}

# The perception thread's loop wakes on its own clock: only the lifecycle
# scenarios count on it, and only its first occurrence is deterministic.
PERCEPTION_LOOP = {"MsgWaitForMultipleObjects", "PeekMessageW", "TranslateMessage", "DispatchMessageW"}
# Read once per process (the clock's frequency); see its own test below.
ONCE_PER_PROCESS = {"QueryPerformanceFrequency"}
# A release or an apartment call that reports success without doing its work
# leaves what only the platform can undo: its success is taken at its word.
TAKEN_AT_ITS_WORD = {"CoInitializeEx", "VariantClear", "SafeArrayDestroy", "RemoveAllEventHandlers"}
# Calls that hand out nothing: a success without work is the action's success.
REPORT_ONLY = {"Invoke", "SetValue", "Scroll", "Select", "Expand", "Collapse", "SetFocus"}
# Occurrences tried per call: the first few and the last.
FIRST_OCCURRENCES = 3


def outcome(function, *args):
    try:
        return ("returns", function(*args))
    except Exception as e:  # noqa: BLE001 - the outcome is compared, whatever it is
        return ("raises", type(e).__name__, str(e))


def failable(name):
    return simdesk.call_kind(name) != "never"


def codes(call):
    """The codes a call is failed with: CODE, and S_OK for an HRESULT call."""
    if simdesk.call_kind(call) == "hresult" and call not in TAKEN_AT_ITS_WORD:
        return [CODE, simdesk.S_OK]
    return [CODE]


def settle():
    assert simdesk.wait_for_events(10.0)


def loop_waiting(waits_before):
    """Until the perception thread has waited in its loop, so that shutdown's
    quit message wakes it there; False when it never does (a thread whose
    start failed has ended)."""
    me = simdesk.current_thread_id()
    for _ in range(400):  # a bound, not a timing requirement
        if simdesk.calls("MsgWaitForMultipleObjects") > waits_before and any(
                t["alive"] and t["id"] != me and t["waits"] for t in simdesk.threads()):
            return True
        time.sleep(0.005)
    return False


def registrations():
    return sorted((r["kind"], r["element"], r["scope"], tuple(r["properties"])) for r in simdesk.event_registrations())


class Recorder:
    def __init__(self):
        self.events = []
        self.lock = threading.Lock()

    def __call__(self, event):
        with self.lock:
            self.events.append(event)

    def take(self):
        with self.lock:
            events, self.events = self.events, []
        return events


def stored():
    """The store as a query with handle 0 sees it: its records, or None when
    it is invalid (such a query then fails with E_INVALIDARG)."""
    if not ostrandcore.get_benchmark_metrics()["cache_valid"]:
        return None
    return ostrandcore.query_elements_cached(0)


# ---- Documented outcomes of the two refreshes under one failed call ----

def with_zero(key, j):
    """The key with its j-th element read as 0, as an unreadable one is."""
    parts = key.split(",")
    parts[j] = "0"
    return ",".join(parts)


def nth_component(records, k):
    """(record index, component index) of the k-th runtime-id element read by
    a UI Automation refresh; None past the refresh's own reads."""
    for i, r in enumerate(records):
        n = len(r["runtime_id_key"].split(","))
        if k <= n:
            return i, k - 1
        k -= n
    return None


def key_after_bound(key, f):
    """A runtime id's key when reading one of its bounds failed (empty), or
    succeeded without a value: the bound keeps its pre-set 0."""
    if not f.empty:
        return ""
    return key if f.call == "SafeArrayGetLBound" else key.split(",")[0]


def uia_refresh(base, f):
    """The records of a UI Automation refresh under the fault `f`, from the
    un-faulted records `base` (in the order the search returned them); None
    when the faulted occurrence lies past the refresh."""
    records = [dict(r) for r in base]
    n = len(records)
    call, k = f.call, f.k
    if call == "CreateCacheRequest":
        return refresh_failed(E_FAIL)
    if call in ("ElementFromHandle", "CreateTrueCondition"):
        return refresh_failed(f.hr)
    if call == "FindAllBuildCache":
        return [] if f.empty else refresh_failed(f.code)  # no array: an empty snapshot
    if call == "AddProperty":
        if k > len(DEFAULT_CACHE_FIELDS):  # the runtime id, added last, is cached regardless
            return records
        field = DEFAULT_CACHE_FIELDS[k - 1]
        return [{**r, field: MISSING[field]} for r in records]
    if call == "get_Length":
        return []
    if call in ("GetElement", "GetCachedPropertyValue", "SafeArrayGetLBound", "SafeArrayGetUBound"):
        if k > n:
            return None
        key = key_after_bound(records[k - 1]["runtime_id_key"], f) if call.startswith("SafeArray") else ""
        if key:
            records[k - 1]["runtime_id_key"] = key
        else:
            del records[k - 1]  # no element, no runtime id, or an empty key: left out
        return records
    if call == "SafeArrayGetElement":
        at = nth_component(records, k)
        if at is None:
            return None
        i, j = at
        records[i]["runtime_id_key"] = with_zero(records[i]["runtime_id_key"], j)
        return records
    if call in CACHED_GETTERS:
        field = CACHED_GETTERS[call]
        records[k - 1][field] = MISSING[field]
        return records
    return records  # results that are not examined


def win32_refresh(base, f):
    """The records of a Win32 refresh whose k-th call of `call` failed; the
    target is the first window read, its descendants follow in `base`."""
    records = [dict(r) for r in base]
    call, k = f.call, f.k
    if call == "EnumChildWindows":
        return records[:1]
    if call in WIN32_READS:
        records[k - 1][WIN32_READS[call]] = MISSING[WIN32_READS[call]]
    elif call == "GetClassNameW":
        records[k - 1].update(class_name="", control_type=CUSTOM)
    elif call == "IsWindowVisible" and k > 1:
        del records[k - 1]  # reads as hidden; only the target is kept regardless
    elif call == "GetWindowRect":
        if k == 1:
            records[0]["bounding_rect"] = (0, 0, 0, 0)
        else:
            del records[k - 1]  # an empty rectangle
    return records


# ---- Desktops ----

def page():
    """A browser window: window-less content with explicit runtime ids."""
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Mail", rect=(0, 0, 800, 600))
    doc = simdesk.add_element(top, name="Inbox", automation_id="inbox", class_name="Document", control_type=50030,
                              rect=(0, 80, 800, 600), runtime_id=[42, 7, 1], scroll_percent=50.0)
    send = simdesk.add_element(doc, name="Send", automation_id="send", class_name="Button", control_type=50000,
                               rect=(10, 90, 90, 110), runtime_id=[42, 7, 2])
    item = simdesk.add_element(doc, name="Item", automation_id="item", control_type=50007,
                               rect=(10, 120, 200, 140), runtime_id=[42, 7, 3])
    node = simdesk.add_element(doc, name="Node", automation_id="node", control_type=50024,
                               rect=(10, 150, 200, 170), runtime_id=[42, 7, 4])
    return {"top": top, "doc": doc, "send": send, "item": item, "node": node}


def dialog():
    """A classic dialog: its controls are windows. Nothing covers the screen
    point (0, 0), so input that went there would show as a success."""
    d = simdesk.create_window(class_name="#32770", text="Sign in", rect=(100, 100, 500, 400))
    label = simdesk.create_window(parent=d, class_name="Static", text="User:", rect=(110, 130, 170, 150))
    edit = simdesk.create_window(parent=d, class_name="Edit", text="", rect=(180, 130, 480, 150))
    locked = simdesk.create_window(parent=d, class_name="Edit", text="fixed", rect=(180, 160, 480, 180),
                                   read_only=True)
    ok = simdesk.create_window(parent=d, class_name="Button", text="OK", rect=(380, 350, 480, 380))
    simdesk.set_element(edit, automation_id="user")
    simdesk.set_element(locked, automation_id="locked")
    simdesk.set_element(label, automation_id="label")
    return {"top": d, "label": label, "edit": edit, "locked": locked, "ok": ok}


# ---- Scenarios ----

class Scenario:
    """build() makes the desktop; prepare() brings the framework to the
    step; act() is the step whose calls are counted and failed, and returns
    what it showed; expect() gives the documented showing for a failure;
    again() runs the step once more after the fault is cleared and
    returns what must equal the un-faulted run's again()."""

    loop_calls = False  # whether the perception thread's loop belongs to the step

    def build(self):
        self.desk = page()

    def prepare(self):
        ostrandcore.initialise()

    def act(self):
        raise NotImplementedError

    def expect(self, base, f):
        return base

    def again(self):
        return self.act()

    def finish(self):
        ostrandcore.shutdown()


class Lifecycle(Scenario):
    name = "lifecycle"
    loop_calls = True

    def prepare(self):
        pass

    def act(self):
        mark = log_mark()
        waits = simdesk.calls("MsgWaitForMultipleObjects")
        first = outcome(ostrandcore.initialise)
        loop_waiting(waits)
        # A message of someone else's for the loop to dispatch.
        dispatched = simdesk.calls("DispatchMessageW")
        me = simdesk.current_thread_id()
        loops = [t["id"] for t in simdesk.threads() if t["alive"] and t["id"] != me and t["waits"]]
        for thread in loops:
            simdesk.post_thread_message(thread, simdesk.WM_USER)
            for _ in range(400):  # a bound, not a timing requirement
                if simdesk.calls("DispatchMessageW") > dispatched:
                    break
                time.sleep(0.005)
        # Whether the loop took the message off its queue and dispatched it.
        handed_on = simdesk.calls("DispatchMessageW") > dispatched
        second = outcome(ostrandcore.shutdown)
        return first, second, log_since(mark).splitlines(), handed_on

    # Nothing on this path reports a platform failure: the perception
    # thread's apartment, its waits and its quit message are all optional.
    # A message posted to the loop is dispatched unless the loop never ran
    # (its apartment failed) or the test's own post failed.
    def expect(self, base, f):
        first, second, log, handed_on = base
        assert handed_on
        if f.call == "CoInitializeEx" or (f.call == "PostThreadMessageW" and f.k == 1):
            return first, second, log, False
        return base


class ShutdownWithSubscriptions(Scenario):
    name = "shutdown-subscribed"
    loop_calls = True

    def prepare(self):
        waits = simdesk.calls("MsgWaitForMultipleObjects")
        ostrandcore.initialise()
        ostrandcore.configure_cache([], "subtree", "uia")
        ostrandcore.query_elements_cached(self.desk["top"])
        self.rec = Recorder()
        ostrandcore.subscribe_events(self.desk["top"], ["StructureChanged", "PropertyChanged", "FocusChanged"],
                                     "subtree", self.rec)
        loop_waiting(waits)

    def act(self):
        mark = log_mark()
        result = outcome(ostrandcore.shutdown)
        left = registrations()
        simdesk.fire_focus_changed(self.desk["send"])
        settle()
        return result, left, self.rec.take(), log_since(mark).splitlines()

    def again(self):
        self.prepare()
        return self.act()


class Query(Scenario):
    """A refresh by query: the UI Automation session opens inside the step."""

    def __init__(self, name, mode, desk):
        self.name, self.mode, self.make = name, mode, desk

    def build(self):
        self.desk = self.make()

    def prepare(self):
        ostrandcore.initialise()
        ostrandcore.configure_cache([], "subtree", self.mode)

    def act(self):
        mark = log_mark()
        result = outcome(ostrandcore.query_elements_cached, self.desk["top"])
        return result, ostrandcore.get_active_mode(), log_since(mark).splitlines()

    def again(self):
        ostrandcore.configure_cache([], "subtree", self.mode)
        return self.act()[:2]

    def expect(self, base, f):
        """The mode reported is the path decided for the window, whether
        its refresh worked or failed."""
        (kind, records), mode, log = base
        assert kind == "returns"
        uses_uia = mode == "uia"
        call, k = f.call, f.k
        if uses_uia and call in LAZY_START:
            return refresh_failed(f.hr), mode, [LAZY_START[call] % f.hr]
        if self.mode == "auto":
            # The classifier reads the class name and counts descendants first.
            if call == "GetClassNameW":
                if k == 1:
                    return base  # an unknown class: the count decides, as before
                k -= 1
            if call == "EnumChildWindows":
                if k == 1:
                    # No descendants counted: the window goes to UI Automation.
                    return ("returns", self.uia_view), "uia", [LAZY_OK]
                k -= 1
        f = Fault(call, k, f.code)
        if uses_uia:
            refreshed = uia_refresh(records, f)
            return (refreshed if isinstance(refreshed, tuple) else ("returns", refreshed)), mode, log
        return ("returns", win32_refresh(records, f)), mode, log

    def reference(self):
        """The window as the UI Automation path sees it, for the auto case."""
        if self.mode == "auto":
            ostrandcore.initialise()
            ostrandcore.configure_cache([], "subtree", "uia")
            self.uia_view = ostrandcore.query_elements_cached(self.desk["top"])
            ostrandcore.shutdown()


class Find(Scenario):
    """find_element, with the session opening inside the step."""

    def __init__(self, name, by, value, found):
        self.name, self.by, self.value, self.found = name, by, value, found

    def build(self):
        simdesk.set_title_bars(True)   # a search of a top-level window meets its title bar first
        super().build()

    @staticmethod
    def fresh(result):
        """The result with its handle id checked and released: ids are never
        handed out twice, so runs differ only there."""
        if result[0] == "returns" and result[1]:
            handle = result[1]["handle_id"]
            assert isinstance(handle, int) and handle > 0
            ostrandcore.release_element(handle)
            result = ("returns", {**result[1], "handle_id": "fresh"})
        return result

    def act(self):
        mark = log_mark()
        result = self.fresh(outcome(ostrandcore.find_element, self.desk["top"], self.by, self.value))
        return result, log_since(mark).splitlines()

    def again(self):
        return self.act()[0]

    def reference(self):
        # What a search for the empty text finds (an unconvertible value).
        ostrandcore.initialise()
        self.empty = self.fresh(outcome(ostrandcore.find_element, self.desk["top"], self.by, ""))
        ostrandcore.shutdown()

    def expect(self, base, f):
        (kind, found), log = base
        assert kind == "returns" and found and found["name"] == self.found
        call = f.call
        if call in LAZY_START:
            return NO_AUTOMATION, [LAZY_START[call] % f.hr]
        if call == "MultiByteToWideChar" and self.by != "control_type":
            return self.empty, log
        if call == "SysAllocString":
            return ("raises", "MemoryError", ""), log
        if call == "CreatePropertyCondition":
            return ("raises", "RuntimeError", "CreatePropertyCondition failed: HRESULT 0x%08X" % f.code), log
        if call == "ElementFromHandle":
            return ("returns", None), log
        if call == "FindFirst":  # only a failed search is logged
            return ("returns", None), log + ([] if f.empty else ["findElement failed: 0x%08X" % f.code])
        if call in CURRENT_GETTERS:
            field = CURRENT_GETTERS[call]
            return ("returns", {**found, field: MISSING[field]}), log
        return base


def action_result(success, path, hr=0):
    return ("returns", {"success": success, "path": path, "hr": hr})


def rect_read_failed(path):
    """A failed rectangle read ends a Win32 fallback with its code; a read
    that succeeded without a value leaves the rectangle empty, its centre at
    (0, 0), where nothing is: a click or hover goes there, no window takes
    the wheel."""
    def showing(f):
        if not f.empty:
            return action_result(False, path, signed(f.code))
        return action_result(False, path, signed(E_FAIL)) if path == "Win32Scroll" else action_result(True, path)
    return showing


def handle_read_failed(path):
    """A window handle that could not be read: an element that is gone (the
    code the sweep fails calls with) is reported as gone; a read that
    succeeded without a value is a window-less element's."""
    return lambda f: action_result(False, path, signed(E_FAIL if f.empty else f.code))


class Action(Scenario):
    """execute_action on an element found beforehand. `pattern`: the path the
    un-faulted action takes; `fallback`: what its Win32 fallback gives, or
    None when the action has none; `on_failure`: documented results of the
    action's own calls failing (call -> result)."""

    def __init__(self, name, make, element, action, params, pattern, fallback=None, on_failure=None):
        self.name, self.make, self.element, self.action, self.params = name, make, element, action, params
        self.pattern, self.fallback, self.on_failure = pattern, fallback, on_failure or {}

    def build(self):
        self.desk = self.make()

    def prepare(self):
        ostrandcore.initialise()
        element = self.desk[self.element]
        if "node" in self.desk:
            # The same starting state for every run of the step.
            simdesk.set_element(self.desk["doc"], scroll_percent=50.0)
            simdesk.set_element(self.desk["node"], expand_state=int(not self.params.get("expand", True)))
            simdesk.set_element(self.desk["item"], selected=False)
        self.found = ostrandcore.find_element(self.desk["top"], "automation_id", simdesk.element(element)["automation_id"])
        assert self.found is not None

    def act(self):
        return outcome(ostrandcore.execute_action, self.found, self.action, self.params)

    def expect(self, base, f):
        assert base == self.pattern
        call = f.call
        if f.empty and call in REPORT_ONLY:
            return base
        if call in self.on_failure:
            showing = self.on_failure[call]
            return showing(f) if callable(showing) else showing
        if call in REPORT_ONLY | {"GetCurrentPatternAs", "SysAllocString"}:
            if self.fallback is not None:
                return self.fallback
            path = self.pattern[1]["path"]
            return action_result(False, path, signed(f.code))  # a missing pattern is S_OK, hr 0
        return base


class Subscription(Scenario):
    """subscribe_events for one kind; the session opens inside the step."""

    def __init__(self, name, kind):
        self.name, self.kind = name, kind

    def prepare(self):
        ostrandcore.initialise()
        ostrandcore.configure_cache([], "subtree", "uia")
        self.rec = Recorder()

    def act(self):
        mark = log_mark()
        result = outcome(ostrandcore.subscribe_events, self.desk["top"], [self.kind], "subtree", self.rec)
        return result, registrations(), log_since(mark).splitlines()

    def again(self):
        self.act()
        self.rec.take()
        self.fire()
        settle()
        if self.kind == "StructureChanged" and registrations():
            wait_for(lambda: self.rec.events)  # delivered after the refresh that follows it
        return sorted({e["event_type"] for e in self.rec.take()})

    def fire(self):
        if self.kind == "StructureChanged":
            simdesk.fire_structure_changed(self.desk["doc"], simdesk.StructureChangeType_ChildAdded, [42, 7, 1])
        elif self.kind == "PropertyChanged":
            simdesk.fire_property_changed(self.desk["send"], simdesk.UIA_NamePropertyId, "Sent")
        else:
            simdesk.fire_focus_changed(self.desk["send"])

    def expect(self, base, f):
        result, regs, log = base
        assert result == ("returns", None) and len(regs) == 1
        call, k = f.call, f.k
        # Nothing registered; the log says which registration failed, and how.
        failed = "subscribe_events: %s registration failed: 0x%%08X" % self.kind
        if call in LAZY_START:
            return result, [], [LAZY_START[call] % f.hr, failed % 0x8007139F]
        if call in ("ElementFromHandle", "SafeArrayCreateVector", "AddStructureChangedEventHandler",
                    "AddPropertyChangedEventHandler", "AddFocusChangedEventHandler"):
            if call == "SafeArrayCreateVector":
                hr = E_OUTOFMEMORY
            elif call == "ElementFromHandle":
                hr = f.hr
            else:
                hr = None if f.empty else f.code
            return result, [], log + ([] if hr is None else [failed % hr])
        if call == "SafeArrayPutElement":
            kind, element, scope, props = regs[0]
            props = list(props)
            props[k - 1] = 0  # the slot keeps the value the new array was created with
            return result, [(kind, element, scope, tuple(props))], log
        return base


class Event(Scenario):
    """One event on a live subscription, with the store filled beforehand."""

    def __init__(self, name, kind, mode, make, fire):
        self.name, self.kind, self.mode, self.make, self.fire = name, kind, mode, make, fire

    def build(self):
        self.desk = self.make()

    def prepare(self):
        # The change is a real one (the sender's own value is checked), so
        # the name goes back first, while nothing listens.
        if "send" in self.desk:
            simdesk.set_element(self.desk["send"], name="Send")
        ostrandcore.initialise()
        ostrandcore.configure_cache([], "subtree", self.mode)
        self.rec = Recorder()
        ostrandcore.subscribe_events(self.desk["top"], [self.kind], "subtree", self.rec)
        ostrandcore.query_elements_cached(self.desk["top"])

    def again(self):
        if self.kind == "PropertyChanged":  # the name back, so that the change is one again
            simdesk.set_element(self.desk["send"], name="Send")
            settle()
            self.rec.take()
        return self.act()

    def act(self):
        self.fire(self.desk)
        settle()
        if self.kind == "StructureChanged":
            wait_for(lambda: self.rec.events)  # delivered after the refresh that follows it
        if self.kind == "PropertyChanged":
            # A change that could not be patched has the window read again
            # on the refresh thread; the snapshot is out of date until then.
            wait_for(lambda: ostrandcore.get_benchmark_metrics()["cache_valid"])
        return self.rec.take(), stored()

    def expect(self, base, f):
        events, records = base
        assert len(events) == 1 and records
        key = events[0]["runtime_id_key"]
        call, k = f.call, f.k
        if self.kind == "FocusChanged":
            return base
        if self.kind == "StructureChanged":
            # The event's runtime id is read first, in the handler; the
            # refresh follows on the refresh thread.
            if call == "CoInitializeEx":
                return base  # the refresh thread's apartment: the refresh works without it
            if call in ("SafeArrayGetLBound", "SafeArrayGetUBound"):
                if k == 1:
                    return [{**events[0], "runtime_id_key": key_after_bound(key, f)}], records
                k -= 1
            if call == "SafeArrayGetElement":
                length = len(key.split(","))
                if k <= length:
                    return [{**events[0], "runtime_id_key": with_zero(key, k - 1)}], records
                k -= length
            refreshed = (uia_refresh if self.mode == "uia" else win32_refresh)(records, Fault(call, k, f.code))
            if isinstance(refreshed, tuple):
                refreshed = None  # a failed refresh leaves the store invalid
            return events, refreshed
        # PropertyChanged: the record is patched in place by the sender's runtime id.
        before = self.unpatched
        if call == "GetRuntimeId":
            return [], records  # no id: the window is read again, nothing is delivered
        if call == "get_CachedName" and f.empty:
            return events, before  # the sender's own name reads as empty: not its change, not patched
        if call in ("SafeArrayGetLBound", "SafeArrayGetUBound"):
            # No key read: not known what changed, so the window is read again.
            read = key_after_bound(key, f)
            return [{**events[0], "runtime_id_key": read}], records if read in (key, "") else before
        if call == "SafeArrayGetElement":
            return [{**events[0], "runtime_id_key": with_zero(key, k - 1)}], before
        return base

    def reference(self):
        if self.kind == "PropertyChanged":
            ostrandcore.initialise()
            ostrandcore.configure_cache([], "subtree", self.mode)
            self.unpatched = ostrandcore.query_elements_cached(self.desk["top"])
            ostrandcore.shutdown()


def fire_structure(desk):
    simdesk.fire_structure_changed(desk["top"], simdesk.StructureChangeType_ChildrenInvalidated, [42, 7, 1])


def fire_name(desk):
    simdesk.set_element(desk["send"], name="Sent")


def fire_focus(desk):
    simdesk.fire_focus_changed(desk["send"])


PAGE_NO_WINDOW = action_result(False, "Win32Click", signed(E_FAIL))
NOT_ENABLED = signed(simdesk.UIA_E_ELEMENTNOTENABLED)
# A window that does not say it exists is gone: HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE).
GONE = signed(0x80070578)


SCENARIOS = [
    Lifecycle(),
    ShutdownWithSubscriptions(),
    Query("query-uia", "uia", page),
    Query("query-win32", "win32", dialog),
    Query("query-auto-win32", "auto", dialog),
    Query("query-auto-uia", "auto", page),
    Find("find-by-text", "automation_id", "send", "Send"),
    Find("find-by-control-type", "control_type", "50000", "Minimize"),
    # click: Invoke, and a window-less element has no Win32 fallback
    Action("click-invoke", page, "send", "click", {}, action_result(True, "InvokePattern"),
           fallback=PAGE_NO_WINDOW),
    # click on a window without Invoke: the Win32 click
    Action("click-win32", dialog, "label", "click", {}, action_result(True, "Win32Click"),
           fallback=action_result(True, "Win32Click"),
           on_failure={"GetCurrentPropertyValue": handle_read_failed("Win32Click"),
                       # no click at a point that could not be read
                       "get_CurrentBoundingRectangle": rect_read_failed("Win32Click"),
                       "ScreenToClient": action_result(False, "Win32Click", signed(E_FAIL)),
                       # a window that does not say it is enabled takes no posted input
                       "IsWindowEnabled": action_result(False, "Win32Click", NOT_ENABLED),
                       "IsWindow": action_result(False, "Win32Click", GONE),
                       # a message that could not be posted, the press or the release, fails the click
                       # (an error code passes through HRESULT_FROM_WIN32 as it is when it is one already)
                       "PostMessageW": action_result(False, "Win32Click", signed(CODE))}),
    Action("type-value", dialog, "edit", "type", {"text": "hi"}, action_result(True, "ValuePattern"),
           fallback=action_result(True, "Win32Type")),
    # a read-only edit: the Value pattern refuses, the Win32 typing does it
    Action("type-win32", dialog, "locked", "type", {"text": "hi"}, action_result(True, "Win32Type"),
           fallback=action_result(True, "Win32Type"),
           on_failure={"GetCurrentPropertyValue": handle_read_failed("Win32Type"),
                       "IsWindowEnabled": action_result(False, "Win32Type", NOT_ENABLED),
                       "IsWindow": action_result(False, "Win32Type", GONE),
                       "PostMessageW": action_result(False, "Win32Type", signed(CODE))}),
    Action("scroll-pattern", page, "doc", "scroll", {}, action_result(True, "ScrollPattern"),
           fallback=action_result(True, "Win32Scroll")),
    # no Scroll pattern: the wheel goes to the window under the centre
    Action("scroll-win32", dialog, "label", "scroll", {}, action_result(True, "Win32Scroll"),
           fallback=action_result(True, "Win32Scroll"),
           on_failure={"WindowFromPoint": action_result(False, "Win32Scroll", signed(E_FAIL)),
                       "get_CurrentBoundingRectangle": rect_read_failed("Win32Scroll"),
                       # a wheel nobody took
                       "SendMessageTimeoutW": action_result(False, "Win32Scroll", signed(CODE))}),
    Action("focus", page, "send", "focus", {}, action_result(True, "FocusPattern"),
           on_failure={"SetFocus": action_result(False, "FocusPattern", signed(CODE))}),
    Action("hover", dialog, "edit", "hover", {}, action_result(True, "Win32Hover"),
           on_failure={"SetCursorPos": action_result(False, "Win32Hover", signed(CODE)),
                       "get_CurrentBoundingRectangle": rect_read_failed("Win32Hover")}),
    Action("select", page, "item", "select", {}, action_result(True, "SelectionItemPattern")),
    Action("expand", page, "node", "expand", {}, action_result(True, "ExpandCollapsePattern")),
    Action("collapse", page, "node", "expand", {"expand": False}, action_result(True, "ExpandCollapsePattern")),
    Subscription("subscribe-structure", "StructureChanged"),
    Subscription("subscribe-property", "PropertyChanged"),
    Subscription("subscribe-focus", "FocusChanged"),
    Event("event-structure-uia", "StructureChanged", "uia", page, fire_structure),
    Event("event-structure-win32", "StructureChanged", "win32", dialog, fire_structure),
    Event("event-property", "PropertyChanged", "uia", page, fire_name),
    Event("event-focus", "FocusChanged", "uia", page, fire_focus),
]
BY_NAME = {s.name: s for s in SCENARIOS}


def fresh(scenario):
    ostrandcore.shutdown()
    simdesk.reset()
    scenario.build()
    getattr(scenario, "reference", lambda: None)()


def reached(scenario):
    """Calls of the un-faulted step: {name: count}."""
    fresh(scenario)
    try:
        scenario.prepare()
        simdesk.reset_calls()
        scenario.act()
        counts = {k: v for k, v in simdesk.calls().items() if v}
    finally:
        scenario.finish()
        simdesk.reset()
    skip = ONCE_PER_PROCESS | (set() if scenario.loop_calls else PERCEPTION_LOOP)
    return {k: v for k, v in counts.items() if k not in skip and failable(k)}


_reached = {}


def reached_by_scenario():
    if not _reached:
        for s in SCENARIOS:
            _reached[s.name] = reached(s)
    return _reached


def pytest_generate_tests(metafunc):
    if "scenario_call" in metafunc.fixturenames:
        cases = [(name, call, code) for name, calls in reached_by_scenario().items() for call in sorted(calls)
                 for code in codes(call)]
        ids = ["%s:%s%s" % (name, call, ":S_OK" if code == simdesk.S_OK else "") for name, call, code in cases]
        metafunc.parametrize("scenario_call", cases, ids=ids)


def occurrences(scenario, call, count):
    if call in PERCEPTION_LOOP:
        return [1]
    return sorted(set(range(1, min(count, FIRST_OCCURRENCES) + 1)) | {count})


def test_one_failed_call(scenario_call):
    name, call, code = scenario_call
    scenario = BY_NAME[name]
    count = reached_by_scenario()[name][call]
    for k in occurrences(scenario, call, count):
        fresh(scenario)
        scenario.prepare()
        base = scenario.act()
        base_again = scenario.again()
        scenario.finish()

        scenario.prepare()
        simdesk.reset_calls()
        simdesk.fail(call, code, 1, k - 1)
        seen = scenario.act()
        assert simdesk.calls(call) >= k, "the step no longer reaches occurrence %d" % k
        simdesk.clear_faults()
        assert seen == scenario.expect(base, Fault(call, k, code)), "occurrence %d of %d" % (k, count)
        assert scenario.again() == base_again, "after occurrence %d" % k
        scenario.finish()
        assert simdesk.leaks() == {}, "after occurrence %d" % k


def test_the_sweep_reaches_every_failable_call_the_core_makes():
    """A platform call the core makes but no scenario reaches would escape
    the sweep: add a scenario for it."""
    swept = set().union(*reached_by_scenario().values())
    missing = {c for c in core_platform_calls() if failable(c)} - swept - ONCE_PER_PROCESS
    assert missing == set()


# ---- The core reaches the platform only through the desktop's call list ----

ROOT = Path(__file__).resolve().parents[2]
SIM_HEADER = ROOT / "src/platform/sim/include/simwin.h"
IUNKNOWN = {"QueryInterface", "AddRef", "Release"}


def core_sources():
    for path in sorted((ROOT / "src").rglob("*")):
        rel = path.relative_to(ROOT / "src").as_posix()
        if path.suffix in (".cpp", ".h") and not rel.startswith(("platform/sim/", "module/")):
            yield path


def interface_methods():
    """Methods of the COM interfaces the desktop provides (not those of the
    handler interfaces, which the core implements)."""
    text = SIM_HEADER.read_text()
    names = set(re.findall(r"virtual \w+ STDMETHODCALLTYPE (\w+)\(", text))
    return names - IUNKNOWN - {"HandleStructureChangedEvent", "HandlePropertyChangedEvent",
                               "HandleFocusChangedEvent"}


def imported_functions():
    """Functions that the extension module takes from the desktop library."""
    import ostrandcore as core
    module = Path(core.__file__)
    library = next((module.parent / "simdesk").glob("libsimdesk*"))

    def symbols(path, *flags):
        out = subprocess.run(["nm", "-D", *flags, str(path)], capture_output=True, text=True, check=True).stdout
        return {line.split()[-1] for line in out.splitlines() if line.strip()}

    defined = {s for s in symbols(library, "--defined-only") if not s.startswith("_Z")}
    return {s for s in symbols(module, "--undefined-only") & defined if not s.startswith(("IID_", "CLSID_"))}


def core_platform_calls():
    methods = interface_methods()
    called = set()
    for path in core_sources():
        text = path.read_text()
        called |= {m for m in re.findall(r"(?:->|::)(\w+)\b", text) if m in methods}
    return called | imported_functions()


def test_every_platform_call_of_the_core_is_on_the_desktop_call_list():
    calls = core_platform_calls()
    assert {"CoCreateInstance", "FindAllBuildCache", "EnumChildWindows", "Invoke"} <= calls  # the scan works
    assert calls - set(simdesk.call_names()) == set()


def test_a_failed_frequency_read_falls_back_and_queries_still_work():
    """The clock's frequency is read once per process: fail it in a new one."""
    result = run_python("""
        import ostrandcore, simdesk
        simdesk.fail("QueryPerformanceFrequency", simdesk.E_FAIL, 1)
        ostrandcore.initialise()
        top = simdesk.create_window(class_name="#32770", text="A", rect=(0, 0, 10, 10))
        ostrandcore.configure_cache([], "subtree", "win32")
        assert [r["name"] for r in ostrandcore.query_elements_cached(top)] == ["A"]
        assert simdesk.calls("QueryPerformanceFrequency") == 1
        ostrandcore.shutdown()
        assert simdesk.leaks() == {}, simdesk.leaks()
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


# ---- An application that stops answering at any step ----

UIA_TIMEOUT = 0x80131505
# Input to a window: none may follow a time-out.
INPUT_CALLS = ("PostMessageW", "SendMessageW", "SendMessageTimeoutW", "SetCursorPos")
WHEEL_NOT_TAKEN = ("returns", {"success": False, "path": "Win32Scroll", "hr": signed(0x800705B4)})
HUNG_SCENARIOS = [s.name for s in SCENARIOS if isinstance(s, (Query, Find, Action, Subscription))]


def timeout_reported(scenario, seen):
    """Whether the step says the application did not answer in time."""
    if isinstance(scenario, Query):
        return seen[0] == refresh_failed(UIA_TIMEOUT)
    if isinstance(scenario, Find):
        return seen[0] == ("returns", None) and "findElement failed: 0x%08X" % UIA_TIMEOUT in seen[1]
    if isinstance(scenario, Subscription):
        failed = "subscribe_events: %s registration failed: 0x%08X" % (scenario.kind, UIA_TIMEOUT)
        return seen[1] == [] and failed in seen[2]
    kind, result = seen
    return kind == "returns" and result["success"] is False and result["hr"] == signed(UIA_TIMEOUT)


@pytest.mark.parametrize("name", HUNG_SCENARIOS)
def test_an_application_that_stops_answering_at_any_step_is_waited_for_once(name):
    """The application stops answering before the step or just as any of its
    platform calls is entered (a UI Automation call, a post or a send): the
    step waits at most once, reports the time-out when it waited, and sends
    nothing after it; when nothing waited, it does what it does for an
    application that answers (input to a hung window waits in its queue)."""
    scenario = BY_NAME[name]
    points = [(None, 0)] + [(call, k) for call, count in sorted(reached_by_scenario()[name].items())
                            for k in occurrences(scenario, call, count)]
    for call, k in points:
        fresh(scenario)
        scenario.prepare()
        base = scenario.act()
        scenario.finish()

        simdesk.set_uia_timeouts(2, 20)
        scenario.prepare()
        simdesk.reset_calls()
        top = scenario.desk["top"]
        if call is None:
            simdesk.set_window_hung(top, True)
        else:
            simdesk.hang_window_on_call(top, call, skip=k - 1)
        seen = scenario.act()
        waits = simdesk.uia_timeouts()["timed_out"]
        where = "hung at %s #%d" % (call, k) if call else "hung before"
        assert waits <= 1, where
        if waits:
            assert timeout_reported(scenario, seen), (where, seen)
            assert sum(simdesk.calls(c) for c in INPUT_CALLS) == 0, where
        else:
            assert seen == base or seen == WHEEL_NOT_TAKEN, (where, seen)
        simdesk.clear_faults()
        simdesk.set_window_hung(top, False)
        scenario.finish()
        assert simdesk.leaks() == {}, where
