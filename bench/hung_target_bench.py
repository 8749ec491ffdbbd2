"""How long each module function takes against an application that stopped
answering, and how long every other Python thread of the process is held up
meanwhile (each function keeps the interpreter lock to its end).

UI Automation waits for a hung provider up to its connection timeout (2 s on
Windows) when it asks for an element and up to its transaction timeout
(20 s) when it asks an element for information. The desktop scales both
down; pass --windows to wait as long as Windows does (about a minute and a
half in all). Times are also given in units of the two timeouts, which is
what carries over to Windows."""

import argparse
import sys
import threading
import time

import ostrandcore
import simdesk


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
    browser = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Mail", rect=(0, 0, 800, 600))
    page = simdesk.add_element(browser, name="Inbox", control_type=50030, rect=(0, 40, 800, 600))
    compose = simdesk.add_element(page, name="Compose", automation_id="compose", control_type=50000,
                                  rect=(10, 50, 110, 80))
    search = simdesk.add_element(page, name="Search", automation_id="search", control_type=50004,
                                 rect=(200, 50, 500, 80), value="")
    return browser, page, compose, search


def outcome(result):
    if isinstance(result, dict) and "success" in result:
        return "success %s, hr 0x%08X" % (result["success"], result.get("hr", 0) & 0xFFFFFFFF)
    if isinstance(result, list):
        return "%d elements" % len(result)
    if isinstance(result, dict) and "handle_id" in result:
        return "found %r" % result.get("name")
    return repr(result) if len(repr(result)) < 40 else type(result).__name__


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows", action="store_true", help="Windows' own timeouts (2 s and 20 s)")
    args = parser.parse_args(argv)
    simdesk.reset()
    if args.windows:
        simdesk.set_uia_timeouts(2000, 20000)
    timeouts = simdesk.uia_timeouts()
    conn, trans = timeouts["connection_ms"], timeouts["transaction_ms"]
    stall = Stall()

    ostrandcore.initialise()
    browser, page, compose, search = build()
    ostrandcore.configure_cache([], "subtree", "uia")
    ostrandcore.query_elements_cached(browser)
    found = {n: ostrandcore.find_element(browser, "automation_id", n) for n in ("compose", "search")}
    ostrandcore.subscribe_events(browser, ["StructureChanged", "PropertyChanged"], "subtree", lambda e: None)
    simdesk.set_window_hung(browser, True)

    rows = []

    def measure(label, call):
        stall.reset()
        log_lines = len(ostrandcore.get_diagnostic_log().splitlines())
        t0 = time.perf_counter()
        try:
            result = outcome(call())
        except Exception as error:  # what the user sees is the point
            result = "%s: %s" % (type(error).__name__, error)
        took = (time.perf_counter() - t0) * 1e3
        gap = stall.gap * 1e3
        new_log = ostrandcore.get_diagnostic_log().splitlines()[log_lines:]
        rows.append((label, took, gap, result, new_log[-1] if new_log else ""))

    handle = lambda n: {"handle_id": found[n]["handle_id"]}
    measure("query_elements_cached (snapshot held)", lambda: ostrandcore.query_elements_cached(browser))
    measure("configure_cache", lambda: ostrandcore.configure_cache([], "subtree", "uia"))
    measure("query_elements_cached (refresh)", lambda: ostrandcore.query_elements_cached(browser))
    measure("find_element", lambda: ostrandcore.find_element(browser, "name", "Compose"))
    measure("execute_action click", lambda: ostrandcore.execute_action(handle("compose"), "click", {}))
    measure("execute_action type", lambda: ostrandcore.execute_action(handle("search"), "type", {"text": "hi"}))
    measure("execute_action focus", lambda: ostrandcore.execute_action(handle("search"), "focus", {}))
    measure("execute_action scroll", lambda: ostrandcore.execute_action(handle("compose"), "scroll", {}))
    measure("execute_action hover", lambda: ostrandcore.execute_action(handle("compose"), "hover", {}))
    measure("execute_action expand", lambda: ostrandcore.execute_action(handle("compose"), "expand", {}))
    measure("execute_action select", lambda: ostrandcore.execute_action(handle("compose"), "select", {}))
    measure("subscribe_events (2 kinds)", lambda: ostrandcore.subscribe_events(
        browser, ["StructureChanged", "PropertyChanged"], "subtree", lambda e: None))
    measure("get_active_mode", ostrandcore.get_active_mode)
    measure("get_benchmark_metrics", ostrandcore.get_benchmark_metrics)
    measure("release_element", lambda: ostrandcore.release_element(found["compose"]["handle_id"]))
    measure("get_diagnostic_log", lambda: len(ostrandcore.get_diagnostic_log()))

    # A change the application announced just before it hung: the refresh it
    # starts waits on the provider, and shutdown waits for that refresh. At
    # worst the application hangs as the refresh's one read begins.
    def refresh_waiting(hang):
        simdesk.set_window_hung(browser, False)
        ostrandcore.initialise()
        ostrandcore.configure_cache([], "subtree", "uia")
        ostrandcore.subscribe_events(browser, ["StructureChanged"], "subtree", lambda e: None)
        hang()
        simdesk.add_element(page, name="Draft", control_type=50032, rect=(200, 100, 600, 500))
        deadline = time.monotonic() + 10 + 2 * trans / 1e3
        while simdesk.uia_timeouts()["waiting"] == 0 and time.monotonic() < deadline:
            time.sleep(0.001)

    ostrandcore.shutdown()
    refresh_waiting(lambda: simdesk.set_window_hung(browser, True))
    measure("shutdown (refresh reaching the app)", ostrandcore.shutdown)
    refresh_waiting(lambda: simdesk.hang_window_on_call(browser, "FindAllBuildCache"))
    measure("shutdown (refresh inside its read)", ostrandcore.shutdown)
    stall.stop.set()
    simdesk.set_window_hung(browser, False)
    simdesk.reset()

    print("against a hung application: connection timeout %d ms, transaction timeout %d ms" % (conn, trans))
    print("%-42s %10s %8s %8s %12s  %s" % ("function", "ms", "x conn", "x trans", "Python held", "result"))
    for label, took, gap, result, log in rows:
        print("%-42s %10.1f %8.2f %8.2f %10.1f ms  %s" % (label, took, took / conn, took / trans, gap, result))
        if log:
            print("%-42s   log: %s" % ("", log))
    return 0


if __name__ == "__main__":
    sys.exit(main())
