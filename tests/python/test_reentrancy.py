"""Caller code that runs inside a module call (a key's comparison, an
__index__, a finaliser) and does what it likes there: release the handle,
shut down, start again, subscribe, raise, or wait while another thread does
so. No crash, no hang, no action on the wrong element, only documented
outcomes, nothing left alive."""

import os
import sys
import threading

import pytest

import ostrandcore
import simdesk
from conftest import run_python, wait_for

# Runs in a child process, so that a crash fails one test instead of the run
# (and, in the ASan stage, is reported by ASan).
TABLE = r"""
import gc, re, sys, threading
import ostrandcore, simdesk

class Boom(Exception):
    pass

DOCUMENTED = re.compile(r"Framework not initialised|Element handle -?\d+ not found or already released"
                        r"|handle dict missing 'handle_id'")
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(u.exc_value)  # from finalisers

def documented(e):
    return isinstance(e, Boom) or (type(e) in (RuntimeError, ValueError) and DOCUMENTED.fullmatch(str(e)))

def desk():
    simdesk.reset()
    d = simdesk.create_window(class_name="#32770", text="Files", rect=(0, 0, 400, 300))
    ok = simdesk.create_window(parent=d, class_name="Button", text="OK", rect=(10, 10, 90, 40))
    delete = simdesk.create_window(parent=d, class_name="Button", text="Delete all", rect=(10, 50, 90, 80))
    edit = simdesk.create_window(parent=d, class_name="Edit", text="", rect=(10, 90, 300, 110))
    return d, ok, delete, edit

def pressed(hwnd):
    # Clicked through Win32 or invoked through its pattern.
    return simdesk.window(hwnd)["clicks"] + simdesk.element(hwnd)["invoke_count"]

# What the caller's code does.
def on_other_thread(work):
    t = threading.Thread(target=work)
    t.start()
    t.join()   # this thread waits, with the interpreter lock let go

def cycle():
    ostrandcore.shutdown()
    ostrandcore.initialise()

def boom():
    raise Boom()

BODIES = {
    "release": lambda c: ostrandcore.release_element(c["handle"]),
    "shutdown": lambda c: ostrandcore.shutdown(),
    "initialise": lambda c: ostrandcore.initialise(),
    "cycle": lambda c: cycle(),
    "subscribe": lambda c: ostrandcore.subscribe_events(c["top"], ["StructureChanged", "PropertyChanged"],
                                                        "subtree", lambda e: None),
    "raise": lambda c: boom(),
    "thread-release": lambda c: on_other_thread(lambda: ostrandcore.release_element(c["handle"])),
    "thread-cycle": lambda c: on_other_thread(cycle),
}

class MeddlingKey:
    # Hashes like `name`, so a lookup of `name` compares with it.
    def __init__(self, name, body):
        self.name, self.body = name, body
    def __hash__(self):
        return hash(self.name)
    def __eq__(self, other):
        self.body()
        return other == self.name

class MeddlingIndex:
    def __init__(self, value, body):
        self.value, self.body = value, body
    def __index__(self):
        self.body()
        return self.value

class MeddlingCallable:
    def __init__(self, body):
        self.body = body
    def __call__(self, event):
        pass
    def __del__(self):
        self.body()

def replaced_callable(c, body):
    ostrandcore.subscribe_events(c["top"], [], "subtree", MeddlingCallable(body))
    return ostrandcore.subscribe_events(c["top"], [], "subtree", lambda e: None)

def dropped_by_shutdown(c, body):
    ostrandcore.subscribe_events(c["top"], ["PropertyChanged"], "subtree", MeddlingCallable(body))
    return ostrandcore.shutdown()

# Every place where a module call runs the caller's code (window handles are
# parsed as exact ints, which run none).
PLACES = {
    "execute_action: handle dict key": lambda c, body: ostrandcore.execute_action(
        {MeddlingKey("handle_id", body): c["handle"]}, "click", {}),
    "execute_action: params key": lambda c, body: ostrandcore.execute_action(
        c["found"], "click", {MeddlingKey("text", body): "x"}),
    "execute_action: params key, typing": lambda c, body: ostrandcore.execute_action(
        c["typing"], "type", {MeddlingKey("text", body): "x"}),
    "subscribe_events: the callable it replaces": replaced_callable,
    "shutdown: the callable it drops": dropped_by_shutdown,
    "release_element: id": lambda c, body: ostrandcore.release_element(MeddlingIndex(c["handle"], body)),
}

# The caller's code leaves the framework down: the call says so, and acts on
# nothing.
LEFT_DOWN = {(place, "shutdown") for place in PLACES if place.startswith("execute_action")}

for place, call in PLACES.items():
    for name, body in BODIES.items():
        top, ok, delete, edit = desk()
        assert ostrandcore.initialise() == 0
        ostrandcore.configure_cache([], "subtree", "win32")
        found = ostrandcore.find_element(top, "name", "OK")
        c = {"top": top, "found": found, "handle": found["handle_id"],
             "typing": ostrandcore.find_element(top, "class_name", "Edit")}
        raised = None
        try:
            call(c, lambda: body(c))
        except Exception as e:
            raised = e
            assert documented(e), (place, name, e)
        # Whatever happened, nothing but OK was ever pressed.
        assert pressed(delete) == 0, (place, name)
        if (place, name) in LEFT_DOWN:
            assert repr(raised) == "RuntimeError('Framework not initialised')", (place, name, raised)
            assert pressed(ok) == 0 and simdesk.window(edit)["text"] == "", (place, name)
        assert all(documented(e) for e in unraisable), (place, name, unraisable)
        unraisable.clear()
        # And the module still works, then lets go of everything.
        ostrandcore.shutdown()
        assert ostrandcore.initialise() == 0
        assert ostrandcore.find_element(top, "name", "Delete all")["name"] == "Delete all"
        ostrandcore.shutdown()
        gc.collect()
        assert simdesk.leaks() == {}, (place, name, simdesk.leaks())
        print("ok", place, "|", name, flush=True)
print("done", len(PLACES) * len(BODIES))
"""


