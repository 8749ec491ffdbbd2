"""The snapshot tells the truth, as a property of random interleavings:
desktop changes (elements and windows added, removed, renamed, enabled),
reconfiguration, more subscriptions and queries from several threads. At
every quiet point (every event handled, every callback run) the answer for
a window equals a fresh perception of it under the configuration in force;
in between, every answer is one whole snapshot of the window named.

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
PROPERTIES = [[], ["name", "control_type", "bounding_rect", "is_enabled"]]
NAMES = st.sampled_from(["a", "b", "Send", "", "\u00e9t\u00e9", "x" * 40])


class SnapshotModel(RuleBasedStateMachine):
    @initialize()
    def build(self):
        simdesk.reset()
        # A browser-like window (window-less content) and a classic dialog.
        self.page = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Page", rect=(0, 0, 800, 600))
        self.dialog = simdesk.create_window(class_name="#32770", text="Dialog", rect=(900, 0, 1300, 400))
        self.elements = [simdesk.add_element(self.page, name="e%d" % i, control_type=50000,
                                             rect=(10, 10 * i, 90, 10 * i + 8)) for i in range(3)]
        self.children = [simdesk.create_window(parent=self.dialog, class_name=c, text=t,
                                               rect=(910, 10 + 40 * i, 1000, 40 + 40 * i))
                         for i, (c, t) in enumerate([("Button", "OK"), ("Button", "Cancel"), ("Edit", "")])]
        self.own = {self.page: set(), self.dialog: set()}  # keys seen in each window's fresh perceptions
        self.config = ([], "subtree", "auto")
        self.lock = threading.Lock()
        self.structure_delivered = 0
        # Cross-process calls take a while, as they do: readings overlap changes.
        simdesk.set_latency(2000)  # microseconds
        assert ostrandcore.initialise() == 0
        ostrandcore.configure_cache(*self.config)
        for window in (self.page, self.dialog):
            ostrandcore.subscribe_events(window, ["StructureChanged", "PropertyChanged"], "subtree", self.callback)

    def callback(self, event):
        with self.lock:
            if event["event_type"] == "StructureChanged":
                self.structure_delivered += 1

    def teardown(self):
        if hasattr(self, "page"):
            self.quiet_point()
        ostrandcore.shutdown()
        assert simdesk.leaks() == {}

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

    @rule(i=st.integers(0, 99))
    def remove_element(self, i):
        if self.elements:
            gone = self.elements[i % len(self.elements)]
            simdesk.remove_element(gone)
            self.elements = [e for e in self.elements if simdesk.element(e) is not None]

    @rule(i=st.integers(0, 99), name=NAMES)
    def rename_window(self, i, name):
        simdesk.set_window_text(self.children[i % len(self.children)], name)

    @rule(i=st.integers(0, 99), enabled=st.booleans())
    def enable_window(self, i, enabled):
        simdesk.set_window_enabled(self.children[i % len(self.children)], enabled)

    @rule(name=NAMES)
    def add_window(self, name):
        self.children.append(simdesk.create_window(parent=self.dialog, class_name="Static", text=name,
                                                   rect=(910, 300, 990, 320)))

    @precondition(lambda self: len(self.children) > 1)
    @rule(i=st.integers(0, 99))
    def destroy_window(self, i):
        simdesk.destroy_window(self.children.pop(i % len(self.children)))

    # ---- the module ----

    @rule(properties=st.sampled_from(PROPERTIES), scope=st.sampled_from(SCOPES), mode=st.sampled_from(MODES))
    def configure(self, properties, scope, mode):
        self.config = (properties, scope, mode)
        ostrandcore.configure_cache(*self.config)

    @rule(page=st.booleans())
    def subscribe_again(self, page):
        ostrandcore.subscribe_events(self.page if page else self.dialog, ["StructureChanged", "PropertyChanged"],
                                     "subtree", self.callback)

    @rule(page=st.booleans())
    def query(self, page):
        self.check_whole(self.page if page else self.dialog, ostrandcore.query_elements_cached(self.page if page
                                                                                                 else self.dialog))

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

    # ---- what must hold ----

    def check_whole(self, window, answer):
        keys = [e["runtime_id_key"] for e in answer]
        assert len(keys) == len(set(keys)), "one record per element"
        other = self.dialog if window == self.page else self.page
        assert not set(keys) & self.own[other], "another window's records"

    def quiet(self):
        """Every event handled: each handler call has returned and every
        structure change has reached the callback, which it does only after
        a refresh that began after it."""
        assert simdesk.wait_for_events(30.0)
        calls = simdesk.event_stats()["structure_calls"]
        wait_for(lambda: self.structure_delivered >= calls, timeout=30.0)
        assert self.structure_delivered == calls

    @rule()
    def quiet_point(self):
        """Not after every step: changes, refreshes and queries overlap
        between quiet points."""
        self.quiet()
        for window in (self.page, self.dialog):
            served = ostrandcore.query_elements_cached(window)
            ostrandcore.configure_cache(*self.config)   # the same settings: only the store is dropped
            fresh = ostrandcore.query_elements_cached(window)
            assert served == fresh, (window, self.config)
            self.own[window] |= {e["runtime_id_key"] for e in fresh}
        # Reading the snapshot again needs no event: nothing may have changed it.
        assert ostrandcore.query_elements_cached(self.dialog) == fresh


SnapshotModel.TestCase.settings = settings.get_profile("model-" + PROFILE)
test_snapshot_model = SnapshotModel.TestCase
