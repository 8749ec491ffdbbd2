"""The eleven module functions, fuzzed: random sequences of calls with random
arguments of every kind (huge and negative integers, strings with
surrogates and NULs, bytes, floats, None, nested containers, objects whose
special methods raise, callbacks that raise or call back into the module),
interleaved with desktop changes, events and single injected faults. Only
the documented exceptions may come out, results have their documented
shapes, no argument gains or loses a reference, and nothing platform-side
is left alive after shutdown.

`make test` runs a fixed, reproducible selection (the "ci" profile); `make
fuzz` runs a longer random one (OSTRAND_FUZZ_PROFILE=long)."""

import faulthandler
import functools
import math
import os
import random
import re
import sys
import threading

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ostrandcore
import simdesk

STEPS = 200  # operations per example, at most
settings.register_profile("ci", max_examples=1500, derandomize=True, database=None, deadline=None,
                          suppress_health_check=list(HealthCheck), print_blob=True)
settings.register_profile("long", max_examples=20000, derandomize=False, database=None, deadline=None,
                          suppress_health_check=list(HealthCheck), print_blob=True)
PROFILE = os.environ.get("OSTRAND_FUZZ_PROFILE", "ci")
MIN_CALLS = {"ci": 100_000, "long": 1_000_000}[PROFILE]
HANG_LIMIT_S = {"ci": 900, "long": 7200}[PROFILE]


class Boom(Exception):
    """Raised by the fuzz's own objects; the module may let it through when
    it asks such an object for a value (an __index__ that raises)."""


def raising(what):
    def method(self, *args):
        raise Boom(what)
    return method


class Evil:
    """Every question asked of it raises."""
    __eq__ = raising("eq")
    __hash__ = raising("hash")
    __index__ = raising("index")
    __str__ = raising("str")
    __bool__ = raising("bool")
    __len__ = raising("len")

    def __repr__(self):
        return "Evil()"


class EvilCallable(Evil):
    __call__ = raising("call")


class EvilStr(str):
    """A str whose comparisons raise: passes every str check of the module."""
    __eq__ = raising("eq")

    def __hash__(self):
        return hash(str(self))


class HandleKey(str):
    """Hashes like "handle_id", so a dict lookup of that key compares with it."""
    __eq__ = raising("eq")

    def __hash__(self):
        return hash("handle_id")


class BigIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return "BigIndex(%d)" % self.value


class DictLike(dict):
    __getitem__ = raising("getitem")
    get = raising("get")

    def _repr_pretty_(self, p, cycle):
        p.text("DictLike(%r)" % dict.copy(self))


class ListLike(list):
    __getitem__ = raising("getitem")
    __iter__ = raising("iter")
    __len__ = raising("len")

    def _repr_pretty_(self, p, cycle):
        p.text("ListLike(%r)" % list.copy(self))


NAMES = ["name", "automation_id", "class_name", "control_type", "bounding_rect", "is_enabled", "process_id",
         "runtime_id_key", "Name", "subtree", "children", "element", "auto", "uia", "win32", "click", "type", "scroll",
         "focus", "hover", "select", "expand", "Click", "StructureChanged", "PropertyChanged", "FocusChanged",
         "handle_id", "text", "50000", " 50000x", "", "\x00", "OK", "Send"]
surrogate_text = st.text(st.characters(codec=None, categories=["L", "N", "P", "Cs", "Cc", "So"]), max_size=6)
plain_strings = st.one_of(st.sampled_from(NAMES), surrogate_text)
strings = st.one_of(plain_strings, st.sampled_from(NAMES).map(EvilStr))
integers = st.one_of(st.integers(-3, 70000), st.integers(-(2 ** 70), 2 ** 70),
                     st.sampled_from([2 ** 31 - 1, 2 ** 31, -2 ** 31, -2 ** 31 - 1, 2 ** 64 - 1, 2 ** 64, -1]))
scalars = st.one_of(st.none(), st.booleans(), integers, st.floats(), strings, st.binary(max_size=4),
                    st.builds(Evil), st.integers(-(2 ** 65), 2 ** 65).map(BigIndex))
