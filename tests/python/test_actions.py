"""find_element, execute_action and release_element, end to end on the
simulated desktop: live elements under handles, pattern actions first,
Win32 input where a pattern does not do the job."""

import faulthandler

import pytest

import ostrandcore
import simdesk
from conftest import log_mark, log_since

E_FAIL = -2147467259
E_ACCESSDENIED = -2147024891


def dialog():
    """A classic dialog: its controls are windows with their own handles."""
    d = simdesk.create_window(class_name="#32770", text="Sign in", rect=(-100, 100, 500, 400))
    edit = simdesk.create_window(parent=d, class_name="Edit", text="", rect=(180, 130, 480, 150))
    ok = simdesk.create_window(parent=d, class_name="Button", text="OK", rect=(-21, 350, 10, 381))
    simdesk.set_element(edit, automation_id="user")
    simdesk.set_element(ok, automation_id="ok")
    return d, edit, ok


def page():
    """Window-less content: elements without windows of their own."""
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Shop", rect=(0, 0, 800, 600))
    link = simdesk.add_element(top, name="Caf\u00e9 \U0001F600", automation_id="cafe", control_type=50005,
                               rect=(10, 21, 21, 41))
    plain = simdesk.add_element(top, name="Plain", automation_id="plain", control_type=50020,
                                rect=(100, 100, 200, 120))
    return top, link, plain


def find(hwnd, by, value):
    found = ostrandcore.find_element(hwnd, by, value)
    assert found is not None, (by, value)
    return found


def act(found, action, params=None):
    return ostrandcore.execute_action(found, action, params if params is not None else {})


def sent(hwnd):
    return [(m["message"], m["wparam"], m["lparam"], m["sent"]) for m in simdesk.messages(hwnd)]


