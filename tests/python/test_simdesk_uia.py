"""The simdesk control functions for UI Automation elements, as tests and the
demo use them from Python."""

import pytest

import simdesk


def test_window_less_elements_follow_the_child_windows_and_inherit_their_host():
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="browser", rect=(0, 0, 800, 600))
    first = simdesk.add_element(top, name="doc", control_type=simdesk.UIA_DocumentControlTypeId)
    second = simdesk.add_element(top, name="side", control_element=False, rect=(1, 2, 3, 4), enabled=False)
    child = simdesk.create_window(parent=top, class_name="Edit")
    assert first >= 1 << 40 and second > first

    win = simdesk.element(top)
    assert win["id"] == top and win["window"] == top
    assert win["name"] == "browser" and win["control_type"] == simdesk.UIA_WindowControlTypeId
    assert win["runtime_id"] == [42, top]
    assert win["children"] == [child, first, second]
    assert simdesk.element(child)["control_type"] == simdesk.UIA_EditControlTypeId

    doc = simdesk.element(first)
    assert doc["parent"] == top and doc["window"] == 0
    assert doc["process_id"] == win["process_id"] == simdesk.element(child)["process_id"]
    assert doc["runtime_id"][:3] == [42, top, 4]
    assert doc["runtime_id"] != simdesk.element(second)["runtime_id"]
    side = simdesk.element(second)
    assert (side["control_element"], side["enabled"], side["rect"]) == (False, False, (1, 2, 3, 4))
    assert side["control_type"] == simdesk.UIA_CustomControlTypeId


def test_set_element_changes_only_the_given_fields():
    top = simdesk.create_window(class_name="Frame", text="title")
    assert simdesk.set_element(top, name="Shown \0 name \U0001F600", automation_id="main")
    after = simdesk.element(top)
    assert after["name"] == "Shown \0 name \U0001F600" and after["automation_id"] == "main"
    assert after["class_name"] == "Frame"
    assert simdesk.window(top)["text"] == "title"  # the window keeps its own text

    assert simdesk.set_element(top, name=None, runtime_id=[7, -7, 2**31 - 1])
    assert simdesk.element(top)["name"] == "Shown \0 name \U0001F600"
    assert simdesk.element(top)["runtime_id"] == [7, -7, 2**31 - 1]
    assert simdesk.set_runtime_id_readable(top, False)
    assert simdesk.element(top)["runtime_id"] is None
    assert not simdesk.set_element(0xDEAD, name="x")


def test_remove_element_takes_its_subtree_and_bad_arguments_raise():
    top = simdesk.create_window()
    parent = simdesk.add_element(top, name="parent")
    below = simdesk.add_element(parent, name="below")
    assert not simdesk.remove_element(top)  # a window is destroyed, not removed
    assert simdesk.remove_element(parent)
    assert simdesk.element(below) is None and simdesk.element(top)["children"] == []
    assert not simdesk.remove_element(parent)

    with pytest.raises(ValueError):
        simdesk.add_element(parent)
    with pytest.raises(TypeError):
        simdesk.add_element(top, name=5)
    with pytest.raises(OverflowError):
        simdesk.add_element(top, runtime_id=[2**31])
    with pytest.raises(TypeError):
        simdesk.add_element(top, rect=(1, 2, 3))
    with pytest.raises(TypeError):
        simdesk.add_element(top, "positional name")
    assert simdesk.element(top)["children"] == []  # nothing half-added


def test_latency_is_stored_and_reset_drops_elements():
    assert simdesk.cross_process_calls() == 0
    assert simdesk.latency() == 0.0
    simdesk.set_latency(2.5)
    assert simdesk.latency() == 2.5
    with pytest.raises(ValueError):
        simdesk.set_latency(-1)
    assert simdesk.latency() == 2.5

    top = simdesk.create_window()
    element = simdesk.add_element(top)
    simdesk.reset()
    assert simdesk.latency() == 0.0
    assert simdesk.element(element) is None and simdesk.element(top) is None