anything = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.tuples(inner, inner),
    st.dictionaries(plain_strings, inner, max_size=3), st.lists(inner, max_size=2).map(ListLike),
    st.dictionaries(plain_strings, inner, max_size=2).map(DictLike)), max_leaves=5)

DOCUMENTED = {
    "initialise": [(RuntimeError, r"initialise failed: .*")],
    "shutdown": [],
    "configure_cache": [(TypeError, r"properties must be a list of strings")],
    "query_elements_cached": [(RuntimeError, r"Cache refresh failed: HRESULT 0x[0-9A-F]{8}")],
    "find_element": [(ValueError, r"Unknown 'by' criterion: '.*'\. Use 'automation_id', 'name', 'control_type', "
                                  r"or 'class_name'"),
                     (RuntimeError, r"UIAutomation COM object is not available\. Ensure UIAutomationCore\.dll is "
                                    r"present and the process has COM access"),
                     (RuntimeError, r"CreatePropertyCondition failed: HRESULT 0x[0-9A-F]{8}")],
    "execute_action": [(ValueError, r"handle dict missing 'handle_id'"),
                       (RuntimeError, r"Element handle -?\d+ not found or already released"),
                       (ValueError, r"Unknown action '.*'\. Use click\|type\|scroll\|focus\|hover\|select\|expand")],
    "subscribe_events": [(TypeError, r"callback must be callable or None")],
    "get_benchmark_metrics": [],
    "release_element": [],
    "get_diagnostic_log": [],
    "get_active_mode": [],
}
GUARDED = {"configure_cache", "query_elements_cached", "find_element", "execute_action", "subscribe_events",
           "get_benchmark_metrics"}
# Inside an event callback initialise does not wait for a shutdown truly in
# progress: it says so instead (shutdown then returns None).
IN_CALLBACK = [(RuntimeError, r"initialise failed: a shutdown is in progress; not waiting for it inside "
                              r"an event callback")]
ELEMENT_KEYS = ["name", "automation_id", "class_name", "control_type", "bounding_rect", "is_enabled", "runtime_id_key"]
FOUND_KEYS = ELEMENT_KEYS[:-1] + ["handle_id"]
PATHS = {"InvokePattern", "ValuePattern", "ScrollPattern", "SelectionItemPattern", "ExpandCollapsePattern",
         "FocusPattern", "Win32Click", "Win32Type", "Win32Scroll", "Win32Hover"}


def parse_error(e):
    """An error of the interpreter's argument parsing (or of the argument's
    own __index__)."""
    if isinstance(e, (TypeError, OverflowError, Boom, UnicodeEncodeError)):
        return True
    return type(e) is ValueError and str(e) == "embedded null character"


def documented(function, e, in_callback=False):
    if isinstance(e, MemoryError) or parse_error(e):
        return True
    allowed = DOCUMENTED[function] + (IN_CALLBACK if in_callback else [])
    if function in GUARDED:
        allowed = allowed + [(RuntimeError, r"Framework not initialised")]
    return any(type(e) is kind and re.fullmatch(pattern, str(e), re.S) for kind, pattern in allowed)


def well_formed(function, result):
    if function == "initialise":
        return result == 0 and type(result) is int
    if function in ("shutdown", "configure_cache", "subscribe_events", "release_element"):
        return result is None
    if function == "query_elements_cached":
        return type(result) is list and all(type(r) is dict and list(r) == ELEMENT_KEYS for r in result)
    if function == "find_element":
        return result is None or (type(result) is dict and list(result) == FOUND_KEYS)
    if function == "execute_action":
        return (type(result) is dict and list(result) == ["success", "path", "hr"] and type(result["success"]) is bool
                and result["path"] in PATHS and type(result["hr"]) is int)
    if function == "get_benchmark_metrics":
        return type(result) is dict and list(result) == ["diag_log", "cache_valid", "snapshot_count",
                                                          "perception_mode", "uia_ready"]
    if function == "get_diagnostic_log":
        return type(result) is str
    return result in ("win32", "uia", "auto", "not_initialised")


def shared(value):
    """A str the interpreter shares (interned, or a one-character one): the
    module's own dictionary keys may be the very same object."""
    return type(value) is str and (len(value) <= 1 or sys._is_interned(value))