class TestFindElement:
    def test_each_criterion_finds_live_values(self, initialised):
        simdesk.set_title_bars(True)   # each top-level window's first child, as on Windows
        d, edit, ok = dialog()
        found = find(d, "automation_id", "ok")
        first = found["handle_id"]
        assert list(found.items()) == [("name", "OK"), ("automation_id", "ok"), ("class_name", "Button"),
                                       ("control_type", 50000), ("bounding_rect", (-21, 350, 10, 381)),
                                       ("is_enabled", True), ("handle_id", first)]
        assert first > 0
        assert find(d, "name", "OK")["handle_id"] == first + 1
        assert find(d, "class_name", "Edit")["automation_id"] == "user"
        assert find(d, "name", "Sign in")["class_name"] == "#32770"   # the window itself, before its title bar
        # A Button by control type alone: the title bar's Minimize comes before the dialog's own.
        found = find(d, "control_type", " 50000abc")
        assert (found["name"], found["automation_id"], found["class_name"], found["bounding_rect"]) == \
            ("Minimize", "Minimize", "", (362, 100, 408, 130))
        assert act(found, "click") == {"success": True, "path": "InvokePattern", "hr": 0}
        title_bar = simdesk.element(d)["children"][0]
        minimize = simdesk.element(title_bar)["children"][0]
        assert simdesk.element(minimize)["invoke_count"] == 1
        assert find(d, "control_type", "50037")["name"] == "Sign in"
        assert ostrandcore.find_element(d, "control_type", "abc") is None        # control type 0
        assert ostrandcore.find_element(d, "control_type", "99999999999") is None
        assert find(d, "name", "")["class_name"] == "Edit"                      # the empty name matches
        top, link, plain = page()
        assert find(top, "name", "Caf\u00e9 \U0001F600")["automation_id"] == "cafe"
        # Whole strings, NULs included.
        simdesk.add_element(top, name="a\x00b", automation_id="nul", class_name="C\x00\x00", control_type=50020)
        found = find(top, "automation_id", "nul")
        assert (found["name"], found["class_name"]) == ("a\x00b", "C\x00\x00")
        assert ostrandcore.find_element(top, "name", "caf\u00e9 \U0001F600") is None

    @pytest.mark.parametrize("mode", ["uia", "win32"])
    def test_a_perceived_element_is_found_again_by_its_key(self, initialised, mode):
        """Every record a query returns names exactly its element, duplicate
        names included; what is not a key of the window finds nothing."""
        simdesk.set_title_bars(True)
        d, edit, ok = dialog()
        twin = simdesk.create_window(parent=d, class_name="Button", text="OK", rect=(300, 350, 360, 380))
        top, link, plain = page()
        same = simdesk.add_element(top, name="Plain", control_type=50000, rect=(300, 100, 400, 120))
        other = simdesk.create_window(class_name="#32770", text="Other", rect=(600, 0, 700, 100))
        ostrandcore.configure_cache([], "subtree", mode)
        keys = {}
        for window in (d, top):
            for record in ostrandcore.query_elements_cached(window):
                keys[record["runtime_id_key"]] = window
                found = find(window, "runtime_id_key", record["runtime_id_key"])
                if mode == "uia":
                    fields = ("name", "automation_id", "class_name", "control_type", "bounding_rect", "is_enabled")
                else:   # Win32 names are window texts; an Edit's UI Automation name is its label's
                    fields = ("class_name", "bounding_rect", "is_enabled")
                assert {f: found[f] for f in fields} == {f: record[f] for f in fields}, record
        assert len(keys) > 3
        # Acting on the second of two "OK" buttons reaches it, not the first.
        assert act(find(d, "runtime_id_key", "hwnd:%X" % twin if mode == "win32" else "42,%d" % twin),
                   "click")["success"]
        assert (simdesk.element(twin)["invoke_count"], simdesk.element(ok)["invoke_count"]) == (1, 0)
        outside = ["hwnd:%X" % other, "42,%d" % other] + [k for k, w in keys.items() if w == top]
        rid = simdesk.element(same)["runtime_id"]
        for key in ["", "42,", ",42", "42, 7", "+42", "042", "-0", "99999999999", "hwnd:", "hwnd:0",
                    "hwnd:1001a", "hwnd:0%X" % ok, "HWND:%X" % ok, "hwnd:1%08X" % ok, " 42,%d" % ok,
                    ",".join(map(str, rid)) + ","] + outside:
            assert ostrandcore.find_element(d, "runtime_id_key", key) is None, key
        assert find(top, "runtime_id_key", ",".join(map(str, rid)))["bounding_rect"] == (300, 100, 400, 120)

    def test_misses_and_errors(self, initialised):
        d, _, _ = dialog()
        mark = log_mark()
        assert ostrandcore.find_element(0, "name", "OK") is None
        assert ostrandcore.find_element(d + 1, "name", "OK") is None
        assert log_since(mark) == "UIA COM session initialised (lazy)\n"
        with pytest.raises(ValueError, match=r"^Unknown 'by' criterion: 'Name'\. Use 'automation_id', 'name', "
                                             r"'control_type', or 'class_name'$"):
            ostrandcore.find_element(d, "Name", "OK")
        simdesk.fail("CreatePropertyCondition", simdesk.E_OUTOFMEMORY)
        with pytest.raises(RuntimeError, match="^CreatePropertyCondition failed: HRESULT 0x8007000E$"):
            ostrandcore.find_element(d, "name", "OK")
        simdesk.fail("FindFirst", simdesk.E_ACCESSDENIED)
        assert ostrandcore.find_element(d, "name", "OK") is None
        assert log_since(mark).endswith("findElement failed: 0x80070005\n")

    def test_no_session_means_no_search(self, initialised):
        simdesk.fail("CoCreateInstance", simdesk.REGDB_E_CLASSNOTREG, 2)   # neither class registered
        with pytest.raises(RuntimeError, match="^UIAutomation COM object is not available. Ensure "
                                               "UIAutomationCore.dll is present and the process has COM access$"):
            ostrandcore.find_element(1, "bogus", "x")


