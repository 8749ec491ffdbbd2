import types

import pytest

import ostrandcore

FUNCTIONS = {
    "initialise": "Initialise COM, UIAutomation, and the background perception thread",
    "shutdown": "Clean shutdown: deregister UIA events, release COM, stop thread",
    "configure_cache": "Set the property list and scope for batch cache requests. "
                       "Args: properties (list[str]), scope (str)",
    "query_elements_cached": "Batch cached retrieval of all elements in the window. "
                             "Args: hwnd (int), scope (str). Returns list of dicts",
    "find_element": "Find a single live element by criterion. "
                    "Args: hwnd (int), by (str), value (str). Returns dict or None",
    "execute_action": "Execute a UI action on an element. "
                      "Args: handle_dict (dict), action (str), params (dict). Returns dict",
    "subscribe_events": "Subscribe to UIAutomation push events. "
                        "Args: hwnd (int), event_types (list[str]), scope (str), callback",
    "get_benchmark_metrics": "Return framework metrics for the benchmarking module",
    "release_element": "Release a stored element handle by its integer ID",
    "get_diagnostic_log": "Return the NativeCore diagnostic log as a string",
    "get_active_mode": "Return active perception mode: 'win32', 'uia', or 'auto'",
}

GUARDED = ["configure_cache", "query_elements_cached", "find_element", "execute_action",
           "subscribe_events", "get_benchmark_metrics"]


def test_module_holds_exactly_the_eleven_functions_in_table_order():
    assert ostrandcore.__doc__ == (
        "Ostrand native core module. Provides performance optimised UIAutomation access via "
        "IUIAutomationCacheRequest, event driven perception, and hybrid action dispatch")
    public = [name for name in vars(ostrandcore) if not name.startswith("__")]
    assert public == list(FUNCTIONS)
    for name, doc in FUNCTIONS.items():
        fn = getattr(ostrandcore, name)
        assert isinstance(fn, types.BuiltinFunctionType)
        assert fn.__doc__ == doc
        assert fn.__text_signature__ is None  # plain METH_VARARGS functions


@pytest.mark.parametrize("name", GUARDED)
def test_guard_comes_before_argument_parsing(name):
    fn = getattr(ostrandcore, name)
    for args in [(), (object(), object(), object(), object(), object())]:
        with pytest.raises(RuntimeError, match="^Framework not initialised$"):
            fn(*args)


@pytest.mark.parametrize("name", GUARDED)
def test_guard_returns_after_shutdown(name, initialised):
    ostrandcore.shutdown()
    with pytest.raises(RuntimeError, match="^Framework not initialised$"):
        getattr(ostrandcore, name)()


def test_unguarded_functions_answer_in_any_state():
    assert ostrandcore.release_element(999) is None
    assert ostrandcore.release_element(-5) is None
    assert ostrandcore.get_active_mode() == "not_initialised"
    assert isinstance(ostrandcore.get_diagnostic_log(), str)


def test_functions_without_arguments_ignore_what_they_are_given():
    assert ostrandcore.get_active_mode(1, "x") == "not_initialised"
    assert ostrandcore.initialise(None, [1]) == 0
    assert ostrandcore.get_active_mode(1) == "auto"
    assert isinstance(ostrandcore.get_benchmark_metrics("ignored"), dict)
    assert ostrandcore.shutdown(42) is None


@pytest.mark.parametrize("call, error", [
    (lambda: ostrandcore.configure_cache(), TypeError),
    (lambda: ostrandcore.configure_cache([], 5), TypeError),
    (lambda: ostrandcore.configure_cache([], "subtree", "auto", "extra"), TypeError),
    (lambda: ostrandcore.query_elements_cached(), TypeError),
    (lambda: ostrandcore.query_elements_cached("0x10"), TypeError),
    (lambda: ostrandcore.query_elements_cached(1, 2), TypeError),
    (lambda: ostrandcore.find_element(1, "name"), TypeError),
    (lambda: ostrandcore.find_element(1, "name", 5), TypeError),
    (lambda: ostrandcore.execute_action({}, "click"), TypeError),
    (lambda: ostrandcore.execute_action({}, None, {}), TypeError),
    (lambda: ostrandcore.subscribe_events(1), TypeError),
    (lambda: ostrandcore.subscribe_events(1, [], 7), TypeError),
    (lambda: ostrandcore.release_element(), TypeError),
    (lambda: ostrandcore.release_element("1"), TypeError),
    (lambda: ostrandcore.release_element(2 ** 31), OverflowError),
    (lambda: ostrandcore.release_element(-2 ** 31 - 1), OverflowError),
])
def test_argument_errors_come_from_the_parser(call, error, initialised):
    with pytest.raises(error):
        call()


def test_well_formed_calls_get_past_parsing(initialised):
    assert ostrandcore.find_element(0x10010, "name", "OK") is None   # no such window
    with pytest.raises(RuntimeError, match="^Element handle 1 not found or already released$"):
        ostrandcore.execute_action({"handle_id": 1}, "click", None)
    assert ostrandcore.subscribe_events(0, ("FocusChanged",)) is None
    assert ostrandcore.subscribe_events(0, [], "subtree", None) is None


def test_release_element_accepts_the_whole_signed_32_bit_range(initialised):
    for handle in (0, 1, -1, 2 ** 31 - 1, -2 ** 31, True):
        assert ostrandcore.release_element(handle) is None