class Run:
    """One example: its desktop, its callbacks, what happened."""

    def __init__(self):
        self.calls = 0
        self.callback_calls = 0
        self.problems = []  # found on event threads, reported by the main thread
        self.lock = threading.Lock()
        self.windows, self.elements, self.handles = [], [], []
        self.callbacks = [self.recorder, self.raiser, self.query_back, self.find_back, self.subscribe_back,
                          self.release_back, self.shutdown_back, self.initialise_back, self.mode_back,
                          # Objects of the run's own, so that their counts are the module's business alone.
                          functools.partial(len), functools.partial(ostrandcore.get_active_mode), EvilCallable()]
        self.baseline = [sys.getrefcount(c) for c in self.callbacks]

    # ---- the module, checked ----

    def call(self, function, args, in_callback=False):
        before = [sys.getrefcount(a) for a in args]
        result, problem = None, None
        try:
            result = getattr(ostrandcore, function)(*args)
        except Exception as e:  # noqa: BLE001 - every exception is judged
            # Judged here: the exception may refer to an argument (a
            # UnicodeEncodeError holds its string) until it is dropped.
            if not documented(function, e, in_callback):
                problem = "raised %s: %s" % (type(e).__name__, e)
        else:
            if not well_formed(function, result):
                problem = "returned %r" % (result,)
        handle = result["handle_id"] if function == "find_element" and isinstance(result, dict) else None
        del result
        after = [sys.getrefcount(a) for a in args]
        with self.lock:
            if in_callback:
                self.callback_calls += 1
            else:
                self.calls += 1
            if problem:
                self.problems.append("%s%r %s" % (function, args, problem))
            # The callbacks may be stored, replaced or let go meanwhile (by a
            # callback's shutdown too): they are checked after shutdown.
            kept = [i for i, (b, a) in enumerate(zip(before, after))
                    if b != a and not any(args[i] is c for c in self.callbacks) and not shared(args[i])]
            if kept:
                self.problems.append("%s%r changed the reference counts of arguments %s" % (function, args, kept))
        if handle is not None:
            self.handles.append(handle)

    # ---- callbacks ----

    def recorder(self, event):
        if type(event) is not dict or list(event) != ["event_type", "runtime_id_key", "process_id"]:
            with self.lock:
                self.problems.append("event %r" % (event,))

    def raiser(self, event):
        raise Boom("callback")

    def query_back(self, event):
        self.call("query_elements_cached", (0,), True)
        self.call("get_benchmark_metrics", (), True)

    def find_back(self, event):
        if self.windows:
            self.call("find_element", (self.windows[0], "name", "OK"), True)

    def subscribe_back(self, event):
        self.call("subscribe_events", (0, ["FocusChanged"], "subtree", self.callbacks[0]), True)

    def release_back(self, event):
        self.call("release_element", (1,), True)

    def shutdown_back(self, event):
        self.call("shutdown", (), True)

    def initialise_back(self, event):
        self.call("initialise", (), True)

    def mode_back(self, event):
        self.call("get_active_mode", (), True)
        self.call("get_diagnostic_log", (), True)


class Pick:
    """Stands for one of the run's windows, handles or callbacks until the
    call is made. What is drawn is an index, so the draws do not depend on
    what earlier steps produced (events and their callbacks run on threads
    of their own); and the fuzzer, which keeps what it drew until the example
    ends, never holds a callback, whose references must be the module's
    alone."""

    def __init__(self, pool, index, form=None):
        self.pool, self.index, self.form = pool, index, form

    def __repr__(self):
        return "Pick(%r, %d, %r)" % (self.pool, self.index, self.form)

    def resolve(self, run):
        items = getattr(run, self.pool)
        item = items[self.index % len(items)] if items else 1
        if self.form == "dict":
            return {"handle_id": item}
        if self.form == "evil-key":
            return {HandleKey("x"): item}  # looked up, its key's __eq__ raises
        if self.form == "dict-like":
            return DictLike(handle_id=item)
        return item


def picks(pool, form=None):
    return st.builds(Pick, st.just(pool), st.integers(0, 255), st.just(form))


def resolved(run, args):
    return tuple(a.resolve(run) if isinstance(a, Pick) else a for a in args)


