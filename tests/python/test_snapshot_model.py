"""The snapshot tells the truth, as a property of random interleavings:
desktop changes (elements and windows added, removed, renamed, enabled,
moved, hidden, a window nested in another), reconfiguration (narrow ones
too), more subscriptions, queries from several threads, steady change in
two windows at once, and changes that land while a slow reading is under
way. At every quiet point (every event handled, every callback run) the
snapshot the store holds, served from memory, equals a fresh perception of
its window, and the answer for each window equals a fresh perception of it
under the configuration in force; in between, every answer is one whole
snapshot of the window named, and no callback finds the store invalid.

`make test` runs a short fixed selection; `make fuzz` a long random one
(OSTRAND_FUZZ_PROFILE=long)."""

import os
import threading
import time

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, precondition, rule

import ostrandcore
import simdesk
from conftest import wait_for

PROFILE = os.environ.get("OSTRAND_FUZZ_PROFILE", "ci")
settings.register_profile("model-ci", max_examples=40, stateful_step_count=25, derandomize=True, database=None,
                          deadline=None, suppress_health_check=list(HealthCheck))
settings.register_profile("model-long", max_examples=1500, stateful_step_count=60, derandomize=False,
                          database=None, deadline=None, suppress_health_check=list(HealthCheck))

MODES = ["auto", "uia", "win32"]
SCOPES = ["subtree", "children"]
PROPERTIES = [[], ["name", "control_type", "bounding_rect", "is_enabled"], ["automation_id", "control_type"],
              ["name", "control_type"]]
NAMES = st.sampled_from(["a", "b", "Send", "", "\u00e9t\u00e9", "x" * 40])


