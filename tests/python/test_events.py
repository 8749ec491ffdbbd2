"""subscribe_events and delivery to Python, end to end: UI Automation calls
the handlers on its own threads while Python threads go on."""

import gc
import sys
import threading
import time

import pytest

import ostrandcore
import simdesk
from conftest import run_python, wait_for

NAME, IS_ENABLED, BOUNDING = 30005, 30010, 30001


class Recorder:
    def __init__(self):
        self.events = []
        self.threads = set()
        self.lock = threading.Lock()

    def __call__(self, event):
        with self.lock:
            self.events.append(event)
            self.threads.add(threading.get_ident())


def browser():
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Mail", rect=(0, 0, 800, 600))
    doc = simdesk.add_element(top, name="Inbox", class_name="Document", control_type=50030,
                              rect=(0, 80, 800, 600), runtime_id=[42, 7, 1])
    button = simdesk.add_element(doc, name="Send", class_name="Button", control_type=50000,
                                 rect=(10, 90, 90, 110), runtime_id=[42, 7, 2])
    return top, doc, button


def settle():
    assert simdesk.wait_for_events(10.0)



def records():
    return {e["runtime_id_key"]: e for e in ostrandcore.query_elements_cached(0)}


@pytest.fixture
def uia_window(initialised):
    ostrandcore.configure_cache([], "subtree", "uia")
    top, doc, button = browser()
    ostrandcore.query_elements_cached(top)
    return top, doc, button


def test_property_change_patches_one_record_and_is_delivered(uia_window):
    top, doc, button = uia_window
    rec = Recorder()
    before = records()
    ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree", rec)
    assert simdesk.event_registrations()[0]["properties"] == [NAME, IS_ENABLED, BOUNDING]
    simdesk.set_element(button, name="Send now")
    settle()
    after = records()
    assert after["42,7,2"]["name"] == "Send now"
    assert {k: v for k, v in after.items() if k != "42,7,2"} == {k: v for k, v in before.items() if k != "42,7,2"}
    assert {**after["42,7,2"], "name": "Send"} == before["42,7,2"]
    assert ostrandcore.get_benchmark_metrics()["cache_valid"] is True
    assert rec.events == [{"event_type": "PropertyChanged", "runtime_id_key": "42,7,2", "process_id": 0}]
    assert threading.get_ident() not in rec.threads

    # A raw element's change reaches the handler as its control ancestor's
    # (the document's); the document's record keeps its own name.
    raw = simdesk.add_element(doc, name="glyph", control_element=False, rect=(1, 81, 2, 82))
    simdesk.set_element(raw, name="RAW-CHANGED")
    simdesk.set_element(raw, enabled=False)
    settle()
    assert records()["42,7,1"]["name"] == "Inbox"
    assert records()["42,7,1"]["is_enabled"] is True
    assert records()["42,7,1"]["bounding_rect"] == (0, 80, 800, 600)
    assert [e["runtime_id_key"] for e in rec.events[1:]] == ["42,7,1"] * 2   # delivered, under the ancestor's key
    # VT_EMPTY says the name changed, not to what: the window is read again.
    simdesk.fire_property_changed(doc, NAME, None)
    settle()
    assert records() == {**before, "42,7,2": {**before["42,7,2"], "name": "Send now"}}
    assert len(rec.events) == 4
    # A move is the store's own concern (the rectangle is registered for it):
    # the window is read again, and the callback hears nothing of it.
    simdesk.set_element(doc, rect=(0, 90, 800, 600))
    settle()
    wait_for(lambda: ostrandcore.get_benchmark_metrics()["cache_valid"])
    assert records()["42,7,1"]["bounding_rect"] == (0, 90, 800, 600)
    assert len(rec.events) == 4


def test_structure_change_refreshes_before_the_callback_runs(uia_window):
    top, doc, button = uia_window
    seen = []

    def callback(event):
        seen.append((event, sorted(records())))

    ostrandcore.subscribe_events(top, ["StructureChanged"], "subtree", callback)
    simdesk.add_element(doc, name="New", runtime_id=[42, 7, 3])
    settle()
    wait_for(lambda: seen)
    event, keys = seen[-1]
    assert event["event_type"] == "StructureChanged"
    assert "42,7,3" in keys