def test_caller_code_inside_a_call_cannot_crash_hang_or_misdirect():
    result = run_python(TABLE, timeout=300)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-4000:]
    assert result.stdout.splitlines()[-1] == "done 48"
    assert result.stderr == ""


def test_callbacks_meet_no_false_error_while_other_threads_call_the_lifecycle():
    """A no-op initialise on another thread is no shutdown in progress; the
    callable's references come back to where they were, deliveries and all."""
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Mail", rect=(0, 0, 800, 600))
    button = simdesk.add_element(top, name="Send", control_type=50000, rect=(10, 10, 90, 40))
    assert ostrandcore.initialise() == 0
    errors, delivered = [], []
    all_in = threading.Event()

    def callback(event):
        try:
            assert ostrandcore.initialise() == 0
        except RuntimeError as e:
            errors.append(str(e))
        delivered.append(event["event_type"])
        if len(delivered) == 300:
            all_in.set()

    baseline = sys.getrefcount(callback)
    ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree", callback)
    stop = threading.Event()

    def no_op_initialise():
        while not stop.is_set():
            ostrandcore.initialise()

    threads = [threading.Thread(target=no_op_initialise) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for i in range(300):
            simdesk.fire_property_changed(button, 30005, "n%d" % i)
        assert all_in.wait(60)
    finally:
        stop.set()
        for t in threads:
            t.join(60)
    assert errors == []
    # A callback's shutdown either shuts down or, with one truly under way,
    # returns None; it never raises.
    ostrandcore.subscribe_events(top, [], "subtree", lambda e: ostrandcore.shutdown())
    simdesk.fire_property_changed(button, 30005, "bye")
    assert simdesk.wait_for_events(10.0)
    assert ostrandcore.get_active_mode() == "not_initialised"
    ostrandcore.shutdown()
    assert sys.getrefcount(callback) == baseline


@pytest.mark.parametrize("how", ["replaced", "shut down"])
def test_a_delivery_holds_its_callable_while_another_thread_lets_go_of_it(how):
    """Another thread replaces the callable or shuts down while a delivery to
    it is in progress; the callable's own frame lets go of it too. It is
    finalised only once the delivery has returned."""
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Mail", rect=(0, 0, 800, 600))
    button = simdesk.add_element(top, name="Send", control_type=50000, rect=(10, 10, 90, 40))
    assert ostrandcore.initialise() == 0
    order, others = [], []

    def let_go():
        if how == "replaced":
            ostrandcore.subscribe_events(top, [], "subtree", lambda e: None)
        else:
            ostrandcore.shutdown()

    def shutting_down():
        try:
            ostrandcore.initialise()   # a no-op while up
        except RuntimeError:
            return True                # refused while the shutdown waits for this call
        return False

    class Callable:
        def __call__(self, event):
            other = threading.Thread(target=let_go)
            others.append(other)
            other.start()
            if how == "replaced":
                other.join()
            else:
                wait_for(shutting_down)   # it waits for this call to return
            order.append(how)
            del self
            order.append("returning")

        def __del__(self):
            order.append("finalised")

    ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree", Callable())
    simdesk.fire_property_changed(button, 30005, "Send now")
    assert simdesk.wait_for_events(10.0)
    for other in others:
        other.join(60)
    wait_for(lambda: "finalised" in order)
    assert order == [how, "returning", "finalised"]


def test_only_the_main_interpreter_loads_the_module():
    # In a child: CPython keeps a destroyed subinterpreter's memory for the
    # life of the process, which the leak checker would take for ours.
    result = run_python("""
        import _interpreters
        import ostrandcore
        for kind in ("legacy", "isolated"):
            interp = _interpreters.create(_interpreters.new_config(kind))
            try:
                failure = _interpreters.exec(interp, "import ostrandcore")
            finally:
                _interpreters.destroy(interp)
            print(kind, failure.type.__name__, failure.msg)
    """, env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"})
    assert result.returncode == 0, result.stderr
    message = "ImportError module ostrandcore does not support loading in subinterpreters"
    assert result.stdout.splitlines() == ["legacy " + message, "isolated " + message]
