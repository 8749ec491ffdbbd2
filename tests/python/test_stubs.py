"""The installed type stubs: found by mypy from the package alone, strict on
the typed example, reporting every deliberate misuse, naming exactly the
module's functions, and describing the dictionaries the module really
returns."""

import importlib.util
import inspect
import os
import pathlib
import subprocess
import sys
import types
import typing

import pytest

import ostrandcore
import simdesk
from conftest import wait_for

ROOT = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).resolve().parent
TYPED_EXAMPLE = ROOT / "examples" / "typed_usage.py"
MISUSE = HERE / "stubs" / "misuse.py"


def installed_stub():
    """The stub that type checkers read: ostrandcore-stubs beside the module."""
    module_dir = pathlib.Path(importlib.util.find_spec("ostrandcore").origin).parent
    return module_dir / "ostrandcore-stubs" / "__init__.pyi"


def installed_simdesk_stub():
    return pathlib.Path(simdesk.__file__).with_suffix(".pyi")


def run_tool(args, cwd):
    # Away from the source tree and without MYPYPATH: only what pip installed counts.
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300)


def test_stub_package_is_installed_with_its_marker():
    stub = installed_stub()
    assert stub.is_file()
    assert (stub.parent / "py.typed").is_file()
    # Not "partial": the stubs are the whole truth about the module.
    assert (stub.parent / "py.typed").read_text().strip() == ""
    assert (stub.parent.parent / "ostrandcore.pyi").read_text() == stub.read_text()
    # simdesk is a package: its stub and marker sit in it.
    assert installed_simdesk_stub().is_file()
    assert (installed_simdesk_stub().parent / "py.typed").read_text().strip() == ""


def test_mypy_strict_passes_the_typed_example_and_catches_each_misuse(tmp_path):
    # warn_unused_ignores (part of --strict) fails the misuse file for any
    # misuse that is let through, and the example's assert_type lines fail
    # when the module is seen as Any.
    result = run_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(TYPED_EXAMPLE),
                       str(MISUSE)], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 2 source files" in result.stdout


def test_misuse_file_fails_without_its_ignores(tmp_path):
    # The same file with its ignores taken out: one error a line, so a
    # misuse that stops being one shows up here as a missing line.
    lines = MISUSE.read_text().splitlines()
    stripped = [line.split("  # type: ignore")[0] for line in lines]
    copy = tmp_path / "misuse_bare.py"
    copy.write_text("\n".join(stripped) + "\n")
    result = run_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(copy)], cwd=tmp_path)
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    expected = {i + 1 for i, line in enumerate(lines) if "# type: ignore" in line}
    assert result.returncode == 1
    assert flagged == expected


