"""configure_cache and query_elements_cached, end to end on the simulated
desktop: both perception paths, the store, and what Python gets back."""

import pytest

import ostrandcore
import simdesk

KEYS = ["name", "automation_id", "class_name", "control_type", "bounding_rect", "is_enabled", "runtime_id_key"]


def hwnd_key(h):
    return "hwnd:%X" % h


def classic_dialog(title="Settings"):
    dialog = simdesk.create_window(class_name="#32770", text=title, rect=(100, 100, 500, 400))
    ok = simdesk.create_window(parent=dialog, class_name="Button", text="OK", rect=(300, 350, 380, 375))
    simdesk.create_window(parent=dialog, class_name="Button", text="Cancel", rect=(390, 350, 470, 375))
    simdesk.create_window(parent=dialog, class_name="Edit", text="", rect=(120, 120, 480, 140))
    return dialog, ok


def browser_window():
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Inbox - Browser", rect=(-1600, 0, -800, 600))
    host = simdesk.create_window(parent=top, class_name="Chrome_RenderWidgetHostHWND", rect=(-1600, 80, -800, 600))
    doc = simdesk.add_element(host, name="Inbox", class_name="Document", control_type=50030,
                              rect=(-1600, 80, -800, 600), runtime_id=[42, 9, 1])
    simdesk.add_element(doc, name="Compose \U0001F58A", automation_id="compose", class_name="Button",
                        control_type=50000, rect=(-1590, 90, -1500, 110), runtime_id=[42, 9, -2])
    return top, host, doc


def by_key(elements):
    return {e["runtime_id_key"]: e for e in elements}


class TestConfigureCache:
    def test_a_tuple_is_refused_and_changes_nothing(self, initialised):
        dialog, _ = classic_dialog()
        ostrandcore.configure_cache([], "subtree", "win32")
        ostrandcore.query_elements_cached(dialog)
        with pytest.raises(TypeError, match="^properties must be a list of strings$"):
            ostrandcore.configure_cache(("name",), "children", "uia")
        metrics = ostrandcore.get_benchmark_metrics()
        assert metrics["cache_valid"] is True
        assert ostrandcore.get_active_mode() == "win32"

    def test_every_call_invalidates_and_explicit_modes_apply_at_once(self, initialised):
        dialog, _ = classic_dialog()
        assert ostrandcore.configure_cache([], "subtree", "win32") is None
        ostrandcore.query_elements_cached(dialog)
        assert ostrandcore.configure_cache(["name", 5, "nonsense", None, "name"]) is None
        assert ostrandcore.get_benchmark_metrics()["cache_valid"] is False
        # In "auto" the last path stays reported until a window is decided again.
        assert ostrandcore.get_active_mode() == "win32"
        ostrandcore.configure_cache([], "subtree", "uia")
        assert ostrandcore.get_active_mode() == "uia"

    def test_auto_decides_per_window_until_reconfigured(self, initialised):
        dialog, ok = classic_dialog()
        top, _, _ = browser_window()
        ostrandcore.query_elements_cached(dialog)
        assert ostrandcore.get_active_mode() == "win32"
        # A browser window asked next is decided on its own: UI Automation.
        elements = ostrandcore.query_elements_cached(top)
        assert ostrandcore.get_active_mode() == "uia"
        assert "42,9,-2" in by_key(elements)
        # The dialog keeps its own decision, even once it would decide otherwise.
        simdesk.destroy_window(ok)
        assert all(e["runtime_id_key"].startswith("hwnd:") for e in ostrandcore.query_elements_cached(dialog))
        assert ostrandcore.get_active_mode() == "win32"
        ostrandcore.configure_cache([])
        assert ostrandcore.get_active_mode() == "win32"
        # A failed query reports the path it was decided for.
        simdesk.fail("FindAllBuildCache", simdesk.E_FAIL)
        with pytest.raises(RuntimeError, match="0x80004005"):
            ostrandcore.query_elements_cached(top)
        assert ostrandcore.get_active_mode() == "uia"

    def test_strange_strings_are_names_like_any_other(self, initialised):
        dialog, _ = classic_dialog()
        # A lone surrogate cannot be encoded: it counts as an unknown name.
        ostrandcore.configure_cache(["\ud800", "name\x00"], "subtree", "win32")
        assert len(ostrandcore.query_elements_cached(dialog)) == 4