def test_no_structure_callback_starts_once_shutdown_has_begun(uia_window):
    """A long backlog of slow structure callbacks, all in one batch of the
    refresh thread (the first callback holds it while they queue up): a
    shutdown in the middle of it returns, and no callback starts after it
    began (the one under way may finish)."""
    top, doc, button = uia_window
    began, backlog = threading.Event(), threading.Event()
    before, after = [], []

    def slow(event):
        (after if began.is_set() else before).append(event)
        if len(before) == 1:
            backlog.wait(10.0)
        time.sleep(0.005)

    ostrandcore.subscribe_events(top, ["StructureChanged"], "subtree", slow)
    simdesk.fire_structure_changed(doc, simdesk.StructureChangeType_ChildAdded, None)
    wait_for(lambda: before)
    for _ in range(200):
        simdesk.fire_structure_changed(doc, simdesk.StructureChangeType_ChildAdded, None)
    settle()   # every change noted and queued behind the first callback
    backlog.set()
    wait_for(lambda: len(before) >= 3)
    began.set()
    ostrandcore.shutdown()
    assert len(after) <= 1
    assert len(before) + len(after) < 201


def test_focus_events_carry_no_key_and_touch_nothing(uia_window):
    top, doc, button = uia_window
    rec = Recorder()
    ostrandcore.subscribe_events(0, ["StructureChanged", "PropertyChanged", "FocusChanged"], "subtree", rec)
    regs = simdesk.event_registrations()
    assert [r["kind"] for r in regs] == ["focus"]   # window 0: the focus handler only
    before = records()
    simdesk.fire_focus_changed(button)
    settle()
    assert rec.events == [{"event_type": "FocusChanged", "runtime_id_key": "", "process_id": 0}]
    assert records() == before


def test_subscription_semantics(uia_window):
    top, doc, button = uia_window
    first, second = Recorder(), Recorder()
    # A tuple stores the callable but registers nothing.
    ostrandcore.subscribe_events(top, ("PropertyChanged",), "subtree", first)
    assert simdesk.event_registrations() == []
    ostrandcore.subscribe_events(top, ["PropertyChanged", 3, "propertychanged"], "Subtree")
    simdesk.fire_property_changed(button, NAME, "x")
    settle()
    assert len(first.events) == 1          # None kept the earlier callable
    with pytest.raises(TypeError, match="^callback must be callable or None$"):
        ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree", 5)
    simdesk.fire_property_changed(button, NAME, "y")
    settle()
    assert len(first.events) == 2          # the failed call kept it too
    # Subscribing the same window again: every change arrives twice.
    ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree", second)
    simdesk.fire_property_changed(button, NAME, "z")
    settle()
    assert len(second.events) == 2


def test_a_raising_callback_does_not_stop_later_deliveries(uia_window):
    top, doc, button = uia_window
    calls = []

    def bad(event):
        calls.append(event)
        raise ValueError("from the callback")

    ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree", bad)
    for name in ("a", "b", "c"):
        simdesk.fire_property_changed(button, NAME, name)
    settle()
    assert len(calls) == 3


def test_after_shutdown_the_callable_is_released_and_never_called(uia_window):
    top, doc, button = uia_window
    rec = Recorder()
    refs = sys.getrefcount(rec)
    ostrandcore.subscribe_events(top, ["PropertyChanged", "StructureChanged"], "subtree", rec)
    assert sys.getrefcount(rec) == refs + 1
    # Deliveries in between: none may keep a reference of its own.
    for i in range(20):
        simdesk.fire_property_changed(button, NAME, "n%d" % i)
    simdesk.fire_structure_changed(doc, simdesk.StructureChangeType_ChildAdded, [42, 7, 9])
    settle()
    wait_for(lambda: len(rec.events) == 21)
    assert sys.getrefcount(rec) == refs + 1
    rec.events.clear()
    ostrandcore.shutdown()
    assert sys.getrefcount(rec) == refs
    assert simdesk.event_registrations() == []
    simdesk.fire_property_changed(button, NAME, "late")
    settle()
    assert rec.events == []