window_arg = st.one_of(picks("windows"), picks("windows"), st.sampled_from([0, 1, 2 ** 64 - 1, -1]), anything)
handle_value = st.one_of(integers, anything)
handle_arg = st.one_of(picks("handles", "dict"), picks("handles", "evil-key"), picks("handles", "dict-like"),
                       st.builds(lambda h: {"handle_id": h}, handle_value), anything)
params_arg = st.one_of(st.fixed_dictionaries({}, optional={"text": st.one_of(strings, anything),
                                                           "expand": st.one_of(st.booleans(), anything)}), anything)
properties_arg = st.one_of(st.lists(st.one_of(strings, anything), max_size=4), anything)
event_kinds = st.sampled_from(["StructureChanged", "PropertyChanged", "FocusChanged"])
event_types_arg = st.one_of(st.lists(event_kinds, min_size=1, max_size=3),
                            st.lists(st.one_of(event_kinds, strings, anything), max_size=4), anything)
callback_arg = st.one_of(picks("callbacks"), picks("callbacks"), st.none(), anything)

# Mostly the function's own argument shapes with random values; one time in
# ten, an argument tuple of any length and kind.
ARGUMENTS = {
    "configure_cache": st.one_of(st.tuples(properties_arg), st.tuples(properties_arg, strings),
                                 st.tuples(properties_arg, strings, strings)),
    "query_elements_cached": st.one_of(st.tuples(window_arg), st.tuples(window_arg, strings)),
    "find_element": st.tuples(window_arg, strings, strings),
    "execute_action": st.tuples(handle_arg, strings, params_arg),
    "subscribe_events": st.one_of(st.tuples(window_arg, event_types_arg),
                                  st.tuples(window_arg, event_types_arg, strings, callback_arg)),
    "release_element": st.tuples(st.one_of(picks("handles"), integers, anything)),
}
any_arguments = st.lists(anything, max_size=5).map(tuple)


class Junk:
    """Arguments of every kind made from a seed. Most calls draw only their
    function and a seed: hypothesis draws a few thousand structured values a
    second, too few for the calls this fuzz makes; a seed is cheap to draw,
    replays exactly, and shrinks toward 0."""

    def __init__(self, seed, run):
        self.r = random.Random(seed)
        self.run = run

    def text(self):
        r = self.r
        units = [r.choice([r.randint(0xD800, 0xDFFF), r.randint(0x20, 0x10FFFF), r.randint(0, 0x1F), 0x41])
                 for _ in range(r.randint(0, 6))]
        return "".join(map(chr, units))

    def string(self):
        k = self.r.randrange(6)
        if k <= 2:
            return self.r.choice(NAMES)
        if k == 3:
            return EvilStr(self.r.choice(NAMES))
        return self.text()

    def integer(self):
        r = self.r
        if r.randrange(2):
            return r.randint(-3, 70000)
        return r.choice([-1, 1]) * (2 ** r.randint(31, 80)) + r.randint(-2, 2)

    def scalar(self):
        r = self.r
        return [lambda: None, lambda: r.random() < 0.5, self.integer, self.integer, self.string, self.string,
                lambda: r.choice([0.0, -0.0, 1.5, math.inf, -math.inf, math.nan, 1e308]),
                lambda: r.randbytes(r.randint(0, 4)), Evil, lambda: BigIndex(self.integer())][r.randrange(10)]()

    def value(self, depth=0):
        r = self.r
        if depth >= 2 or r.randrange(3):
            return self.scalar()
        items = [self.value(depth + 1) for _ in range(r.randint(0, 3))]
        return [lambda: items, lambda: tuple(items), lambda: ListLike(items),
                lambda: {self.text(): v for v in items}, lambda: DictLike({self.text(): v for v in items})][
            r.randrange(5)]()

    def pick(self, pool, default=1):
        items = getattr(self.run, pool)
        return items[self.r.randrange(len(items))] if items else default

    def window(self):
        k = self.r.randrange(6)
        if k <= 2:
            return self.pick("windows")
        return self.r.choice([0, 1, 2 ** 64 - 1, -1]) if k == 3 else self.value()

    def handle_dict(self):
        r = self.r
        handle = self.pick("handles") if r.randrange(2) else self.value()
        return [lambda: {"handle_id": handle}, lambda: {HandleKey("x"): handle}, lambda: DictLike(handle_id=handle),
                self.value][r.randrange(4)]()

    def params(self):
        if self.r.randrange(4) == 0:
            return self.value()
        params = {}
        if self.r.randrange(2):
            params["text"] = self.string() if self.r.randrange(2) else self.value()
        if self.r.randrange(2):
            params["expand"] = self.r.choice([True, False]) if self.r.randrange(2) else self.value()
        return params

    def event_types(self):
        r = self.r
        if r.randrange(4) == 0:
            return self.value()
        kinds = ["StructureChanged", "PropertyChanged", "FocusChanged"]
        return [r.choice(kinds) if r.randrange(3) else self.value() for _ in range(r.randint(0, 3))]

    def args(self, function):
        r = self.r
        if r.randrange(10) == 0:
            return tuple(self.value() for _ in range(r.randint(0, 5)))
        if function == "configure_cache":
            props = [self.string() if r.randrange(3) else self.value() for _ in range(r.randint(0, 4))]
            return (props if r.randrange(5) else self.value(),) + tuple(self.string() for _ in range(r.randint(0, 2)))
        if function == "query_elements_cached":
            return (self.window(),) + ((self.string(),) if r.randrange(2) else ())
        if function == "find_element":
            return self.window(), self.string(), self.string()
        if function == "execute_action":
            return self.handle_dict(), self.string(), self.params()
        if function == "subscribe_events":
            args = (self.window(), self.event_types())
            if r.randrange(2):
                callback = self.pick("callbacks") if r.randrange(3) else r.choice([None, self.value()])
                args += (self.string(), callback)
            return args
        if function == "release_element":
            return (self.pick("handles") if r.randrange(2) else self.value(),)
        return ()


