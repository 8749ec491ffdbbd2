"""The ostrandcore demo on the simulated Windows desktop. A sample
application, a classic dialog and a browser-like window whose content has
no windows of its own, is perceived through both paths (Win32 enumeration
and one UI Automation cache request) and printed as one table a window;
a picture of it with every perceived element outlined and numbered, as an
inspector highlights them, is written as SVG. Then buttons are clicked and
text typed, showing the path each action took; the browser window is
watched while it changes, and the events are printed as they arrive; the
metrics close the run.

    python examples/demo.py [--picture PATH]     (make demo)
"""

import argparse
import pathlib
import sys
import threading
import time

import outline
import ostrandcore
import simdesk

DEFAULT_PICTURE = pathlib.Path(__file__).resolve().parent.parent / "build" / "demo" / "sample-application.svg"


def build_classic_dialog():
    """A classic dialog: its controls are child windows."""
    dialog = simdesk.create_window(class_name="#32770", text="Sample Application", rect=(100, 100, 500, 400))
    controls = {}
    for cls, text, rect in [
        ("Static", "Name:", (110, 140, 170, 160)),
        ("Edit", "", (180, 140, 480, 160)),
        ("Button", "Remember me", (110, 180, 300, 200)),
        ("ComboBox", "English", (180, 220, 480, 240)),
        ("Button", "OK", (300, 350, 380, 380)),
        ("Button", "Cancel", (390, 350, 470, 380)),
    ]:
        controls[text or cls] = simdesk.create_window(parent=dialog, class_name=cls, text=text, rect=rect)
    return dialog, controls


def build_browser():
    """A browser-like window: one render window whose content has no windows.
    Returns the window and the ids of some of its window-less elements."""
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Inbox - Mail - Browser",
                                rect=(600, 100, 1400, 700))
    host = simdesk.create_window(parent=top, class_name="Chrome_RenderWidgetHostHWND", rect=(600, 160, 1400, 700))
    page = simdesk.add_element(host, name="Inbox", class_name="Document", control_type=50030,
                               rect=(600, 160, 1400, 700))
    nav = simdesk.add_element(page, name="Folders", automation_id="nav", class_name="Group", control_type=50026,
                              rect=(610, 210, 790, 690))
    for i, folder in enumerate(["Inbox (3)", "Sent", "Drafts"]):
        simdesk.add_element(nav, name=folder, class_name="Link", control_type=50005,
                            rect=(620, 240 + 40 * i, 780, 262 + 40 * i))
    compose = simdesk.add_element(page, name="Compose", automation_id="compose", class_name="Button",
                                  control_type=50000, rect=(820, 210, 920, 240))
    search = simdesk.add_element(page, name="Search mail", automation_id="search", class_name="Edit",
                                 control_type=50004, rect=(950, 210, 1380, 240))
    return top, {"page": page, "compose": compose, "search": search}


def shown_in_edits(*windows):
    """What each Edit of the application shows (its window text or Value),
    by its key in either mode: no element dictionary carries it."""
    shown, pending = {}, list(windows)
    while pending:
        element = simdesk.element(pending.pop())
        pending += element["children"]
        if element["control_type"] == simdesk.UIA_EditControlTypeId and element["runtime_id"]:
            shown[",".join(map(str, element["runtime_id"]))] = element["value"]
            if element["window"]:
                shown[f"hwnd:{element['window']:X}"] = element["value"]
    return shown


def timed_query(hwnd):
    simdesk.reset_calls()
    t0 = time.perf_counter()
    elements = ostrandcore.query_elements_cached(hwnd)
    return elements, (time.perf_counter() - t0) * 1e3, simdesk.cross_process_calls()


def perceive_both(hwnd):
    """The window through "auto" and through the other mode; prints what
    each found and returns the merged rows and the elements of each mode."""
    # "auto" settles once per configuration: configure again so that this
    # window is classified afresh.
    ostrandcore.configure_cache([])
    perceptions, lines = {}, []
    elements, ms, crossings = timed_query(hwnd)
    auto = ostrandcore.get_active_mode()
    perceptions[auto] = elements
    lines.append(f"  auto picked {auto:5}: {len(elements):2} elements in {ms:6.3f} ms, "
                 f"{crossings} cross-process UI Automation calls")
    other = "uia" if auto == "win32" else "win32"
    ostrandcore.configure_cache([], "subtree", other)
    elements, ms, crossings = timed_query(hwnd)
    perceptions[other] = elements
    lines.append(f"  then {other:5}      : {len(elements):2} elements in {ms:6.3f} ms, "
                 f"{crossings} cross-process UI Automation calls")
    return outline.merge(perceptions), perceptions, auto, lines


