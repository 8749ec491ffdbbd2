"""Shutdown storms: initialise/shutdown cycles with every kind of subscription
live, the desktop's delivery threads calling into Python and Python threads
querying and acting meanwhile; and the interpreter exiting in the middle of
such a storm."""

import faulthandler
import sys
import threading
import time

import pytest

import ostrandcore
import simdesk
from conftest import run_python

CYCLES = 1000
NAME = simdesk.UIA_NamePropertyId
EVENTS = ["StructureChanged", "PropertyChanged", "FocusChanged"]
WAIT = 30.0  # seconds; a wait that runs out fails the test instead of hanging it


def not_initialised(error):
    return isinstance(error, RuntimeError) and str(error) == "Framework not initialised"


class Gate:
    """Lets the worker threads run between open() and close(). close() returns
    once every worker is parked at its checkpoint, so that the desktop is quiet
    when the cycle's counters are read."""

    def __init__(self, workers):
        self.cond = threading.Condition()
        self.workers = workers
        self.parked = 0
        self.is_open = False
        self.stopping = False

    def checkpoint(self):
        """Called by a worker before each step; False when the storm is over."""
        with self.cond:
            if self.is_open or self.stopping:
                return not self.stopping
            self.parked += 1
            self.cond.notify_all()
            while not self.is_open and not self.stopping:
                self.cond.wait(WAIT)
            self.parked -= 1
            return not self.stopping

    def open(self):
        with self.cond:
            self.is_open = True
            self.cond.notify_all()

    def close(self):
        with self.cond:
            self.is_open = False
            assert self.cond.wait_for(lambda: self.parked == self.workers, WAIT), "a worker did not come back"

    def stop(self):
        with self.cond:
            self.stopping = True
            self.cond.notify_all()


class Callback:
    """Counts deliveries; now and then calls back into the module from the
    delivery thread, as a real callback refreshing its view would."""

    def __init__(self, window, errors):
        self.window = window
        self.lock = threading.Lock()
        self.calls = 0
        self.kinds = set()
        self.errors = errors

    def __call__(self, event):
        with self.lock:
            self.calls += 1
            n = self.calls
            self.kinds.add(event["event_type"])
        if n % 16 == 0:
            try:
                ostrandcore.query_elements_cached(self.window)
            except RuntimeError as e:
                if not not_initialised(e):
                    self.errors.append(e)


def desktop():
    """A browser window (window-less content, UI Automation path) with a
    button and an edit box."""
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Mail", rect=(0, 0, 800, 600))
    doc = simdesk.add_element(top, name="Inbox", class_name="Document", control_type=50030,
                              rect=(0, 80, 800, 600), runtime_id=[42, 7, 1])
    button = simdesk.add_element(doc, name="Send", class_name="Button", control_type=50000,
                                 rect=(10, 90, 90, 110), runtime_id=[42, 7, 2])
    edit = simdesk.add_element(doc, name="To", class_name="Edit", control_type=50004,
                               rect=(10, 120, 300, 140), runtime_id=[42, 7, 3])
    return top, doc, button, edit


