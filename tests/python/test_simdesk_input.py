"""The simdesk control functions for patterns, focus and window input, as
tests and the demo use them from Python."""

import threading
import time

import pytest

import simdesk


def test_elements_carry_their_patterns_and_pattern_state():
    top = simdesk.create_window(class_name="Frame", text="top")
    edit = simdesk.create_window(parent=top, class_name="Edit", text="typed")
    combo = simdesk.add_element(top, control_type=simdesk.UIA_ComboBoxControlTypeId, value="one",
                                expand_state=simdesk.ExpandCollapseState_Expanded)
    item = simdesk.add_element(top, control_type=simdesk.UIA_ListItemControlTypeId, selected=True,
                               patterns=[simdesk.UIA_SelectionItemPatternId, simdesk.UIA_InvokePatternId],
                               focusable=False, read_only=True, scroll_percent=12.5)

    c = simdesk.element(combo)
    assert c["patterns"] == [simdesk.UIA_ExpandCollapsePatternId, simdesk.UIA_ValuePatternId]
    assert (c["value"], c["expand_state"], c["read_only"], c["focusable"]) == ("one", 1, False, True)
    assert (c["invoke_count"], c["scroll_count"], c["selected"]) == (0, 0, False)
    i = simdesk.element(item)
    assert i["patterns"] == [simdesk.UIA_SelectionItemPatternId, simdesk.UIA_InvokePatternId]
    assert (i["selected"], i["focusable"], i["read_only"], i["scroll_percent"]) == (True, False, True, 12.5)
    assert simdesk.element(top)["patterns"] == []

    # A window's element keeps its value and read-only flag in the window.
    assert simdesk.element(edit)["value"] == "typed"
    assert simdesk.set_element(edit, value="\U0001F600", read_only=True)
    assert simdesk.window(edit)["text"] == "\U0001F600" and simdesk.window(edit)["read_only"]
    assert simdesk.focused_element() == 0

    with pytest.raises(ValueError):
        simdesk.set_element(item, expand_state=4)
    with pytest.raises(ValueError):
        simdesk.set_element(item, scroll_percent=100.5)
    with pytest.raises(OverflowError):
        simdesk.set_element(item, patterns=[2**31])
    with pytest.raises(TypeError):
        simdesk.set_element(item, value=5)
    assert simdesk.element(item)["patterns"] == [simdesk.UIA_SelectionItemPatternId, simdesk.UIA_InvokePatternId]


def test_posted_messages_are_recorded_and_standard_controls_react():
    top = simdesk.create_window(class_name="#32770", rect=(0, 0, 300, 200))
    button = simdesk.create_window(parent=top, class_name="Button", rect=(10, 10, 110, 40))
    edit = simdesk.create_window(parent=top, class_name="Edit", rect=(10, 50, 110, 70))
    inside, outside = simdesk.make_lparam(99, 29), simdesk.make_lparam(-1, 5)

    assert simdesk.post_message(button, simdesk.WM_LBUTTONDOWN, simdesk.MK_LBUTTON, inside) == (True, 0)
    assert simdesk.post_message(button, simdesk.WM_LBUTTONUP, 0, inside) == (True, 0)
    simdesk.post_message(button, simdesk.WM_LBUTTONDOWN, simdesk.MK_LBUTTON, inside)
    simdesk.post_message(button, simdesk.WM_LBUTTONUP, 0, outside)
    simdesk.post_message(button, simdesk.WM_MOUSEWHEEL, (-simdesk.WHEEL_DELTA & 0xFFFF) << 16, 0)
    simdesk.post_message(button, simdesk.WM_MOUSEMOVE, 0, outside)
    state = simdesk.window(button)
    assert (state["clicks"], state["wheel"], state["last_mouse"]) == (1, -120, (-1, 5))
    assert state["client_rect"] == (10, 10, 110, 40)
    assert [m["message"] for m in simdesk.messages(button)][:2] == [simdesk.WM_LBUTTONDOWN, simdesk.WM_LBUTTONUP]
    assert simdesk.messages(button)[3] == {"message": simdesk.WM_LBUTTONUP, "wparam": 0, "lparam": outside,
                                          "sent": False, "handled": True, "waited": False}
    assert simdesk.clear_messages(button) and simdesk.messages(button) == []

    for unit in (ord("h"), 0xD83D, 0xDE00, ord("i"), 8):
        simdesk.post_message(edit, simdesk.WM_CHAR, unit, 1)
    assert simdesk.window(edit)["text"] == "h\U0001F600"
    assert simdesk.send_message(edit, simdesk.WM_CHAR, ord("!"), 1) == (0, 0)
    assert simdesk.window(edit)["text"] == "h\U0001F600!"

    simdesk.destroy_window(edit)
    assert simdesk.post_message(edit, simdesk.WM_CHAR, ord("x")) == (False, simdesk.ERROR_INVALID_WINDOW_HANDLE)
    assert simdesk.messages(edit) == []
    assert simdesk.cursor() == (0, 0)


def test_send_message_waits_for_a_hung_window_without_holding_the_gil():
    edit = simdesk.create_window(class_name="Edit")
    assert simdesk.set_window_hung(edit, True)
    simdesk.post_message(edit, simdesk.WM_CHAR, ord("b"))
    assert simdesk.window(edit)["queued"] == 1
    results = []
    sender = threading.Thread(target=lambda: results.append(simdesk.send_message(edit, simdesk.WM_CHAR, ord("a"))))
    sender.start()
    deadline = time.monotonic() + 10
    while simdesk.window(edit)["senders_waiting"] == 0 and time.monotonic() < deadline:
        time.sleep(0.001)
    assert simdesk.window(edit)["senders_waiting"] == 1 and results == []
    assert simdesk.set_window_hung(edit, False)
    sender.join(10)
    assert results == [(0, 0)]
    assert simdesk.window(edit)["text"] == "ab"  # the sent message goes before the posted one
    assert [(m["sent"], m["handled"]) for m in simdesk.messages(edit)] == [(False, True), (True, True)]