class TestHandles:
    def test_lifecycle_of_handle_ids(self, initialised):
        d, _, ok = dialog()
        assert ostrandcore.find_element(0, "name", "OK") is None   # opens the session
        com_before = simdesk.live()["com"]
        first = find(d, "name", "OK")
        second = find(d, "name", "OK")
        one, two = first["handle_id"], second["handle_id"]
        assert two == one + 1
        assert simdesk.live()["com"] == com_before + 2   # each id holds its own element
        assert ostrandcore.release_element(one) is None
        assert ostrandcore.release_element(one) is None
        assert ostrandcore.release_element(0) is None
        assert simdesk.live()["com"] == com_before + 1
        with pytest.raises(RuntimeError, match="^Element handle %d not found or already released$" % one):
            act(first, "click")
        assert act(second, "click")["success"]
        third = find(d, "name", "OK")["handle_id"]
        ostrandcore.release_element(third)
        assert find(d, "name", "OK")["handle_id"] == third + 1   # not even the newest comes back
        ostrandcore.shutdown()
        with pytest.raises(RuntimeError, match="^Framework not initialised$"):
            act(second, "click")
        ostrandcore.initialise()
        # A handle from before names nothing in the new cycle, whatever it registers.
        later = [find(d, "name", "OK")["handle_id"] for _ in range(3)]
        assert min(later) > third + 1
        with pytest.raises(RuntimeError, match="^Element handle %d not found or already released$" % two):
            act(second, "click")

    def test_release_works_in_any_state(self):
        assert ostrandcore.release_element(1) is None
        with pytest.raises(OverflowError):
            ostrandcore.release_element(2 ** 31)


