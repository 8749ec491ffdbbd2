"""The ostrandcore demo on the simulated Windows desktop: perceive a classic
dialog (through Win32 enumeration) and a browser-like window (through one
UI Automation cache request) and print their elements as tables; then find
the dialog's edit box and OK button, type into the one and click the other,
and show what changed."""

import sys
import time

import ostrandcore
import simdesk

CONTROL_TYPES = {50000: "Button", 50003: "ComboBox", 50004: "Edit", 50005: "Hyperlink", 50008: "List",
                 50020: "Text", 50025: "Custom", 50026: "Group", 50030: "Document", 50032: "Window",
                 50033: "Pane"}


def build_classic_dialog():
    """A classic dialog: its controls are child windows."""
    dialog = simdesk.create_window(class_name="#32770", text="Sample Application", rect=(100, 100, 500, 400))
    controls = {}
    for cls, text, rect in [
        ("Static", "Name:", (110, 130, 170, 150)),
        ("Edit", "", (180, 130, 480, 150)),
        ("Button", "Remember me", (110, 170, 300, 190)),
        ("ComboBox", "English", (180, 210, 480, 230)),
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
    host = simdesk.create_window(parent=top, class_name="Chrome_RenderWidgetHostHWND", rect=(600, 180, 1400, 700))
    page = simdesk.add_element(host, name="Inbox", class_name="Document", control_type=50030,
                               rect=(600, 180, 1400, 700))
    nav = simdesk.add_element(page, name="Folders", automation_id="nav", class_name="Group", control_type=50026,
                              rect=(600, 180, 800, 700))
    for i, folder in enumerate(["Inbox (3)", "Sent", "Drafts"]):
        simdesk.add_element(nav, name=folder, class_name="Link", control_type=50005,
                            rect=(610, 190 + 30 * i, 790, 215 + 30 * i))
    compose = simdesk.add_element(page, name="Compose", automation_id="compose", class_name="Button",
                                  control_type=50000, rect=(820, 190, 920, 220))
    search = simdesk.add_element(page, name="Search mail", automation_id="search", class_name="Edit",
                                 control_type=50004, rect=(940, 190, 1380, 220))
    return top, {"page": page, "compose": compose, "search": search}


def print_table(title, elements):
    print(f"\n{title}: {len(elements)} elements")
    header = f"  {'name':24} {'control type':14} {'class':28} {'automation id':14} {'rectangle':24} {'on':3} key"
    print(header)
    print("  " + "-" * (len(header) - 2))
    # The store's order is not the tree's; sort by position for reading.
    for e in sorted(elements, key=lambda e: (e["bounding_rect"][1], e["bounding_rect"][0], e["name"])):
        ctype = CONTROL_TYPES.get(e["control_type"], str(e["control_type"]))
        rect = "(%d, %d, %d, %d)" % e["bounding_rect"]
        print(f"  {e['name'][:24]:24} {ctype:14} {e['class_name'][:28]:28} {e['automation_id'][:14]:14} "
              f"{rect:24} {'yes' if e['is_enabled'] else 'no':3} {e['runtime_id_key']}")


def timed_query(hwnd):
    simdesk.reset_calls()
    t0 = time.perf_counter()
    elements = ostrandcore.query_elements_cached(hwnd)
    return elements, (time.perf_counter() - t0) * 1e3, simdesk.cross_process_calls()


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

    # The snapshot is refreshed on demand and shows the typed name.
    ostrandcore.configure_cache([], "subtree", "win32")
    names = [e["name"] for e in ostrandcore.query_elements_cached(dialog)]
    print(f"  perceived again: {names}")


def watch_browser(browser, parts):
    """Subscribe to the browser window, change it, and print the events as
    they arrive; the snapshot store follows the changes."""
    print("\nEvents from the browser window (delivered on UI Automation's own threads):")
    ostrandcore.configure_cache([], "subtree", "uia")
    ostrandcore.query_elements_cached(browser)

    def on_change(event):
        # Several handlers may deliver at once: one write per line.
        sys.stdout.write(f"  event {event['event_type']:17} key {event['runtime_id_key'] or '-':16} "
                         f"store: {len(ostrandcore.query_elements_cached(0))} elements\n")

    ostrandcore.subscribe_events(browser, ["StructureChanged", "PropertyChanged", "FocusChanged"], "subtree",
                                 on_change)
    simdesk.set_element(parts["compose"], name="Compose (draft saved)")      # a Name change
    simdesk.add_element(parts["page"], name="New message", class_name="Dialog", control_type=50032,
                        rect=(900, 250, 1300, 600))                          # a child added
    simdesk.fire_focus_changed(parts["search"])                               # the focus moves
    simdesk.set_element(parts["search"], enabled=False)                       # IsEnabled
    simdesk.wait_for_events(10.0)

    now = {e["name"]: e for e in ostrandcore.query_elements_cached(browser)}
    print(f"  snapshot now: 'Compose (draft saved)' {'present' if 'Compose (draft saved)' in now else 'missing'}, "
          f"'New message' {'present' if 'New message' in now else 'missing'}, "
          f"'Search mail' enabled {now['Search mail']['is_enabled']}")


def main():
    dialog, controls = build_classic_dialog()
    browser, parts = build_browser()
    print(f"initialise() -> {ostrandcore.initialise()}")

    elements, ms, crossings = timed_query(dialog)
    print_table(f"Classic dialog 0x{dialog:X} (mode '{ostrandcore.get_active_mode()}': Win32 enumeration, "
                f"{crossings} UI Automation calls)", elements)

    # "auto" settles once per configuration; reconfigure so the browser is classified afresh.
    ostrandcore.configure_cache([])
    elements, ms, crossings = timed_query(browser)
    print_table(f"Browser window 0x{browser:X} (mode '{ostrandcore.get_active_mode()}': one cache request, "
                f"{crossings} cross-process calls)", elements)

    again, served_ms, crossings = timed_query(browser)
    print(f"\nsecond query: {len(again)} elements served from the snapshot store in {served_ms:.3f} ms, "
          f"{crossings} cross-process calls")

    act_on_dialog(dialog, controls)
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
    return 1 if leaks else 0


if __name__ == "__main__":
    raise SystemExit(main())