# Mostly module calls, by weight.
WEIGHTS = {"initialise": 2, "shutdown": 1, "configure_cache": 3, "query_elements_cached": 4, "find_element": 4,
           "execute_action": 4, "subscribe_events": 4, "get_benchmark_metrics": 1, "release_element": 2,
           "get_diagnostic_log": 1, "get_active_mode": 1}
# One drawn integer is one step: its kind (below) and the seed of its values.
KINDS = sum(([f] * w for f, w in WEIGHTS.items()), []) + ["desktop"] * 5 + ["event"] * 6 + ["fault", "drawn"]
step = st.integers(0, len(KINDS) * 2 ** 32 - 1)
# The "drawn" steps take their calls from a short list of calls whose
# arguments hypothesis draws (and shrinks) itself.
drawn_call = st.one_of([st.tuples(st.just(f), ARGUMENTS.get(f, any_arguments)) for f in WEIGHTS])
# Single faults, failures only: what a success without its work does is the
# sweep's business.
FAULTS = [c for c in simdesk.call_names() if simdesk.call_kind(c) != "never"]


def build_desktop(run):
    browser = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Page", rect=(0, 0, 400, 300))
    doc = simdesk.add_element(browser, name="Doc", control_type=simdesk.UIA_DocumentControlTypeId,
                              rect=(0, 20, 400, 300))
    for name, ctype in [("OK", simdesk.UIA_ButtonControlTypeId), ("Item", simdesk.UIA_ListItemControlTypeId),
                        ("Node", simdesk.UIA_TreeItemControlTypeId), ("Field", simdesk.UIA_EditControlTypeId)]:
        run.elements.append(simdesk.add_element(doc, name=name, automation_id=name.lower(), control_type=ctype,
                                                rect=(10, 30, 90, 50)))
    dialog = simdesk.create_window(class_name="#32770", text="Dialog", rect=(500, 100, 800, 400))
    for cls, text in [("Button", "OK"), ("Edit", "text"), ("Static", "Label")]:
        simdesk.create_window(parent=dialog, class_name=cls, text=text, rect=(510, 110, 600, 130))
    run.windows += [browser, dialog]
    run.elements += [doc, browser, dialog]