@pytest.fixture
def watchdog():
    """Module calls hold the interpreter lock, so a deadlock in one could not
    be interrupted from Python: the watchdog ends the run with every thread's
    traceback instead of letting it hang."""
    faulthandler.dump_traceback_later(900, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def test_initialise_shutdown_cycles_under_an_event_storm(watchdog):
    top, doc, button, edit = desktop()
    simdesk.set_delivery_threads(6)
    errors = []
    callback = Callback(top, errors)
    baseline = sys.getrefcount(callback)

    def fire():
        simdesk.fire_property_changed(button, NAME, "storm")
        simdesk.fire_structure_changed(doc, simdesk.StructureChangeType_ChildrenInvalidated)
        simdesk.fire_focus_changed(edit)
        # Each delivery waits for the interpreter lock: a storm faster than
        # the lock can be handed over would only grow a backlog.
        time.sleep(0.002)

    def query():
        ostrandcore.query_elements_cached(top)
        ostrandcore.get_benchmark_metrics()
        time.sleep(0.001)

    def act():
        found = ostrandcore.find_element(top, "name", "Send")
        assert found is not None
        try:
            assert ostrandcore.execute_action(found, "click", {})["success"] is True
            to = ostrandcore.find_element(top, "name", "To")
            assert to is not None
            try:
                assert ostrandcore.execute_action(to, "type", {"text": "someone"})["success"] is True
            finally:
                ostrandcore.release_element(to["handle_id"])
        finally:
            ostrandcore.release_element(found["handle_id"])
        time.sleep(0.001)

    def subscribe():
        ostrandcore.subscribe_events(top, EVENTS, "subtree", callback)
        time.sleep(0.005)

    steps = [fire, fire, fire, query, act, subscribe]
    gate = Gate(len(steps))

    def worker(step):
        def run():
            while gate.checkpoint():
                try:
                    step()
                except Exception as e:  # noqa: BLE001
                    if not not_initialised(e):
                        errors.append(e)
        return threading.Thread(target=run, daemon=True)

    threads = [worker(step) for step in steps]
    for t in threads:
        t.start()
    started = time.monotonic()
    try:
        gate.close()
        for cycle in range(CYCLES):
            assert ostrandcore.initialise() == 0
            ostrandcore.configure_cache(["name", "automation_id", "control_type"], "subtree", "uia")
            ostrandcore.subscribe_events(top, EVENTS, "subtree", callback)
            gate.open()
            before = callback.calls
            # A change of the cycle's own, so that every cycle has delivered
            # something before it ends, and some work on this thread too.
            simdesk.fire_property_changed(button, NAME, "cycle %d" % cycle)
            assert simdesk.wait_for_events(WAIT), "deliveries did not settle (cycle %d)" % cycle
            assert callback.calls > before
            if cycle % 3 == 0:
                assert len(ostrandcore.query_elements_cached(top)) == 4
            ostrandcore.shutdown()   # with the storm still going
            gate.close()
            assert simdesk.wait_for_events(WAIT)
            assert errors == [], "cycle %d" % cycle
            assert simdesk.leaks() == {}, "cycle %d" % cycle
            assert sys.getrefcount(callback) == baseline, "cycle %d" % cycle
            assert simdesk.event_registrations() == []
    finally:
        gate.stop()
        for t in threads:
            t.join(WAIT)
    assert not any(t.is_alive() for t in threads)
    assert callback.kinds == set(EVENTS)
    print("\n%d cycles in %.1f s, %d deliveries" % (CYCLES, time.monotonic() - started, callback.calls))


# The interpreter exits while the desktop's threads deliver to Python and
# daemon threads go on calling the module. An atexit hook of the module shuts
# the framework down first; nothing may crash, hang or print.
EXIT_STORM = """
    import sys, threading, time, ostrandcore, simdesk
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="w", rect=(0, 0, 100, 100))
    doc = simdesk.add_element(top, name="doc", control_type=50030, runtime_id=[42, 1, 1])
    button = simdesk.add_element(doc, name="b", control_type=50000, runtime_id=[42, 1, 2])
    simdesk.set_delivery_threads(6)
    seen = []
    slow = False

    def callback(event):
        seen.append(event["event_type"])
        if slow:
            time.sleep(0.005)
        if len(seen) % 8 == 0:
            try:
                ostrandcore.query_elements_cached(0)
            except RuntimeError:
                pass

    def forever(step):
        def run():
            while True:
                try:
                    step()
                except RuntimeError:
                    pass
        threading.Thread(target=run, daemon=True).start()

    def fire():
        simdesk.fire_property_changed(button, 30005, "x")
        simdesk.fire_structure_changed(doc, 2)
        simdesk.fire_focus_changed(button)

    def query():
        ostrandcore.query_elements_cached(top)
        found = ostrandcore.find_element(top, "name", "b")
        if found:
            ostrandcore.execute_action(found, "click", {})
            ostrandcore.release_element(found["handle_id"])

    def cycle():
        ostrandcore.initialise()
        ostrandcore.subscribe_events(top, ["StructureChanged", "PropertyChanged", "FocusChanged"], "subtree",
                                     callback)
        time.sleep(0.001)
        ostrandcore.shutdown()

    ostrandcore.initialise()
    ostrandcore.configure_cache(["name"], "subtree", "uia")
    ostrandcore.subscribe_events(top, ["StructureChanged", "PropertyChanged", "FocusChanged"], "subtree", callback)
    for step in STEPS:
        forever(step)
    deadline = time.monotonic() + 10
    while len(seen) < 50 and time.monotonic() < deadline:
        time.sleep(0.01)
    print("delivered", len(seen) >= 50)
    EXIT
"""

EXITS = {
    "end of script": "",
    "sys.exit": "sys.exit(0)",
    "while callbacks run": "slow = True; time.sleep(0.02); sys.exit(0)",
}


@pytest.mark.parametrize("steps", ["fire, fire, query", "fire, fire, query, cycle"])
@pytest.mark.parametrize("exit_by", list(EXITS))
def test_interpreter_exit_in_the_middle_of_a_storm(steps, exit_by):
    for attempt in range(3):
        code = EXIT_STORM.replace("STEPS", "[%s]" % steps).replace("EXIT", EXITS[exit_by])
        result = run_python(code, timeout=120)
        assert (result.returncode, result.stderr) == (0, ""), "attempt %d" % attempt
        assert result.stdout == "delivered True\n"

