"""How long each module function waits for an application that stops
answering, at every step of the call: before it, as each UI Automation call
of the call is entered, and as each message it posts or sends is. For each
function it prints the steps tried, the most waits any step cost (the
desktop's count of UI Automation calls that gave up) and the worst time,
also as a multiple of the two timeouts, which is what carries over to
Windows; and how long other Python threads were held meanwhile (each
function keeps the interpreter lock to its end, but shutdown).

UI Automation waits for a hung provider up to its connection timeout (2 s on
Windows) when it asks for an element and up to its transaction timeout
(20 s) when it asks an element for information. The desktop scales both
down; pass --windows to wait as long as Windows does (many minutes)."""

import argparse
import sys
import threading
import time

import ostrandcore
import simdesk

# What a step can be: a UI Automation call, or input posted or sent.
INPUT = ("PostMessageW", "SendMessageW", "SendMessageTimeoutW")


class Stall:
    """A Python thread that ticks every millisecond; the longest gap between
    two ticks is how long the interpreter lock was held from it."""

    def __init__(self):
        self.gap = 0.0
        self.stop = threading.Event()
        self.last = time.perf_counter()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.is_set():
            now = time.perf_counter()
            self.gap = max(self.gap, now - self.last)
            self.last = now
            time.sleep(0.001)

    def reset(self):
        time.sleep(0.005)
        self.gap = 0.0
        self.last = time.perf_counter()


def build():
    """A browser whose content has no windows, and a dialog of controls."""
    browser = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Mail", rect=(0, 0, 800, 600))
    page = simdesk.add_element(browser, name="Inbox", control_type=50030, rect=(0, 40, 800, 600))
    simdesk.add_element(page, name="Compose", automation_id="compose", control_type=50000, rect=(10, 50, 110, 80))
    simdesk.add_element(page, name="Search", automation_id="search", control_type=50004, rect=(200, 50, 500, 80),
                        value="")
    simdesk.add_element(page, name="Folder", automation_id="folder", control_type=50024, rect=(10, 90, 110, 110))
    dialog = simdesk.create_window(class_name="#32770", text="Sign in", rect=(900, 0, 1300, 400))
    simdesk.create_window(parent=dialog, class_name="Static", text="User:", rect=(910, 30, 970, 50))
    edit = simdesk.create_window(parent=dialog, class_name="Edit", rect=(980, 30, 1280, 50))
    ok = simdesk.create_window(parent=dialog, class_name="Button", text="OK", rect=(1180, 350, 1280, 380))
    for control, automation_id in ((edit, "user"), (ok, "ok")):
        simdesk.set_element(control, automation_id=automation_id, patterns=[])   # the Win32 fallbacks act
    return {"browser": browser, "dialog": dialog}


def outcome(result):
    if isinstance(result, dict) and "success" in result:
        return "success %s, hr 0x%08X" % (result["success"], result.get("hr", 0) & 0xFFFFFFFF)
    if isinstance(result, list):
        return "%d elements" % len(result)
    if isinstance(result, dict) and "handle_id" in result:
        return "found %r" % result.get("name")
    return repr(result) if len(repr(result)) < 40 else type(result).__name__


class Function:
    """One module call against one window: `prepare` brings the framework to
    it, `call` makes it. `reads`: the hang is armed before `prepare`, whose
    change starts a refresh that reads the application while `call` runs."""

    def __init__(self, label, window, call, prepare=None, reads=False):
        self.label, self.window, self.call, self.reads = label, window, call, reads
        self.prepare = prepare or (lambda w: None)


def act(window, automation_id, action, params=None):
    def prepare(w):
        found = ostrandcore.find_element(w, "automation_id", automation_id)
        assert found, automation_id
        return found
    return Function("execute_action %s (%s)" % (action, automation_id), window,
                    lambda w, found: ostrandcore.execute_action(found, action, params or {}), prepare)


def change_read(w):
    """A change whose refresh reads the application: until it waits on the
    hung application or is done."""
    ostrandcore.subscribe_events(w, ["StructureChanged"], "subtree", lambda e: None)
    simdesk.fire_structure_changed(w, simdesk.StructureChangeType_ChildrenInvalidated)
    deadline = time.monotonic() + 5
    while simdesk.uia_timeouts()["waiting"] == 0 and not simdesk.calls("FindAllBuildCache") \
            and time.monotonic() < deadline:
        time.sleep(0.001)