class TestExecuteAction:
    def test_checks_come_in_order(self, initialised):
        d, _, _ = dialog()
        ostrandcore.release_element(find(d, "name", "OK")["handle_id"])   # so that id 1 is never live here
        ok = find(d, "name", "OK")
        with pytest.raises(TypeError):
            ostrandcore.execute_action(ok, "click")
        for bad in ({}, {"handle_id": "1"}, {"id": 1}, [("handle_id", 1)], None):
            with pytest.raises(ValueError, match="^handle dict missing 'handle_id'$"):
                ostrandcore.execute_action(bad, "Click", {})
        with pytest.raises(RuntimeError, match="^Element handle -1 not found or already released$"):
            ostrandcore.execute_action({"handle_id": 2 ** 40}, "Click", {})
        with pytest.raises(RuntimeError, match="^Element handle 1 not found"):
            ostrandcore.execute_action({"handle_id": True}, "bogus", {})   # True is id 1; the handle comes first
        for action in ("Click", "", "expand "):
            with pytest.raises(ValueError, match=r"^Unknown action '.*'\. Use click\|type\|scroll\|focus\|hover\|"
                                                 r"select\|expand$"):
                ostrandcore.execute_action(ok, action, {})

    def test_pattern_actions(self, initialised):
        top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="App", rect=(0, 0, 400, 400))
        button = simdesk.add_element(top, name="Go", control_type=50000, rect=(0, 0, 10, 10))
        field = simdesk.add_element(top, name="Field", control_type=50004, value="old", rect=(0, 20, 10, 30))
        lst = simdesk.add_element(top, name="List", control_type=50008, scroll_percent=50, rect=(0, 40, 90, 90))
        item = simdesk.add_element(lst, name="Item", control_type=50007, rect=(0, 40, 90, 50))
        combo = simdesk.add_element(top, name="Combo", control_type=50003, rect=(0, 100, 90, 120))
        h = {name: find(top, "name", name) for name in ("Go", "Field", "List", "Item", "Combo")}

        assert act(h["Go"], "click") == {"success": True, "path": "InvokePattern", "hr": 0}
        assert simdesk.element(button)["invoke_count"] == 1
        assert act(h["Field"], "type", {"text": "new \U0001F600"}) == {"success": True, "path": "ValuePattern",
                                                                      "hr": 0}
        assert simdesk.element(field)["value"] == "new \U0001F600"
        assert act(h["Field"], "type", None)["success"]            # params None: the empty text
        assert simdesk.element(field)["value"] == ""
        assert act(h["Field"], "type", {"text": 5})["success"]    # not a str: the empty text
        assert act(h["List"], "scroll") == {"success": True, "path": "ScrollPattern", "hr": 0}
        assert simdesk.element(lst)["scroll_percent"] == 40        # a small step toward the top
        assert act(h["Item"], "select") == {"success": True, "path": "SelectionItemPattern", "hr": 0}
        assert simdesk.element(item)["selected"] is True
        assert act(h["Combo"], "expand", [1]) == {"success": True, "path": "ExpandCollapsePattern", "hr": 0}
        assert simdesk.element(combo)["expand_state"] == 1
        assert act(h["Combo"], "expand", {"expand": False})["success"]
        assert simdesk.element(combo)["expand_state"] == 0
        assert act(h["Combo"], "expand", {"expand": 0})["success"]   # not a bool: expands
        assert simdesk.element(combo)["expand_state"] == 1
        assert act(h["Field"], "focus") == {"success": True, "path": "FocusPattern", "hr": 0}
        assert simdesk.focused_element() == field

        # Without the pattern: select and expand report it with hr 0, focus its own failure.
        assert act(h["Go"], "select") == {"success": False, "path": "SelectionItemPattern", "hr": 0}
        assert act(h["Go"], "expand") == {"success": False, "path": "ExpandCollapsePattern", "hr": 0}
        simdesk.set_element(button, focusable=False)
        assert act(h["Go"], "focus") == {"success": False, "path": "FocusPattern",
                                         "hr": simdesk.UIA_E_INVALIDOPERATION - 2 ** 32}
        simdesk.set_element(item, enabled=False)
        assert act(h["Item"], "select") == {"success": False, "path": "SelectionItemPattern",
                                            "hr": simdesk.UIA_E_ELEMENTNOTENABLED - 2 ** 32}

    # Windows hands out handles whose 32-bit value has its top bit set; a
    # 64-bit process sees them sign-extended, and a negative int is the same.
    @pytest.mark.parametrize("high", [False, True], ids=["handles", "sign-extended handles"])
    def test_win32_fallbacks_on_a_classic_dialog(self, initialised, high):
        simdesk.set_high_handles(high)
        d, edit, ok = dialog()
        assert (ok >> 31 == 0x1FFFFFFFF) == high
        simdesk.set_element(ok, patterns=[])          # a button whose proxy offers no Invoke
        button = find(d, "name", "OK")
        if high:
            assert {**find(d - 2 ** 64, "name", "OK"), "handle_id": 0} == {**button, "handle_id": 0}
        simdesk.clear_messages(ok)
        assert act(button, "click") == {"success": True, "path": "Win32Click", "hr": 0}
        # Centre (-5, 365) in client coordinates of a window whose client origin is (-21, 350).
        at = simdesk.make_lparam(16, 15)
        assert sent(ok) == [(simdesk.WM_LBUTTONDOWN, simdesk.MK_LBUTTON, at, False),
                            (simdesk.WM_LBUTTONUP, 0, at, False)]
        assert simdesk.window(ok)["clicks"] == 1
        # A disabled window would take the posted click: the fallback refuses.
        simdesk.set_window_enabled(ok, False)
        assert act(button, "click") == {"success": False, "path": "Win32Click",
                                        "hr": simdesk.UIA_E_ELEMENTNOTENABLED - 2 ** 32}
        assert simdesk.window(ok)["clicks"] == 1
        simdesk.set_window_enabled(ok, True)

        simdesk.set_window_read_only(edit, True)
        field = find(d, "automation_id", "user")
        assert act(field, "type", {"text": "ab\U0001F600"}) == {"success": True, "path": "Win32Type", "hr": 0}
        assert [(m, w) for m, w, _, _ in sent(edit)] == [(simdesk.WM_CHAR, 0x61), (simdesk.WM_CHAR, 0x62),
                                                         (simdesk.WM_CHAR, 0xD83D), (simdesk.WM_CHAR, 0xDE00)]
        assert all(lp == 1 for _, _, lp, _ in sent(edit))
        assert simdesk.focused_element() == edit
        simdesk.set_window_read_only(edit, False)
        simdesk.set_element(edit, patterns=[])
        simdesk.clear_messages(edit)
        assert act(field, "type", {"text": "hi"})["path"] == "Win32Type"
        assert simdesk.window(edit)["text"] == "hi"

        # Scroll: no Scroll pattern, the wheel goes to the window under the centre.
        assert act(button, "scroll") == {"success": True, "path": "Win32Scroll", "hr": 0}
        wheel = [m for m in simdesk.messages(ok) if m["message"] == simdesk.WM_MOUSEWHEEL]
        assert wheel[-1]["wparam"] == 0xFF880000
        assert wheel[-1]["lparam"] == simdesk.make_lparam(-5, 365)
        assert wheel[-1]["sent"] is True
        assert simdesk.window(ok)["wheel"] == -120

        # Hover: the cursor moves, the window under it hears a mouse move.
        assert act(button, "hover") == {"success": True, "path": "Win32Hover", "hr": 0}
        assert simdesk.cursor() == (-5, 365)
        assert simdesk.window(ok)["last_mouse"] == (16, 15)

    def test_read_only_value_is_refused_then_typed(self, initialised):
        d, edit, _ = dialog()
        simdesk.set_window_read_only(edit, True)
        field = find(d, "automation_id", "user")
        calls = simdesk.calls("SetValue")
        # Read-only: the pattern is not asked to set the value at all (its
        # IsReadOnly says no); the fallback types, and the edit ignores it.
        assert act(field, "type", {"text": "x"}) == {"success": True, "path": "Win32Type", "hr": 0}
        assert simdesk.calls("SetValue") == calls
        assert [m for m in sent(edit) if m[0] == simdesk.WM_CHAR] == [(simdesk.WM_CHAR, ord("x"), 1, False)]
        assert simdesk.window(edit)["text"] == ""   # a read-only edit ignores typed characters

    def test_window_less_elements(self, initialised):
        top, link, plain = page()
        text = find(top, "name", "Plain")
        assert act(text, "click") == {"success": False, "path": "Win32Click", "hr": E_FAIL}
        assert act(text, "type", {"text": "x"}) == {"success": False, "path": "Win32Type", "hr": E_FAIL}
        assert act(text, "scroll") == {"success": True, "path": "Win32Scroll", "hr": 0}
        assert simdesk.window(top)["wheel"] == -120
        assert act(text, "hover") == {"success": True, "path": "Win32Hover", "hr": 0}
        assert simdesk.cursor() == (150, 110)
        # Nothing at the point: the cursor still moves, nothing is posted, success.
        simdesk.set_element(plain, rect=(-3000, -3000, -2990, -2990))
        assert act(text, "hover") == {"success": True, "path": "Win32Hover", "hr": 0}
        assert simdesk.cursor() == (-2995, -2995)
        assert act(text, "scroll") == {"success": False, "path": "Win32Scroll", "hr": E_FAIL}

    def test_cursor_failure_reports_the_win32_error(self, initialised):
        top, link, plain = page()
        text = find(top, "name", "Plain")
        simdesk.fail("SetCursorPos", simdesk.ERROR_ACCESS_DENIED)
        assert act(text, "hover") == {"success": False, "path": "Win32Hover", "hr": 5}

    def test_elements_that_went_away(self, initialised):
        d, edit, ok = dialog()
        button = find(d, "name", "OK")
        simdesk.destroy_window(d)
        result = act(button, "click")
        assert result["success"] is False and result["path"] == "Win32Click"
        assert act(button, "focus") == {"success": False, "path": "FocusPattern",
                                        "hr": simdesk.UIA_E_ELEMENTNOTAVAILABLE - 2 ** 32}