def test_shutdown_while_deliveries_wait_for_the_interpreter(uia_window):
    top, doc, button = uia_window
    entered = threading.Event()
    rec = Recorder()

    def slow(event):
        rec(event)
        entered.set()

    ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree", slow)
    # Fire a burst; the deliveries queue up on the interpreter lock, which
    # this thread holds until shutdown releases it for the wait.
    for i in range(50):
        simdesk.fire_property_changed(button, NAME, "n%d" % i)
    ostrandcore.shutdown()   # must neither deadlock nor leave a delivery behind
    assert simdesk.wait_for_events(10.0)
    n = len(rec.events)
    simdesk.fire_property_changed(button, NAME, "after")
    settle()
    assert len(rec.events) == n


def test_shutdown_waits_for_one_reading_of_a_batch_of_hung_windows(initialised):
    """Eight applications hang while their changes wait for the refresh
    thread in one batch: shutdown waits for the reading under way, not for
    one a window."""
    ostrandcore.configure_cache([], "subtree", "uia")
    windows = [simdesk.create_window(class_name="Chrome_WidgetWin_1", text="w%d" % i, rect=(0, 0, 100, 100))
               for i in range(8)]
    entered, release = threading.Event(), threading.Event()

    def hold(event):   # keeps the refresh thread while the other changes queue up
        entered.set()
        release.wait(30)

    for w in windows:
        ostrandcore.subscribe_events(w, ["StructureChanged"], "subtree", hold)
    simdesk.fire_structure_changed(windows[0], simdesk.StructureChangeType_ChildrenInvalidated)
    assert entered.wait(30)
    simdesk.set_uia_timeouts(2000, 2000)
    for w in windows[1:]:
        simdesk.set_window_hung(w, True)
        simdesk.fire_structure_changed(w, simdesk.StructureChangeType_ChildrenInvalidated)
    settle()   # every handler has returned: the seven wait for the thread together
    simdesk.reset_calls()
    release.set()
    wait_for(lambda: simdesk.uia_timeouts()["waiting"] == 1, timeout=30)
    ostrandcore.shutdown()
    assert simdesk.uia_timeouts()["timed_out"] == 1
    for w in windows:
        simdesk.set_window_hung(w, False)


def test_shutdown_from_inside_the_callback(uia_window):
    top, doc, button = uia_window
    done = []

    def stop(event):
        ostrandcore.shutdown()
        done.append(ostrandcore.get_active_mode())

    ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree", stop)
    simdesk.fire_property_changed(button, NAME, "bye")
    settle()
    assert done == ["not_initialised"]


def test_stress_events_against_queries_configuration_and_lifecycle():
    """Event storms on the desktop's threads while Python threads query,
    configure, subscribe and cycle initialise/shutdown."""
    stop = threading.Event()
    errors = []

    def guarded(fn):
        def run():
            while not stop.is_set():
                try:
                    fn()
                except RuntimeError as e:
                    # Between cycles the framework is down, and a refresh may
                    # meet a window that the storm just destroyed.
                    if "not initialised" not in str(e) and "Cache refresh failed" not in str(e):
                        errors.append(e)
                except Exception as e:  # noqa: BLE001
                    errors.append(e)
        return threading.Thread(target=run)

    top, doc, button = browser()

    stormed = []

    def storm():
        stormed.append(1)
        simdesk.fire_property_changed(button, NAME, "s")
        simdesk.fire_structure_changed(doc, simdesk.StructureChangeType_ChildAdded, [42, 7, 9])
        simdesk.fire_focus_changed(button)
        # Every delivery to Python waits for the interpreter lock, which the
        # busy threads hand over only every switch interval: keep the storm
        # within what can be delivered, or the backlog only grows.
        time.sleep(0.002)

    def query():
        ostrandcore.query_elements_cached(top)
        time.sleep(0.0005)

    def configure():
        ostrandcore.configure_cache(["name", "class_name"], "subtree", "auto")
        time.sleep(0.0005)

    delivered = []

    def subscribe():
        ostrandcore.subscribe_events(top, ["StructureChanged", "PropertyChanged", "FocusChanged"], "subtree",
                                     delivered.append)

    def subscribe_now_and_then():
        subscribe()
        time.sleep(0.01)

    workers = [guarded(f) for f in (storm, storm, query, configure, subscribe_now_and_then)]
    for w in workers:
        w.start()
    try:
        for cycle in range(60):
            ostrandcore.initialise()
            subscribe()
            simdesk.fire_property_changed(button, NAME, "cycle %d" % cycle)
            assert simdesk.wait_for_events(30.0)   # lets the storm threads run meanwhile
            if cycle % 2:
                query()
            ostrandcore.shutdown()
            assert simdesk.wait_for_events(10.0)
    finally:
        stop.set()
        for w in workers:
            w.join(30)
    assert not any(w.is_alive() for w in workers)
    ostrandcore.shutdown()
    assert simdesk.wait_for_events(10.0)
    gc.collect()
    assert errors == []
    assert len(delivered) >= 60
    assert len(stormed) >= 20
    assert simdesk.leaks() == {}