def change_desktop(run, seed):
    junk = Junk(seed, run)
    r = junk.r
    element = junk.pick("elements")
    window = junk.pick("windows")
    try:
        what = r.randrange(7)
        if what == 0:
            run.elements.append(simdesk.add_element(element, name=junk.text(),
                                                    control_type=r.choice([50000, 50004, 50007, 50025])))
        elif what == 1:
            simdesk.set_element(element, name=junk.text(), enabled=r.random() < 0.5)
        elif what == 2:
            simdesk.remove_element(element)  # refused for a window's element
        elif what == 3:
            run.elements.append(simdesk.create_window(parent=window, class_name=r.choice(
                ["Button", "Edit", "Static", "ListBox"]), text=junk.text(), rect=(0, 0, 20, 20)))
        elif what == 4:
            simdesk.set_runtime_id_readable(element, r.random() < 0.5)
        elif what == 5:
            if element not in run.windows:
                simdesk.destroy_window(element)
        else:
            simdesk.set_window_text(window, junk.text())
    except ValueError:
        pass  # an element or window that an earlier change removed


def fire_event(run, seed):
    junk = Junk(seed, run)
    r = junk.r
    element = junk.pick("elements")
    what = r.randrange(4)
    if what == 0:
        runtime_id = None if r.randrange(3) == 0 else [r.randint(-2 ** 31, 2 ** 31 - 1) for _ in range(r.randint(0, 4))]
        simdesk.fire_structure_changed(element, r.randint(0, 5), runtime_id)
    elif what == 1:
        value = r.choice([None, True, r.randint(-2 ** 31, 2 ** 31 - 1), junk.text(), [r.random() for _ in range(4)]])
        simdesk.fire_property_changed(element, r.choice([30005, 30010, 30001, 30003]), value)
    elif what == 2:
        simdesk.fire_focus_changed(element)
    else:
        assert simdesk.wait_for_events(10.0), "events not delivered within 10 s"


TOTAL = {"calls": 0, "callback_calls": 0, "examples": 0}


@settings(settings.get_profile(PROFILE))
@given(st.lists(step, min_size=STEPS // 2, max_size=STEPS), st.lists(drawn_call, max_size=3))
def fuzz(steps, drawn):
    simdesk.reset()
    run = Run()
    build_desktop(run)
    drawn = list(drawn)
    try:
        for number in steps:
            kind, seed = KINDS[number % len(KINDS)], number // len(KINDS)
            if kind == "desktop":
                change_desktop(run, seed)
            elif kind == "event":
                fire_event(run, seed)
            elif kind == "fault":
                simdesk.fail(FAULTS[seed % len(FAULTS)], simdesk.E_FAIL, 1, seed // len(FAULTS) % 4)
            elif kind == "drawn":
                if drawn:
                    function, args = drawn.pop()
                    run.call(function, resolved(run, args))
            else:
                run.call(kind, Junk(seed, run).args(kind))
        simdesk.clear_faults()
        assert simdesk.wait_for_events(10.0), "events not delivered within 10 s"
        run.call("shutdown", ())
        with run.lock:
            problems = list(run.problems)
        assert problems == [], problems[:5]
        assert simdesk.leaks() == {}
        counts = [sys.getrefcount(c) for c in run.callbacks]  # counted as the baseline was
        kept = [repr(c) for c, n, m in zip(run.callbacks, run.baseline, counts) if n != m]
        assert kept == [], "the module still holds callbacks after shutdown: %s" % kept
    finally:
        simdesk.clear_faults()
        ostrandcore.shutdown()
        simdesk.reset()
        TOTAL["calls"] += run.calls
        TOTAL["callback_calls"] += run.callback_calls
        TOTAL["examples"] += 1


def test_fuzzed_module_calls(capsys, monkeypatch):
    # The module must not report errors of its own to the unraisable hook
    # (printed on stderr) either.
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append("%s: %s" % (u.err_msg, u.exc_value)))
    faulthandler.dump_traceback_later(HANG_LIMIT_S, exit=True, file=sys.__stderr__)  # a hang fails, not stalls
    try:
        fuzz()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert unraisable[:5] == []
    with capsys.disabled():
        print("\nfuzz (%s): %d module calls, %d more from event callbacks, %d examples"
              % (PROFILE, TOTAL["calls"], TOTAL["callback_calls"], TOTAL["examples"]))
    assert TOTAL["calls"] >= MIN_CALLS