FUNCTIONS = [
    Function("query_elements_cached (refresh)", "browser", lambda w, _: ostrandcore.query_elements_cached(w)),
    Function("find_element", "browser", lambda w, _: ostrandcore.find_element(w, "name", "Compose")),
    act("browser", "compose", "click"),
    act("dialog", "ok", "click"),
    act("browser", "search", "type", {"text": "hi"}),
    act("dialog", "user", "type", {"text": "hi"}),
    act("dialog", "user", "scroll"),
    act("browser", "search", "focus"),
    act("browser", "compose", "hover"),
    act("browser", "folder", "expand"),
    act("browser", "compose", "select"),
    Function("subscribe_events (3 kinds)", "browser", lambda w, _: ostrandcore.subscribe_events(
        w, ["StructureChanged", "PropertyChanged", "FocusChanged"], "subtree", lambda e: None)),
    Function("shutdown (a refresh reading the app)", "browser", lambda w, _: ostrandcore.shutdown(), change_read,
             reads=True),
]


def hang_at(window, hang):
    if hang == "before":
        simdesk.set_window_hung(window, True)
    elif hang:
        simdesk.hang_window_on_call(window, hang[0], skip=hang[1] - 1)


def run(function, hang, stall, timeouts):
    """One call: hung as `hang` says (None: not at all; "before"; or a
    platform call's name and occurrence). Returns (ms, waits, outcome,
    interpreter held ms, the platform calls it made)."""
    simdesk.reset()
    if timeouts:
        simdesk.set_uia_timeouts(*timeouts)
    windows = build()
    window = windows[function.window]
    ostrandcore.initialise()
    ostrandcore.configure_cache([], "subtree", "uia")
    simdesk.reset_calls()
    if function.reads:
        hang_at(window, hang)
    prepared = function.prepare(window)
    if not function.reads:
        simdesk.reset_calls()
        hang_at(window, hang)
    stall.reset()
    t0 = time.perf_counter()
    try:
        result = outcome(function.call(window, prepared))
    except Exception as error:  # what the user sees is the point
        result = "%s: %s" % (type(error).__name__, error)
    took = (time.perf_counter() - t0) * 1e3
    held = stall.gap * 1e3
    ostrandcore.shutdown()
    waits = simdesk.uia_timeouts()["timed_out"]
    calls = {k: v for k, v in simdesk.calls().items() if v}
    simdesk.clear_faults()
    simdesk.set_window_hung(window, False)
    return took, waits, result, held, calls


def steps(function, stall, uia_calls):
    """Every step the call has: before it, and each occurrence of each UI
    Automation call and each post or send it makes when nothing hangs."""
    *_, calls = run(function, None, stall, None)
    return ["before"] + [(name, k) for name, count in sorted(calls.items())
                         if name in uia_calls or name in INPUT for k in range(1, count + 1)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows", action="store_true", help="Windows' own timeouts (2 s and 20 s)")
    args = parser.parse_args(argv)
    names = simdesk.call_names()
    uia_calls = set(names[names.index("ElementFromHandle"):])
    stall = Stall()
    timeouts = (2000, 20000) if args.windows else None
    rows = []
    for function in FUNCTIONS:
        worst = None
        tried = steps(function, stall, uia_calls)
        for step in tried:
            took, waits, result, held, _ = run(function, step, stall, timeouts)
            if worst is None or (waits, took) > (worst[1], worst[0]):
                worst = (took, waits, result, held, step)
        rows.append((function.label, len(tried), worst))
    stall.stop.set()
    simdesk.reset()
    if timeouts:
        simdesk.set_uia_timeouts(*timeouts)
    timeouts = simdesk.uia_timeouts()
    simdesk.reset()

    conn, trans = timeouts["connection_ms"], timeouts["transaction_ms"]
    print("an application that stops answering at each step of each call: connection timeout %d ms, "
          "transaction timeout %d ms" % (conn, trans))
    print("%-40s %5s %5s %9s %7s %7s %10s  %-26s %s" % ("function", "steps", "waits", "worst ms", "x conn",
                                                       "x trans", "Python held", "worst step", "result there"))
    for label, count, (took, waits, result, held, step) in rows:
        where = step if step == "before" else "%s #%d" % step
        print("%-40s %5d %5d %9.1f %7.2f %7.2f %8.1f ms  %-26s %s" % (label, count, waits, took, took / conn,
                                                                     took / trans, held, where, result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