def test_interpreter_exit_with_live_subscriptions():
    result = run_python("""
        import threading, ostrandcore, simdesk
        top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="w", rect=(0, 0, 10, 10))
        b = simdesk.add_element(top, name="b", runtime_id=[42, 1, 1])
        ostrandcore.initialise()
        ostrandcore.subscribe_events(top, ["PropertyChanged", "FocusChanged"], "subtree", lambda e: None)
        def fire():
            for i in range(100000):
                simdesk.fire_property_changed(b, 30005, str(i))
        threading.Thread(target=fire, daemon=True).start()
        print("exiting")
    """, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "exiting" in result.stdout


def test_callbacks_that_call_the_lifecycle_during_a_shutdown(uia_window):
    top, doc, button = uia_window
    seen = []

    def meddle(event):
        # Runs while the main thread's shutdown waits for this very call.
        ostrandcore.shutdown()
        try:
            ostrandcore.initialise()
            seen.append("initialised")
        except RuntimeError as e:
            seen.append(str(e))

    ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree", meddle)
    # Keep the interpreter lock on this thread until shutdown lets it go, so
    # that the delivery, already inside the handler, waits for it.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    try:
        simdesk.fire_property_changed(button, NAME, "now")
        deadline = time.monotonic() + 10
        while simdesk.event_stats()["in_progress"] == 0 and time.monotonic() < deadline:
            pass
        ostrandcore.shutdown()
    finally:
        sys.setswitchinterval(interval)
    assert simdesk.wait_for_events(10.0)
    # Either the callback came in while this thread's shutdown waited for it
    # (and was refused instead of deadlocking), or it came first, in the
    # moment this thread let the interpreter go to take the lifecycle lock.
    assert seen in (["initialise failed: a shutdown is in progress; not waiting for it inside an event callback"],
                    ["initialised"])
    assert ostrandcore.get_active_mode() == "not_initialised"


def test_calls_that_arrive_after_the_handlers_are_removed_touch_nothing(uia_window):
    """Windows lets an event in flight arrive after RemoveAllEventHandlers
    returns, and does not promise to wait for calls in progress: calls that
    come late, even into a framework started again, find the old engine's
    gate closed."""
    top, doc, button = uia_window
    old, new = Recorder(), Recorder()
    ostrandcore.subscribe_events(top, ["StructureChanged", "PropertyChanged"], "subtree", old)
    simdesk.pause_delivery(True)
    for i in range(20):
        simdesk.fire_property_changed(button, NAME, "late %d" % i)
        simdesk.fire_structure_changed(doc, simdesk.StructureChangeType_ChildAdded, None)
    simdesk.set_late_calls(True)
    simdesk.set_removal_waits(False)
    ostrandcore.shutdown()
    assert simdesk.event_registrations() == []
    ostrandcore.initialise()
    ostrandcore.configure_cache([], "subtree", "uia")
    served = ostrandcore.query_elements_cached(top)
    ostrandcore.subscribe_events(0, [], "subtree", new)
    simdesk.pause_delivery(False)
    assert simdesk.wait_for_events(10.0)
    assert simdesk.event_stats()["calls"] >= 40   # they did arrive, late
    assert old.events == [] and new.events == []
    assert ostrandcore.query_elements_cached(top) == served   # the new store was not touched
    ostrandcore.shutdown()
    assert simdesk.leaks() == {}