def test_stubtest_finds_the_stub_and_the_module_agree(tmp_path):
    result = run_tool(["mypy.stubtest", "ostrandcore", "simdesk", "--allowlist", str(HERE / "stubs" / "stubtest-allowlist.txt")],
                      cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_runs():
    result = subprocess.run([sys.executable, str(TYPED_EXAMPLE)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "actions ['InvokePattern', 'ValuePattern', 'FocusPattern']" in result.stdout
    assert "'Seen' invoked 1 times" in result.stdout and "name events ['Seen']" in result.stdout


# ---- the stub's declarations against the running module ----

def executed(path, name):
    """An installed stub executed as a module: its TypedDicts become real
    classes whose annotations can be compared with what the module returns."""
    module = types.ModuleType(name)
    module.__file__ = str(path)
    sys.modules[module.__name__] = module
    with pytest.MonkeyPatch.context() as patch:
        # A decorator of the stubs only; at run time it would be the identity.
        patch.setattr(typing, "type_check_only", lambda item: item, raising=False)
        exec(compile(path.read_text(), str(path), "exec"), module.__dict__)
    return module


@pytest.fixture(scope="module")
def stub():
    yield executed(installed_stub(), "ostrandcore_stub")
    del sys.modules["ostrandcore_stub"]


@pytest.fixture(scope="module")
def simdesk_stub():
    yield executed(installed_simdesk_stub(), "simdesk_stub")
    del sys.modules["simdesk_stub"]


def conforms(value, hint):
    origin = typing.get_origin(hint)
    if origin is typing.Literal:
        return value in typing.get_args(hint)
    args = typing.get_args(hint)
    if origin is tuple:
        if args[-1:] == (...,):
            return type(value) is tuple and all(conforms(v, args[0]) for v in value)
        return type(value) is tuple and len(value) == len(args) and all(map(conforms, value, args))
    if origin is list:
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, arg) for arg in args)
    return type(value) is hint


def assert_matches(value, typed_dict):
    hints = typing.get_type_hints(typed_dict)
    assert type(value) is dict
    # Keys in the declared order, which is also the module's.
    assert list(value) == list(hints)
    for key, hint in hints.items():
        assert conforms(value[key], hint), f"{typed_dict.__name__}[{key!r}] = {value[key]!r} is not {hint}"


def test_declared_functions_take_positional_arguments_only(stub):
    # stubtest checks the names; it cannot read a C function's signature.
    declared = [name for name, value in vars(stub).items()
                if isinstance(value, types.FunctionType) and value.__module__ == stub.__name__]
    assert len(declared) == 11
    for name in declared:
        params = inspect.signature(getattr(stub, name)).parameters.values()
        assert all(p.kind is inspect.Parameter.POSITIONAL_ONLY for p in params), name
        if params:
            # The module parses positional arguments only.
            with pytest.raises(TypeError, match="keyword"):
                getattr(ostrandcore, name)(**{p.name: None for p in params})


def test_defaults_in_the_stub_are_the_module_defaults(stub, initialised):
    dialog = simdesk.create_window(class_name="#32770", text="Defaults", rect=(0, 0, 200, 100))
    for child in range(3):
        simdesk.create_window(parent=dialog, class_name="Button", text=f"B{child}", rect=(10, 10, 50, 30))
    scope_default = inspect.signature(stub.configure_cache).parameters["scope"].default
    mode_default = inspect.signature(stub.configure_cache).parameters["mode"].default
    ostrandcore.configure_cache([])
    implicit = ostrandcore.query_elements_cached(dialog)
    ostrandcore.configure_cache([], scope_default, mode_default)
    assert ostrandcore.query_elements_cached(dialog) == implicit


def test_returned_dictionaries_match_their_typed_dicts(stub, initialised):
    dialog = simdesk.create_window(class_name="#32770", text="Typed", rect=(0, 0, 300, 200))
    ok = simdesk.create_window(parent=dialog, class_name="Button", text="OK", rect=(10, 10, 90, 40))
    for text in ("A", "B"):
        simdesk.create_window(parent=dialog, class_name="Static", text=text, rect=(10, 50, 90, 70))
    inner = simdesk.add_element(ok, name="Glyph", automation_id="glyph", control_type=50020, rect=(12, 12, 20, 20))

    for mode in ("win32", "uia"):
        ostrandcore.configure_cache([], "subtree", mode)
        elements = ostrandcore.query_elements_cached(dialog)
        assert elements
        for element in elements:
            assert_matches(element, stub.Element)

    found = ostrandcore.find_element(dialog, "name", "OK")
    assert_matches(found, stub.FoundElement)
    results = [ostrandcore.execute_action(found, "click", {}),                           # InvokePattern
               ostrandcore.execute_action(found, "select", None),                        # no pattern: failure
               ostrandcore.execute_action(found, "hover", {})]                           # Win32Hover
    simdesk.set_element(ok, patterns=[])
    results.append(ostrandcore.execute_action(found, "click", {}))                       # Win32Click
    glyph = ostrandcore.find_element(dialog, "automation_id", "glyph")
    results.append(ostrandcore.execute_action(glyph, "type", {"text": "x"}))             # no window: E_FAIL
    assert [r["success"] for r in results] == [True, False, True, True, False]
    assert results[-1]["hr"] < 0
    for result in results:
        assert_matches(result, stub.ActionResult)

    events = []
    ostrandcore.subscribe_events(dialog, ["StructureChanged", "PropertyChanged", "FocusChanged"], "subtree",
                                 events.append)
    simdesk.set_element(inner, name="Glyph 2")
    simdesk.add_element(dialog, name="New", rect=(0, 0, 5, 5))
    simdesk.fire_focus_changed(inner)
    assert simdesk.wait_for_events(10.0)
    wait_for(lambda: {e["event_type"] for e in events} == {"StructureChanged", "PropertyChanged", "FocusChanged"})
    for event in events:
        assert_matches(event, stub.Event)

    assert_matches(ostrandcore.get_benchmark_metrics(), stub.Metrics)
    assert ostrandcore.get_active_mode() in typing.get_args(inspect.signature(stub.get_active_mode).return_annotation)


def test_simdesk_dictionaries_match_their_typed_dicts(simdesk_stub):
    top = simdesk.create_window(class_name="#32770", text="Typed", rect=(0, 0, 300, 200))
    button = simdesk.create_window(parent=top, class_name="Button", text="OK", rect=(10, 10, 90, 40))
    inner = simdesk.add_element(button, name="Glyph", rect=(12, 12, 20, 20))
    simdesk.post_message(button, simdesk.WM_LBUTTONDOWN, simdesk.MK_LBUTTON, simdesk.make_lparam(5, 5))
    simdesk.send_message(button, simdesk.WM_LBUTTONUP, 0, simdesk.make_lparam(5, 5))
    calls = []
    properties = [simdesk.UIA_NamePropertyId, simdesk.UIA_BoundingRectanglePropertyId]
    for kind, element in (("structure", top), ("property", top), ("focus", 0)):
        assert simdesk.add_event_handler(kind, calls.append, element, simdesk.TreeScope_Subtree, properties) == 0
    simdesk.set_element(inner, name="Glyph 2")
    simdesk.fire_property_changed(inner, simdesk.UIA_BoundingRectanglePropertyId, (1.0, 2.0, 3.0, 4.0))
    simdesk.add_element(top, name="New")
    simdesk.fire_focus_changed(inner)
    assert simdesk.wait_for_events(10.0)
    simdesk.set_runtime_id_readable(inner, False)
    call_types = {"structure": "StructureCall", "property": "PropertyCall", "focus": "FocusCall"}
    cases = [(simdesk.window(top), "Window"), (simdesk.window(button), "Window"),        # last_mouse None, a point
             (simdesk.element(button), "Element"), (simdesk.element(inner), "Element"),  # runtime_id a list, None
             *((m, "Message") for m in simdesk.messages(button)),
             (simdesk.live(), "Live"), (simdesk.uia_timeouts(), "UiaTimeouts"), (simdesk.event_stats(), "EventStats"),
             *((t, "ThreadState") for t in simdesk.threads()),
             *((r, "Registration") for r in simdesk.event_registrations()),
             *((c, call_types[c["kind"]]) for c in calls)]
    assert {name for _, name in cases} == {"Window", "Element", "Message", "Live", "UiaTimeouts", "EventStats",
                                          "ThreadState", "Registration", *call_types.values()}
    for value, name in cases:
        assert_matches(value, getattr(simdesk_stub, name))
    assert simdesk.remove_all_event_handlers() == simdesk.S_OK