class TestWin32Path:
    def test_dialog_elements_as_dicts(self, initialised):
        ostrandcore.configure_cache([], "subtree", "win32")
        dialog, ok = classic_dialog()
        simdesk.set_window_enabled(ok, False)
        elements = ostrandcore.query_elements_cached(dialog)
        assert len(elements) == 4
        for e in elements:
            assert list(e) == KEYS
            assert e["automation_id"] == ""
        d = by_key(elements)[hwnd_key(dialog)]
        assert d == {"name": "Settings", "automation_id": "", "class_name": "#32770", "control_type": 50033,
                     "bounding_rect": (100, 100, 500, 400), "is_enabled": True, "runtime_id_key": hwnd_key(dialog)}
        assert by_key(elements)[hwnd_key(ok)]["is_enabled"] is False
        assert by_key(elements)[hwnd_key(ok)]["control_type"] == 50000
        assert simdesk.leaks() == {}  # no COM at all on this path

    def test_second_query_is_served_without_touching_the_window(self, initialised):
        dialog, _ = classic_dialog()
        first = ostrandcore.query_elements_cached(dialog)
        simdesk.reset_calls()
        assert ostrandcore.query_elements_cached(dialog, "element") == first  # the scope argument is not used
        assert ostrandcore.query_elements_cached(0) == first                  # 0 takes what the store holds
        assert simdesk.calls("EnumChildWindows") == 0
        assert simdesk.calls("GetWindowTextW") == 0

    def test_each_query_hands_out_its_own_dicts(self, initialised):
        dialog, ok = classic_dialog()
        first = ostrandcore.query_elements_cached(dialog)
        pristine = [dict(e) for e in first]
        first[0]["name"] = "changed by the caller"
        first[1].clear()
        first.append("extra")
        second = ostrandcore.query_elements_cached(dialog)
        assert second == pristine
        assert all(a is not b for a, b in zip(first, second))
        # A new snapshot is converted afresh, not answered with remembered dicts.
        simdesk.set_window_text(ok, "Apply")
        ostrandcore.configure_cache([])
        names = {e["name"] for e in ostrandcore.query_elements_cached(dialog)}
        assert "Apply" in names and "OK" not in names

    def test_records_come_in_tree_order(self, initialised):
        ostrandcore.configure_cache([], "subtree", "win32")
        dialog, _ = classic_dialog()
        # Child windows enumerate in creation order (each new one goes below
        # its siblings); an Edit leaves no title for other processes to read.
        names = [e["name"] for e in ostrandcore.query_elements_cached(dialog)]
        assert names == ["Settings", "OK", "Cancel", ""]

    def test_another_window_is_perceived_not_answered_from_the_store(self, initialised):
        a, _ = classic_dialog("A")
        b, _ = classic_dialog("B")
        assert hwnd_key(a) in by_key(ostrandcore.query_elements_cached(a))
        elements = by_key(ostrandcore.query_elements_cached(b))
        assert hwnd_key(b) in elements and hwnd_key(a) not in elements
        assert hwnd_key(b) in by_key(ostrandcore.query_elements_cached(0))

    def test_unicode_and_negative_rectangles_survive(self, initialised):
        ostrandcore.configure_cache([], "subtree", "win32")
        w = simdesk.create_window(class_name="Static", text="Caf\u00e9 \U0001F600 \ud800x", rect=(-1920, -5, -10, 0))
        e = ostrandcore.query_elements_cached(w)[0]
        assert e["name"] == "Caf\u00e9 \U0001F600 \ud800x"
        assert len(e["name"]) == 9  # the pair is one character, the lone surrogate stays
        assert e["bounding_rect"] == (-1920, -5, -10, 0)


class TestUiaPath:
    def test_browser_content_in_one_cross_process_batch(self, initialised):
        top, host, doc = browser_window()
        ostrandcore.query_elements_cached(top)
        ostrandcore.configure_cache([])
        simdesk.reset_calls()
        elements = by_key(ostrandcore.query_elements_cached(top))
        assert simdesk.cross_process_calls() == 2
        assert set(elements) == {"42,%d" % top, "42,%d" % host, "42,9,1", "42,9,-2"}
        compose = elements["42,9,-2"]
        assert compose == {"name": "Compose \U0001F58A", "automation_id": "compose", "class_name": "Button",
                           "control_type": 50000, "bounding_rect": (-1590, 90, -1500, 110), "is_enabled": True,
                           "runtime_id_key": "42,9,-2"}
        simdesk.reset_calls()
        ostrandcore.query_elements_cached(top)
        assert simdesk.cross_process_calls() == 0

    def test_left_out_properties_keep_defaults(self, initialised):
        top, _, _ = browser_window()
        ostrandcore.configure_cache(["name"], "subtree", "uia")
        for e in ostrandcore.query_elements_cached(top):
            assert (e["automation_id"], e["class_name"], e["control_type"], e["bounding_rect"], e["is_enabled"]) == \
                ("", "", 50025, (0, 0, 0, 0), False)

    def test_refresh_failures_raise_and_the_next_query_tries_again(self, initialised):
        top, _, _ = browser_window()
        ostrandcore.configure_cache([], "subtree", "uia")
        simdesk.fail("CoCreateInstance", simdesk.REGDB_E_CLASSNOTREG, 2)   # neither class registered
        with pytest.raises(RuntimeError, match="^Cache refresh failed: HRESULT 0x80040154$"):
            ostrandcore.query_elements_cached(top)
        assert ostrandcore.get_benchmark_metrics()["cache_valid"] is False
        simdesk.fail("ElementFromHandle", 0)  # success without an element
        with pytest.raises(RuntimeError, match="0x80004005$"):
            ostrandcore.query_elements_cached(top)
        assert len(ostrandcore.query_elements_cached(top)) == 4

    def test_unknown_windows_and_handle_zero(self, initialised):
        ostrandcore.configure_cache([], "subtree", "uia")
        with pytest.raises(RuntimeError, match="^Cache refresh failed: HRESULT 0x80070057$"):
            ostrandcore.query_elements_cached(0)
        # -1 is the sign-extended handle 0xFFFFFFFFFFFFFFFF, which names no
        # window; beyond 64 bits a handle would wrap to another window.
        with pytest.raises(RuntimeError, match="^Cache refresh failed: HRESULT 0x80040201$"):
            ostrandcore.query_elements_cached(-1)
        for beyond in (2 ** 64 + 5, -2 ** 63 - 1):
            for call in (lambda: ostrandcore.query_elements_cached(beyond, "element"),
                         lambda: ostrandcore.find_element(beyond, "name", "x"),
                         lambda: ostrandcore.subscribe_events(beyond, ["FocusChanged"])):
                with pytest.raises(OverflowError, match="^window handle out of the 64-bit range$"):
                    call()


def test_queries_need_initialise():
    with pytest.raises(RuntimeError, match="^Framework not initialised$"):
        ostrandcore.query_elements_cached(1)
    with pytest.raises(RuntimeError, match="^Framework not initialised$"):
        ostrandcore.configure_cache([])