def signed(hr):
    return hr - (1 << 32) if hr & 0x80000000 else hr


ACCESS_DENIED = signed(0x80070005)   # HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)
GONE = signed(0x80070578)            # HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE)
TIMED_OUT = signed(0x800705B4)       # HRESULT_FROM_WIN32(ERROR_TIMEOUT)

# Each Win32 fallback: its parameters, the control it acts on, the platform
# call that carries its input and how many such calls the whole input takes.
FALLBACKS = {"click": ({}, "ok", "PostMessageW", 2),
             "type": ({"text": "abc"}, "edit", "PostMessageW", 3),
             "scroll": ({}, "edit", "SendMessageTimeoutW", 1)}
# (action, cause) -> (success, hr, calls carrying input that were made).
# Elevated: the first message is refused. Gone: the window is destroyed as
# the second post (the button-up, the second character) or the wheel is
# entered. Hung: the window stops answering as the first input call is
# entered (before, UI Automation itself would wait on it); posted input waits
# for the window; the wheel is not taken. Vanishing: the window goes as the
# window system is asked whether it takes input, after UI Automation found it.
LANDING = {("click", "elevated"): (False, ACCESS_DENIED, 1),
           ("type", "elevated"): (False, ACCESS_DENIED, 1),
           ("scroll", "elevated"): (False, ACCESS_DENIED, 1),
           ("click", "gone"): (False, GONE, 2),
           ("type", "gone"): (False, GONE, 2),
           ("scroll", "gone"): (False, GONE, 1),
           ("click", "hung"): (True, 0, 2),
           ("type", "hung"): (True, 0, 3),
           ("scroll", "hung"): (False, TIMED_OUT, 1),
           ("click", "vanishing"): (False, GONE, 0),
           ("type", "vanishing"): (False, GONE, 0)}