def act_on_dialog(dialog, controls):
    """Find live elements, act on them, and show what the application saw."""
    print("\nActions on the classic dialog:")
    edit = ostrandcore.find_element(dialog, "class_name", "Edit")
    ok = ostrandcore.find_element(dialog, "name", "OK")
    cancel = ostrandcore.find_element(dialog, "name", "Cancel")
    print(f"  find_element(class_name='Edit') -> handle {edit['handle_id']}, rect {edit['bounding_rect']}")
    print(f"  find_element(name='OK')         -> handle {ok['handle_id']}, control type {ok['control_type']}")

    before = simdesk.window(controls["Edit"])["text"]
    result = ostrandcore.execute_action(edit, "type", {"text": "Ada Lovelace"})
    print(f"  type 'Ada Lovelace' -> {result}; edit text {before!r} -> "
          f"{simdesk.window(controls['Edit'])['text']!r}")

    result = ostrandcore.execute_action(ok, "click", {})
    print(f"  click OK            -> {result}; OK invoked "
          f"{simdesk.element(controls['OK'])['invoke_count']} time(s)")

    # A button whose accessibility offers no Invoke: the click goes in as mouse messages.
    simdesk.set_element(controls["Cancel"], patterns=[])
    result = ostrandcore.execute_action(cancel, "click", {})
    messages = [hex(m["message"]) for m in simdesk.messages(controls["Cancel"])]
    print(f"  click Cancel        -> {result}; messages {messages}, "
          f"button clicks {simdesk.window(controls['Cancel'])['clicks']}")

    result = ostrandcore.execute_action(ok, "hover", {})
    print(f"  hover OK            -> {result}; cursor at {simdesk.cursor()}")
    for element in (edit, ok, cancel):
        ostrandcore.release_element(element["handle_id"])

    # Without a subscription the snapshot does not expire: configure_cache
    # makes the next query read the window afresh. Read through Win32 from
    # another process, an Edit shows no text (it keeps its text itself, not
    # as the title the system stores), so the typed name is not among them.
    ostrandcore.configure_cache([], "subtree", "win32")
    names = [e["name"] for e in ostrandcore.query_elements_cached(dialog)]
    print(f"  perceived again, afresh: {names} (an Edit's text is not a Win32 name)")


def act_on_browser(browser):
    """The browser's content has no windows: patterns act, Win32 input cannot."""
    print("\nActions on the browser's window-less content:")
    compose = ostrandcore.find_element(browser, "automation_id", "compose")
    search = ostrandcore.find_element(browser, "automation_id", "search")
    page = ostrandcore.find_element(browser, "control_type", "50030")
    result = ostrandcore.execute_action(compose, "click", {})
    print(f"  click Compose       -> {result}")
    result = ostrandcore.execute_action(search, "type", {"text": "from:ada"})
    print(f"  type 'from:ada'     -> {result}")
    result = ostrandcore.execute_action(page, "scroll", {})
    print(f"  scroll the page     -> {result}")
    sent = ostrandcore.find_element(browser, "name", "Sent")
    result = ostrandcore.execute_action(sent, "select", {})
    print(f"  select 'Sent' link  -> {result}  (a link offers no SelectionItem pattern)")
    for element in (compose, search, page, sent):
        ostrandcore.release_element(element["handle_id"])


