"""The simdesk event functions: firing events, handlers registered through
UI Automation and called on the desktop's threads, and waiting for delivery
without holding the GIL."""

import threading

import simdesk


def recorder():
    seen = []
    return seen, seen.append


def test_desktop_changes_raise_events_that_reach_a_handler_on_another_thread():
    top = simdesk.create_window(class_name="Frame", text="title")
    simdesk.create_window(parent=top, class_name="Static", text="User")
    edit = simdesk.create_window(parent=top, class_name="Edit")
    seen, record = recorder()
    props = [simdesk.UIA_NamePropertyId, simdesk.UIA_IsEnabledPropertyId, simdesk.UIA_ValueValuePropertyId]
    assert simdesk.add_event_handler("property", record, top, simdesk.TreeScope_Subtree, props) == simdesk.S_OK
    assert simdesk.add_event_handler("structure", record, top, simdesk.TreeScope_Subtree) == simdesk.S_OK
    assert simdesk.event_registrations() == [
        {"kind": "property", "element": top, "scope": simdesk.TreeScope_Subtree, "properties": props},
        {"kind": "structure", "element": top, "scope": simdesk.TreeScope_Subtree, "properties": []},
    ]
    child = simdesk.create_window(parent=top, class_name="Static")
    assert simdesk.wait_for_events()
    simdesk.set_window_text(child, "typed \U0001F600")
    simdesk.set_window_enabled(child, False)
    simdesk.destroy_window(child)
    # An Edit's text is its Value; its Name stays its label's (Microsoft
    # Learn, Edit Control Type), so typing raises a Value change only.
    simdesk.send_message(edit, simdesk.WM_CHAR, ord("x"))
    simdesk.set_window_text(edit, "typed")
    assert simdesk.wait_for_events()

    structure = [e for e in seen if e["kind"] == "structure"]
    assert [(e["change_type"], e["runtime_id"]) for e in structure] == [
        (simdesk.StructureChangeType_ChildAdded, None),   # only a removal names the child
        (simdesk.StructureChangeType_ChildRemoved, [42, child]),
    ]
    assert [e["sender"] for e in structure] == [[42, child], [42, top]]
    changes = [(e["property_id"], e["value"]) for e in seen if e["kind"] == "property"]
    assert changes == [(simdesk.UIA_NamePropertyId, "typed \U0001F600"), (simdesk.UIA_IsEnabledPropertyId, False),
                       (simdesk.UIA_ValueValuePropertyId, "x"), (simdesk.UIA_ValueValuePropertyId, "typed")]
    assert [e["sender"] for e in seen if e["kind"] == "property"][2:] == [[42, edit]] * 2
    assert simdesk.element(edit)["name"] == "User"
    assert simdesk.current_thread_id() not in {e["thread_id"] for e in seen}
    assert simdesk.event_stats()["calls"] == 6

    assert simdesk.remove_all_event_handlers() == simdesk.S_OK
    assert simdesk.event_registrations() == []


def test_fired_values_and_runtime_ids_arrive_as_given():
    top = simdesk.create_window()
    doc = simdesk.add_element(top, name="doc")
    seen, record = recorder()
    assert simdesk.add_event_handler("property", record, doc, simdesk.TreeScope_Element, [40000]) == simdesk.S_OK
    assert simdesk.add_event_handler("focus", record) == simdesk.S_OK
    values = ["text", True, -7, None, (1.5, 2.0, 3.0, 4.0)]
    for value in values:
        assert simdesk.fire_property_changed(doc, 40000, value)
    assert simdesk.fire_focus_changed(doc)
    assert simdesk.wait_for_events()
    assert [e["value"] for e in seen if e["kind"] == "property"] == values
    focus = [e for e in seen if e["kind"] == "focus"]
    assert [e["sender"] for e in focus] == [simdesk.element(doc)["runtime_id"]]

    seen.clear()
    assert simdesk.add_event_handler("structure", record, top, simdesk.TreeScope_Element) == simdesk.S_OK
    assert simdesk.fire_structure_changed(top, simdesk.StructureChangeType_ChildrenInvalidated)
    assert simdesk.fire_structure_changed(top, simdesk.StructureChangeType_ChildrenBulkAdded, [42, 7, -3])
    assert simdesk.wait_for_events()
    assert [(e["change_type"], e["runtime_id"]) for e in seen] == [
        (simdesk.StructureChangeType_ChildrenInvalidated, None),
        (simdesk.StructureChangeType_ChildrenBulkAdded, [42, 7, -3]),
    ]
    assert not simdesk.fire_focus_changed(0xDEAD)
    simdesk.reset()
    assert simdesk.event_registrations() == []


def test_waiting_releases_the_gil_that_every_python_handler_needs():
    top = simdesk.create_window()
    seen, record = recorder()
    assert simdesk.add_event_handler("focus", record) == simdesk.S_OK
    simdesk.pause_delivery(True)
    for _ in range(50):
        simdesk.fire_focus_changed(top)
    assert not simdesk.wait_for_events(timeout=0.05)
    assert simdesk.event_stats()["pending"] == 50
    simdesk.pause_delivery(False)
    assert simdesk.wait_for_events(timeout=30)
    assert len(seen) == 50


def test_remove_all_waits_for_a_handler_and_registration_failures_are_reported():
    top = simdesk.create_window()
    inside, release = threading.Event(), threading.Event()
    finished = []

    def slow(event):
        inside.set()
        release.wait(30)
        finished.append(event)

    assert simdesk.add_event_handler("focus", slow) == simdesk.S_OK
    simdesk.fire_focus_changed(top)
    assert inside.wait(10)
    remover = threading.Thread(target=simdesk.remove_all_event_handlers)
    remover.start()
    while simdesk.event_registrations():
        remover.join(0.001)
    assert remover.is_alive()  # waiting for the call in progress
    release.set()
    remover.join(30)
    assert not remover.is_alive() and len(finished) == 1

    assert simdesk.add_event_handler("structure", slow, top, 0) == simdesk.E_INVALIDARG
    assert simdesk.add_event_handler("property", slow, top, simdesk.TreeScope_Element, []) == simdesk.E_INVALIDARG
    simdesk.fail("AddFocusChangedEventHandler", simdesk.E_OUTOFMEMORY)
    assert simdesk.add_event_handler("focus", slow) == simdesk.E_OUTOFMEMORY
    assert simdesk.event_registrations() == []