# What the control shows once its input has landed.
LANDED = {"click": ("clicks", 1), "type": ("text", "abc"), "scroll": ("wheel", -120)}


@pytest.mark.parametrize("action,cause", sorted(LANDING))
def test_input_that_did_not_land_is_reported_and_nothing_follows_it(initialised, action, cause):
    params, target, carrier, calls = FALLBACKS[action]
    success, hr, made = LANDING[(action, cause)]
    d, edit, ok = dialog()
    controls = {"ok": ok, "edit": edit}
    for control in controls.values():
        simdesk.set_element(control, patterns=[])   # no pattern: the Win32 fallback acts
    found = find(d, "automation_id", "ok" if target == "ok" else "user")
    window = controls[target]
    if cause == "elevated":
        simdesk.set_window_elevated(d, True)
    elif cause == "gone":
        simdesk.destroy_window_on_call(d, carrier, skip=0 if calls == 1 else 1)
    elif cause == "vanishing":
        simdesk.destroy_window_on_call(d, "IsWindowEnabled")
    else:
        simdesk.hang_window_on_call(window, carrier)
    simdesk.reset_calls()
    # execute_action holds the interpreter lock throughout, so a wait for a
    # hung window could not be interrupted from Python: a watchdog ends the
    # run with tracebacks instead of letting it hang.
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        result = act(found, action, params)
    finally:
        faulthandler.cancel_dump_traceback_later()
    path = {"click": "Win32Click", "type": "Win32Type", "scroll": "Win32Scroll"}[action]
    assert list(result.items()) == [("success", success), ("path", path), ("hr", hr)]
    # Nothing more is attempted after the input that failed.
    assert simdesk.calls(carrier) == made

    field, landed = LANDED[action]
    if cause == "elevated":
        assert simdesk.messages(window) == []
        assert simdesk.window(window)[field] != landed
    elif cause in ("gone", "vanishing"):
        assert simdesk.window(window) is None
    else:
        records = simdesk.messages(window)
        assert len(records) == made and not any(m["handled"] for m in records)
        # The wheel never waited on the hung window: the interpreter was not
        # held for the time-out.
        assert not any(m["waited"] for m in records)
        simdesk.set_window_hung(window, False)
        assert all(m["handled"] for m in simdesk.messages(window)) == success
        assert (simdesk.window(window)[field] == landed) == success

    # The same action on a window that takes input works.
    d2, edit2, ok2 = dialog()
    for control in (ok2, edit2):
        simdesk.set_element(control, patterns=[])
    again = act(find(d2, "automation_id", "ok" if target == "ok" else "user"), action, params)
    assert again == {"success": True, "path": path, "hr": 0}
    assert simdesk.window({"ok": ok2, "edit": edit2}[target])[field] == landed