def watch_browser(browser, parts):
    """Subscribe to the browser window and change it step by step; each
    change's events are printed as they arrive, and the snapshot store
    follows the changes."""
    print("\nEvents from the browser window, delivered on UI Automation's own threads as it changes:")
    ostrandcore.configure_cache([], "subtree", "uia")
    ostrandcore.query_elements_cached(browser)

    delivered = threading.Semaphore(0)

    def on_change(event):
        # Several handlers may deliver at once: one write per line.
        sys.stdout.write(f"      event {event['event_type']:17} key {event['runtime_id_key'] or '-':16} "
                         f"store: {len(ostrandcore.query_elements_cached(0))} elements\n")
        delivered.release()

    ostrandcore.subscribe_events(browser, ["StructureChanged", "PropertyChanged", "FocusChanged"], "subtree",
                                 on_change)
    changes = [
        ("the Compose button is renamed", lambda: simdesk.set_element(parts["compose"], name="Compose (draft saved)")),
        ("a message window opens in the page", lambda: simdesk.add_element(
            parts["page"], name="New message", class_name="Dialog", control_type=50032, rect=(900, 250, 1300, 600))),
        ("the focus moves to the search box", lambda: simdesk.fire_focus_changed(parts["search"])),
        ("the search box is disabled", lambda: simdesk.set_element(parts["search"], enabled=False)),
    ]
    for what, change in changes:
        print(f"  change: {what}")
        change()
        # Each change makes one event; a structure change reaches the callback
        # once the snapshot has been read again. The wait lets go of the
        # interpreter lock for the callbacks.
        delivered.acquire(timeout=10.0)

    now = {e["name"]: e for e in ostrandcore.query_elements_cached(browser)}
    print(f"  snapshot now: 'Compose (draft saved)' {'present' if 'Compose (draft saved)' in now else 'missing'}, "
          f"'New message' {'present' if 'New message' in now else 'missing'}, "
          f"'Search mail' enabled {now['Search mail']['is_enabled']}")


def perceive_application(dialog, browser):
    """Both windows through both modes: a table each, and the picture."""
    windows = []
    for title, hwnd, what in [("Sample Application", dialog, "a classic dialog: its controls are child windows"),
                              ("Inbox - Mail - Browser", browser, "a browser: one render window, content without "
                                                                  "windows")]:
        rows, perceptions, auto, lines = perceive_both(hwnd)
        windows.append((title, rows, hwnd, auto, lines, what))
    outline.number([(w[0], w[1]) for w in windows])
    for title, rows, hwnd, auto, lines, what in windows:
        print(f"\n{title} (hwnd 0x{hwnd:X}), {what}")
        print("\n".join(lines))
        print("\n" + "\n".join("  " + line for line in outline.table(rows).splitlines()))
    return [(w[0], w[1]) for w in windows]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--picture", type=pathlib.Path, default=DEFAULT_PICTURE,
                        help="where to write the SVG picture (default: build/demo/sample-application.svg)")
    args = parser.parse_args(argv)
    started = time.perf_counter()

    # As on Windows, every top-level window has a title bar with its buttons.
    simdesk.set_title_bars(True)
    dialog, controls = build_classic_dialog()
    browser, parts = build_browser()
    print(f"initialise() -> {ostrandcore.initialise()}")

    windows = perceive_application(dialog, browser)
    args.picture.parent.mkdir(parents=True, exist_ok=True)
    args.picture.write_text(outline.svg(windows, shown_in_edits(dialog, browser)), encoding="utf-8")
    print(f"\npicture of the sample application, every perceived element outlined and numbered: {args.picture}")

    ostrandcore.configure_cache([])
    ostrandcore.query_elements_cached(browser)
    again, served_ms, crossings = timed_query(browser)
    print(f"\nquery again: {len(again)} elements served from the snapshot store in {served_ms:.3f} ms, "
          f"{crossings} cross-process calls")

    act_on_dialog(dialog, controls)
    act_on_browser(browser)
    watch_browser(browser, parts)

    print("\nmetrics:")
    for key, value in ostrandcore.get_benchmark_metrics().items():
        if key != "diag_log":
            print(f"  {key:16} {value!r}")

    ostrandcore.shutdown()
    print("\ndiagnostic log:")
    for line in ostrandcore.get_diagnostic_log().splitlines():
        print(f"  | {line}")

    leaks = simdesk.leaks()
    print(f"\nlive COM objects, BSTRs, SAFEARRAYs, VARIANTs left: {leaks or 'none'}")
    print(f"demo ran in {time.perf_counter() - started:.2f} s")
    return 1 if leaks else 0


if __name__ == "__main__":
    raise SystemExit(main())
