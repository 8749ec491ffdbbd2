"""Every ostrandcore function used with its types, as a type checker sees
them through the installed stubs. `make test` runs this script and checks it
with `mypy --strict`; the assert_type lines fail the check if the stubs are
not found (everything would be Any)."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Literal, assert_type

import ostrandcore
import simdesk  # type: ignore[import-untyped]  # the simulated desktop ships no stubs

if TYPE_CHECKING:
    from ostrandcore import ActionResult, Element, Event, EventType, FoundElement, Metrics


def build_window() -> tuple[int, int]:
    """A browser-like window with a button and an edit box drawn inside it."""
    window: int = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Typed", rect=(0, 0, 400, 300))
    button: int = simdesk.add_element(window, name="Send", automation_id="send", control_type=50000,
                                      rect=(10, 10, 90, 40))
    simdesk.add_element(window, name="Message", automation_id="message", control_type=50004,
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
    log: str = ostrandcore.get_diagnostic_log()
    print(f"{len(elements)} elements, actions {[r['path'] for r in results]}, "
          f"events {[e['event_type'] for e in events]}, mode {metrics['perception_mode']}, "
          f"log of {len(log.splitlines())} lines, mode after shutdown {ostrandcore.get_active_mode()}")
    return 0 if all(r["success"] for r in results) and events else 1


if __name__ == "__main__":
    raise SystemExit(main())
