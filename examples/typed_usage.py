"""Every ostrandcore function used with its types, and the simulated
desktop read back through its own, as a type checker sees them through the
installed stubs. `make test` runs this script and checks it with
`mypy --strict`; the assert_type lines fail the check if the stubs are not
found (everything would be Any)."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Literal, assert_type

import ostrandcore
import simdesk

if TYPE_CHECKING:
    from ostrandcore import ActionResult, Element, Event, EventType, FoundElement, Metrics
    from simdesk import EventStats, EventValue, HandlerCall


def build_window() -> tuple[int, int]:
    """A browser-like window with a button and an edit box drawn inside it."""
    window = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Typed", rect=(0, 0, 400, 300))
    button = simdesk.add_element(window, name="Send", automation_id="send",
                                 control_type=simdesk.UIA_ButtonControlTypeId, rect=(10, 10, 90, 40))
    simdesk.add_element(window, name="Message", automation_id="message", control_type=simdesk.UIA_EditControlTypeId,
                        rect=(100, 10, 390, 40))
    return window, button


def perceive(window: int) -> list[Element]:
    ostrandcore.configure_cache(["name", "control_type", "bounding_rect"], "subtree", "uia")
    elements = ostrandcore.query_elements_cached(window)
    assert_type(elements, "list[Element]")
    for element in elements:
        assert_type(element["bounding_rect"], tuple[int, int, int, int])
        assert_type(element["is_enabled"], bool)
    return elements


def act(window: int) -> list[ActionResult]:
    send = ostrandcore.find_element(window, "automation_id", "send")
    message = ostrandcore.find_element(window, "control_type", "50004")
    assert_type(send, "FoundElement | None")
    assert send is not None and message is not None
    results = [
        ostrandcore.execute_action(send, "click", {}),
        ostrandcore.execute_action(message, "type", {"text": "hello"}),
        ostrandcore.execute_action({"handle_id": message["handle_id"]}, "focus", None),
    ]
    path = results[0]["path"]
    if path == "InvokePattern":  # narrowed from the Literal of every path
        print("clicked through the Invoke pattern")
    for found in (send, message):
        ostrandcore.release_element(found["handle_id"])
    return results


def watch(window: int, button: int) -> list[Event]:
    received: list[Event] = []
    lock = threading.Lock()

    def on_event(event: Event) -> None:
        # Runs on one of UI Automation's threads.
        assert_type(event["event_type"], "EventType")
        with lock:
            received.append(event)

    ostrandcore.subscribe_events(window, ["PropertyChanged"], "subtree", on_event)
    simdesk.set_element(button, name="Sent")
    simdesk.wait_for_events(10.0)
    return received


def desktop_saw(window: int, button: int) -> str:
    """The simulated desktop's side of it, read back through its stubs."""
    values: list[EventValue] = []

    def on_call(call: HandlerCall) -> None:
        if call["kind"] == "property":  # narrows the union to PropertyCall
            values.append(call["value"])

    simdesk.add_event_handler("property", on_call, window, simdesk.TreeScope_Subtree, [simdesk.UIA_NamePropertyId])
    simdesk.set_element(button, name="Seen")
    assert simdesk.wait_for_events(None)
    simdesk.remove_all_event_handlers()
    sent = simdesk.element(button)
    top = simdesk.window(window)
    assert_type(sent, "simdesk.Element | None")
    assert sent is not None and top is not None
    assert_type(top["last_mouse"], tuple[int, int] | None)
    stats: EventStats = simdesk.event_stats()
    timeouts = simdesk.uia_timeouts()
    return (f"{sent['name']!r} invoked {sent['invoke_count']} times, window {top['text']!r} with "
            f"{len(top['children'])} child windows and {len(simdesk.messages(window))} messages, "
            f"name events {values}, {stats['raised']} events raised, {timeouts['timed_out']} UIA time-outs")


def main() -> int:
    mode = ostrandcore.get_active_mode()
    assert_type(mode, Literal["win32", "uia", "auto", "not_initialised"])
    assert_type(ostrandcore.initialise(), int)
    window, button = build_window()
    elements = perceive(window)
    results = act(window)
    events = watch(window, button)
    metrics: Metrics = ostrandcore.get_benchmark_metrics()
    ostrandcore.shutdown()
    print(desktop_saw(window, button))
    log: str = ostrandcore.get_diagnostic_log()
    print(f"{len(elements)} elements, actions {[r['path'] for r in results]}, "
          f"events {[e['event_type'] for e in events]}, mode {metrics['perception_mode']}, "
          f"log of {len(log.splitlines())} lines, mode after shutdown {ostrandcore.get_active_mode()}")
    return 0 if all(r["success"] for r in results) and events else 1


if __name__ == "__main__":
    raise SystemExit(main())
