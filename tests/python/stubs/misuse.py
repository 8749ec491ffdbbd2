"""Calls the stubs must reject. Checked with mypy --strict, whose
warn_unused_ignores turns every ignore below that is not needed (a misuse
the stubs let through, or stubs not found at all) into an error. Never run."""

import ostrandcore

ostrandcore.configure_cache(("name",))  # type: ignore[arg-type]  # a tuple raises TypeError
ostrandcore.configure_cache(["Name"])  # type: ignore[list-item]  # names are case-sensitive
ostrandcore.configure_cache([], mode="uia")  # type: ignore[call-arg]  # positional only
ostrandcore.configure_cache([], "subtree", "UIA")  # type: ignore[arg-type]
ostrandcore.query_elements_cached("0x10010")  # type: ignore[arg-type]
ostrandcore.find_element(0, "Name", "OK")  # type: ignore[arg-type]
ostrandcore.find_element(0, "control_type", 50000)  # type: ignore[arg-type]  # the id as text
found = ostrandcore.find_element(0, "name", "OK")
found["handle_id"]  # type: ignore[index]  # may be None
ostrandcore.execute_action({"handle_id": "1"}, "click", {})  # type: ignore[typeddict-item]
ostrandcore.execute_action({"id": 1}, "click", {})  # type: ignore[typeddict-unknown-key,typeddict-item]
ostrandcore.execute_action({"handle_id": 1}, "Click", {})  # type: ignore[arg-type]
ostrandcore.execute_action({"handle_id": 1}, "type", {"txt": "a"})  # type: ignore[arg-type]
ostrandcore.execute_action({"handle_id": 1}, "expand", {"expand": 0})  # type: ignore[arg-type]  # a bool
ostrandcore.subscribe_events(0, ("FocusChanged",))  # type: ignore[arg-type]  # a tuple registers nothing
ostrandcore.subscribe_events(0, ["focus"])  # type: ignore[list-item]
ostrandcore.subscribe_events(0, [], "subtree", 5)  # type: ignore[arg-type]
ostrandcore.subscribe_events(0, [], "subtree", lambda: None)  # type: ignore[arg-type,misc]
ostrandcore.release_element("1")  # type: ignore[arg-type]
ostrandcore.get_benchmark_metrics()["snapshot_size"]  # type: ignore[typeddict-item]
element = ostrandcore.query_elements_cached(0)[0]
element["handle_id"]  # type: ignore[typeddict-item]  # perceived elements carry no handle
mode: int = ostrandcore.get_active_mode()  # type: ignore[assignment]
ostrandcore.initialise(True)  # type: ignore[call-arg]
ostrandcore.no_such_function()  # type: ignore[attr-defined]

import simdesk

simdesk.create_window(rect=(0, 0, 10))  # type: ignore[arg-type]  # four edges
simdesk.create_window(0, "Button", "OK", [0, 0, 90, 30])  # type: ignore[arg-type]  # a list raises TypeError
simdesk.add_element(1, "OK")  # type: ignore[call-arg]  # fields by keyword only
simdesk.add_element(1, label="OK")  # type: ignore[call-arg]
simdesk.set_element(1, patterns=10000)  # type: ignore[arg-type]  # a sequence of ids
simdesk.window(1)["text"]  # type: ignore[index]  # None for a dead window
state = simdesk.element(1)
assert state is not None
state["runtime_id"][0]  # type: ignore[index]  # None while unreadable
simdesk.messages(1)[0]["msg"]  # type: ignore[typeddict-item]
simdesk.event_stats()["pending_calls"]  # type: ignore[typeddict-item]
simdesk.uia_timeouts()["timeout_ms"]  # type: ignore[typeddict-item]
simdesk.live()["com"] + ""  # type: ignore[operator]
simdesk.add_event_handler("Property", print)  # type: ignore[arg-type]
simdesk.fail("SendMessageW")  # type: ignore[call-arg]  # the code is required
simdesk.post_message(hwnd=1, msg=2)  # type: ignore[call-arg]  # positional only
simdesk.co_initialize("apartment")  # type: ignore[arg-type]
simdesk.calls("GetWindowTextW")["n"]  # type: ignore[index]  # one count when named
thread_apartment: int = simdesk.threads()[0]["apartment"]  # type: ignore[assignment]