class SnapshotModel(RuleBasedStateMachine):
    @initialize()
    def build(self):
        simdesk.reset()
        # A browser-like window (window-less content) and a classic dialog
        # holding a panel window with controls of its own.
        self.page = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Page", rect=(0, 0, 800, 600))
        self.dialog = simdesk.create_window(class_name="#32770", text="Dialog", rect=(900, 0, 1300, 400))
        self.elements = [simdesk.add_element(self.page, name="e%d" % i, control_type=50000,
                                             rect=(10, 10 * i, 90, 10 * i + 8)) for i in range(3)]
        self.children = [simdesk.create_window(parent=self.dialog, class_name=c, text=t,
                                               rect=(910, 10 + 40 * i, 1000, 40 + 40 * i))
                         for i, (c, t) in enumerate([("Button", "OK"), ("Button", "Cancel"), ("Edit", "")])]
        # The panel and its controls stay, so that "auto" decides as it did
        # for the dialog (Win32) and the panel (three windows: Win32 too)
        # whatever is added or destroyed around them.
        self.panel = simdesk.create_window(parent=self.dialog, class_name="#32770", text="Panel",
                                           rect=(1010, 10, 1290, 390))
        self.fixed = [self.panel] + [simdesk.create_window(parent=self.panel, class_name=c, text=t,
                                                           rect=(1020, 20 + 40 * i, 1100, 50 + 40 * i))
                                     for i, (c, t) in enumerate([("Button", "Apply"), ("Static", "Note"),
                                                                 ("Edit", "")])]
        self.windows = [self.page, self.dialog, self.panel]
        self.own = {self.page: set(), self.dialog: set()}  # keys seen in each root's fresh perceptions
        self.config = ([], "subtree", "auto")
        self.lock = threading.Lock()
        self.structure_delivered = 0
        self.callback_reads = False   # structure callbacks read the store, as the README's example does
        self.callback_errors = []
        self.expect_valid = False     # whether the store must come to hold a current snapshot
        # Cross-process calls take a while, as they do: readings overlap changes.
        simdesk.set_latency(2000)  # microseconds
        assert ostrandcore.initialise() == 0
        ostrandcore.configure_cache(*self.config)
        for window in self.windows:
            ostrandcore.subscribe_events(window, ["StructureChanged", "PropertyChanged"], "subtree", self.callback)

    def callback(self, event):
        if event["event_type"] == "StructureChanged" and self.callback_reads:
            try:
                ostrandcore.query_elements_cached(0)
            except RuntimeError as e:
                with self.lock:
                    self.callback_errors.append(str(e))
        with self.lock:
            if event["event_type"] == "StructureChanged":
                self.structure_delivered += 1

    def teardown(self):
        if hasattr(self, "page"):
            self.quiet_point()
        ostrandcore.shutdown()
        assert simdesk.leaks() == {}

    def root_of(self, window):
        return self.page if window == self.page else self.dialog

    def controls(self):
        return self.children + self.fixed

    def changed_structure(self):
        """A subscribed window changed its structure: the refresh that
        follows stores a snapshot."""
        self.expect_valid = True

    # ---- desktop changes ----

    @rule(i=st.integers(0, 99), name=NAMES)
    def rename_element(self, i, name):
        if self.elements:
            simdesk.set_element(self.elements[i % len(self.elements)], name=name)

    @rule(i=st.integers(0, 99), enabled=st.booleans())
    def enable_element(self, i, enabled):
        if self.elements:
            simdesk.set_element(self.elements[i % len(self.elements)], enabled=enabled)

    @rule(i=st.integers(0, 99), name=NAMES)
    def add_element(self, i, name):
        parent = self.elements[i % len(self.elements)] if self.elements and i % 3 else self.page
        self.elements.append(simdesk.add_element(parent, name=name, control_type=50020, rect=(20, 20, 60, 30)))
        self.changed_structure()

    @rule(i=st.integers(0, 99))
    def remove_element(self, i):
        if self.elements:
            gone = self.elements[i % len(self.elements)]
            simdesk.remove_element(gone)
            self.elements = [e for e in self.elements if simdesk.element(e) is not None]
            self.changed_structure()

    @rule(i=st.integers(0, 99), dx=st.integers(-20, 20), grow=st.integers(0, 10))
    def move_element(self, i, dx, grow):
        if self.elements:
            e = self.elements[i % len(self.elements)]
            left, top, right, bottom = simdesk.element(e)["rect"]
            simdesk.set_element(e, rect=(left + dx, top, right + dx + grow, bottom))

    @rule(i=st.integers(0, 99), name=NAMES)
    def rename_window(self, i, name):
        simdesk.set_window_text(self.controls()[i % len(self.controls())], name)

    @rule(i=st.integers(0, 99), enabled=st.booleans())
    def enable_window(self, i, enabled):
        simdesk.set_window_enabled(self.controls()[i % len(self.controls())], enabled)

    @rule(name=NAMES, in_panel=st.booleans())
    def add_window(self, name, in_panel):
        parent = self.panel if in_panel else self.dialog
        self.children.append(simdesk.create_window(parent=parent, class_name="Static", text=name,
                                                   rect=(910, 300, 990, 320)))
        self.changed_structure()

    @precondition(lambda self: len(self.children) > 1)
    @rule(i=st.integers(0, 99))
    def destroy_window(self, i):
        gone = self.children[i % len(self.children)]
        simdesk.destroy_window(gone)
        self.children = [c for c in self.children if simdesk.window(c) is not None]
        self.changed_structure()

    @rule(i=st.integers(0, 99), visible=st.booleans())
    def show_window(self, i, visible):
        child = self.controls()[i % len(self.controls())]
        if simdesk.window(child)["visible"] != visible:
            simdesk.set_window_visible(child, visible)
            self.changed_structure()

    @rule(i=st.integers(0, 99), dx=st.integers(-30, 30), dy=st.integers(-30, 30), grow=st.integers(0, 20))
    def move_window(self, i, dx, dy, grow):
        """A window moves (what it holds along with it) or is resized."""
        candidates = self.windows + self.controls()
        w = candidates[i % len(candidates)]
        left, top, right, bottom = simdesk.window(w)["rect"]
        simdesk.set_window_rect(w, (left + dx, top + dy, right + dx + grow, bottom + dy + grow))

    # ---- the module ----

    @rule(properties=st.sampled_from(PROPERTIES), scope=st.sampled_from(SCOPES), mode=st.sampled_from(MODES))
    def configure(self, properties, scope, mode):
        self.config = (properties, scope, mode)
        ostrandcore.configure_cache(*self.config)
        self.expect_valid = False

    @rule(i=st.integers(0, 2))
    def subscribe_again(self, i):
        ostrandcore.subscribe_events(self.windows[i], ["StructureChanged", "PropertyChanged"], "subtree",
                                     self.callback)

    @rule(i=st.integers(0, 2))
    def query(self, i):
        self.check_whole(self.windows[i], ostrandcore.query_elements_cached(self.windows[i]))

    @rule(changes=st.lists(st.sampled_from(["rename", "add", "remove", "window"]), min_size=1, max_size=6))
    def queries_while_changing(self, changes):
        """Two threads query both windows while this one changes them."""
        done = threading.Event()
        answers, failures = [], []

        def reader(first):
            windows = [self.page, self.dialog] if first else [self.dialog, self.page]
            while not done.is_set():
                for w in windows:
                    try:
                        answers.append((w, ostrandcore.query_elements_cached(w)))
                    except RuntimeError as e:   # only a failed perception may raise
                        failures.append(str(e))
                time.sleep(0)

        threads = [threading.Thread(target=reader, args=(t,)) for t in (True, False)]
        for t in threads:
            t.start()
        for n, change in enumerate(changes):
            if change == "rename":
                self.rename_element(n, "r%d" % n)
            elif change == "add":
                self.add_element(n, "n%d" % n)
            elif change == "remove":
                self.remove_element(n)
            else:
                self.rename_window(n, "w%d" % n)
            time.sleep(0.001)
        done.set()   # at once: a reading that overlapped the last change is the last one
        for t in threads:
            t.join(60)
            assert not t.is_alive()
        assert failures == []
        for window, answer in answers:
            self.check_whole(window, answer)

    @rule(count=st.integers(5, 25))
    def steady_change(self, count):
        """Both windows change every millisecond, while readings take
        longer than that: two threads query, every structure callback reads
        the store, and none of them may find it invalid."""
        done = threading.Event()
        failures = []

        def reader():
            while not done.is_set():
                for w in self.windows:
                    try:
                        ostrandcore.query_elements_cached(w)
                    except RuntimeError as e:
                        failures.append(str(e))
                time.sleep(0)

        def change_page():
            for n in range(count):
                self.elements.append(simdesk.add_element(self.page, name="s%d" % n, control_type=50020,
                                                         rect=(20, 20 + n, 60, 30 + n)))
                time.sleep(0.001)

        def change_dialog():
            for n in range(count):
                if n % 2:
                    simdesk.set_window_text(self.controls()[n % len(self.controls())], "t%d" % n)
                else:
                    self.children.append(simdesk.create_window(parent=self.panel if n % 4 else self.dialog,
                                                               class_name="Static", text="s%d" % n,
                                                               rect=(910, 300, 990, 320)))
                time.sleep(0.001)

        self.quiet()   # the store is as the model expects before the callbacks begin to read it
        self.callback_reads = True
        readers = [threading.Thread(target=reader) for _ in range(2)]
        changers = [threading.Thread(target=f) for f in (change_page, change_dialog)]
        for t in readers + changers:
            t.start()
        for t in changers:
            t.join(60)
        done.set()
        for t in readers:
            t.join(60)
        assert not any(t.is_alive() for t in readers + changers)
        self.changed_structure()
        self.quiet()
        self.callback_reads = False
        assert failures == []
        assert self.callback_errors == []

    @rule(change=st.sampled_from(["rename", "configure"]), properties=st.sampled_from(PROPERTIES))
    def change_during_slow_reading(self, change, properties):
        """A change lands while the refresh thread is in the middle of a slow
        reading of the page, after the reading has read the element: a rename
        of the element just added, which the held snapshot does not hold, or
        a reconfiguration. The reading in flight must not be stored as
        current over either."""
        self.quiet()
        before = simdesk.calls("FindAllBuildCache")
        simdesk.set_latency(40000)
        try:
            added = simdesk.add_element(self.page, name="slow", control_type=50020, rect=(30, 30, 70, 40))
            self.elements.append(added)
            self.changed_structure()
            if self.config[2] != "win32":   # the page is read through UI Automation: one slow search
                wait_for(lambda: simdesk.calls("FindAllBuildCache") > before, timeout=30.0)
                # The search reads the values half way through its latency
                # and measures its reply then: a long one, so that the
                # change's handler (fast again) comes while the reply is due.
                time.sleep(0.01)
                simdesk.set_latency(200000)
                time.sleep(0.02)
            simdesk.set_latency(2000)
            if change == "rename":
                simdesk.set_element(added, name="renamed")
            else:
                if properties == self.config[0]:
                    properties = PROPERTIES[(PROPERTIES.index(properties) + 1) % len(PROPERTIES)]
                self.config = (properties,) + self.config[1:]
                ostrandcore.configure_cache(*self.config)
        finally:
            simdesk.set_latency(2000)
        self.quiet()
        if change == "configure":
            # Valid again only if the reading was still in flight (and read
            # again): a reading done before the reconfiguration leaves the
            # store invalid. Either way it must not hold the old reading.
            self.expect_valid = ostrandcore.get_benchmark_metrics()["cache_valid"]
        self.check_held()

    # ---- what must hold ----

    def check_whole(self, window, answer):
        keys = [e["runtime_id_key"] for e in answer]
        assert len(keys) == len(set(keys)), "one record per element"
        other = self.dialog if self.root_of(window) == self.page else self.page
        assert not set(keys) & self.own[other], "another window's records"

    def quiet(self):
        """Every event handled: each handler call has returned and every
        structure change has reached the callback, which it does only after
        a refresh that began after it."""
        assert simdesk.wait_for_events(30.0)
        calls = simdesk.event_stats()["structure_calls"]
        wait_for(lambda: self.structure_delivered >= calls, timeout=30.0)
        assert self.structure_delivered == calls

    def fresh(self, window):
        ostrandcore.configure_cache(*self.config)   # the same settings: only the store is dropped
        return ostrandcore.query_elements_cached(window)

    def check_held(self):
        """The snapshot the store holds, once it is current again, is served
        from memory and is what a fresh perception of its window shows.
        Then each window's answer is what a fresh perception of it shows."""
        def reads():   # every platform call but the store's own lock
            return {k: v for k, v in simdesk.calls().items() if "SRWLock" not in k}

        held = None
        if self.expect_valid:
            for _ in range(200):   # a bound: a re-read may still be under way
                wait_for(lambda: ostrandcore.get_benchmark_metrics()["cache_valid"], timeout=30.0)
                calls = reads()
                held = ostrandcore.query_elements_cached(0)
                if reads() == calls:
                    break
                time.sleep(0.005)
            else:
                raise AssertionError("a current snapshot was never served from memory")
        fresh = {}
        for window in self.windows:
            served = ostrandcore.query_elements_cached(window)
            fresh[window] = self.fresh(window)
            assert served == fresh[window], (window, self.config)
            self.own[self.root_of(window)] |= {e["runtime_id_key"] for e in fresh[window]}
        assert held is None or any(held == f for f in fresh.values()), (self.config, held)
        self.expect_valid = True   # the last fresh perception is held
        return fresh

    @rule()
    def quiet_point(self):
        """Not after every step: changes, refreshes and queries overlap
        between quiet points."""
        self.quiet()
        fresh = self.check_held()
        # Reading the snapshot again needs no event: nothing may have changed it.
        assert ostrandcore.query_elements_cached(self.panel) == fresh[self.panel]


SnapshotModel.TestCase.settings = settings.get_profile("model-" + PROFILE)
test_snapshot_model = SnapshotModel.TestCase