class KeyLike(str):
    """Hashes like the key the module looks up, and cannot be compared."""

    def __hash__(self):
        return hash(str(self))

    def __eq__(self, other):
        raise ZeroDivisionError("compared")


UIA_TIMEOUT = signed(0x80131505)


def test_an_application_that_stopped_answering_is_reported_after_one_wait(initialised):
    """UI Automation gives up on a hung application after its timeout. Each
    function waits once and says so; an action does not go on to a Win32
    fallback, whose UI Automation reads would each wait as long again."""
    d, edit, ok = dialog()
    top, link, plain = page()
    handles = {"ok": find(d, "automation_id", "ok"), "link": find(top, "automation_id", "cafe")}
    ostrandcore.configure_cache([], "subtree", "uia")
    simdesk.set_window_hung(d, True)
    simdesk.set_window_hung(top, True)
    simdesk.reset_calls()
    mark = log_mark()
    assert ostrandcore.find_element(d, "name", "OK") is None
    assert log_since(mark) == "findElement failed: 0x80131505\n"
    with pytest.raises(RuntimeError, match="Cache refresh failed: HRESULT 0x80131505"):
        ostrandcore.query_elements_cached(top)
    assert simdesk.uia_timeouts()["timed_out"] == 2
    for target, action, params in [("ok", "click", {}), ("ok", "type", {"text": "x"}), ("ok", "scroll", {}),
                                   ("ok", "focus", {}), ("link", "hover", {}), ("link", "select", {})]:
        before = simdesk.uia_timeouts()["timed_out"]
        result = act(handles[target], action, params)
        assert (result["success"], result["hr"]) == (False, UIA_TIMEOUT), (action, result)
        assert simdesk.uia_timeouts()["timed_out"] == before + 1, action
    # The window's registrations each need its element: the second is not
    # tried once the first has waited; the desktop-wide one still is.
    before, mark = simdesk.uia_timeouts()["timed_out"], log_mark()
    ostrandcore.subscribe_events(top, ["StructureChanged", "PropertyChanged", "FocusChanged"], "subtree", print)
    assert simdesk.uia_timeouts()["timed_out"] == before + 1
    assert log_since(mark) == ("subscribe_events: StructureChanged registration failed: 0x80131505\n"
                               "subscribe_events: PropertyChanged registration failed: 0x80131505\n")
    assert [r["kind"] for r in simdesk.event_registrations()] == ["focus"]
    assert simdesk.messages(ok) == [] and simdesk.messages(edit) == []
    assert simdesk.cursor() == (0, 0)   # no hover at a point that could not be read
    simdesk.set_window_hung(d, False)
    assert act(handles["ok"], "click", {}) == {"success": True, "path": "InvokePattern", "hr": 0}


def test_a_dict_key_that_cannot_be_compared_is_a_missing_entry_and_nothing_is_printed(initialised, monkeypatch):
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    d, edit, _ = dialog()
    field = find(d, "automation_id", "user")
    with pytest.raises(ValueError, match="handle dict missing 'handle_id'"):
        ostrandcore.execute_action({KeyLike("handle_id"): field["handle_id"]}, "type", {})
    # The text is not found: an empty one is typed.
    simdesk.set_window_text(edit, "old")
    assert act(field, "type", {KeyLike("text"): "new", KeyLike("expand"): False})["success"] is True
    assert simdesk.window(edit)["text"] == ""
    assert unraisable == []
