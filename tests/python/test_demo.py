"""The demo runs from start to end, and its picture outlines and labels
every element that either perception mode finds in the sample application."""

import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

import ostrandcore
import simdesk

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SVG = "{http://www.w3.org/2000/svg}"


@pytest.fixture
def demo(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import demo
    return demo


def element_groups(svg_text):
    root = ET.fromstring(svg_text)
    return root.findall(f".//{SVG}g[@class='element']")


def test_demo_runs_and_writes_its_picture(tmp_path):
    picture = tmp_path / "pictures" / "app.svg"
    result = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), "--picture", str(picture)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert str(picture) in result.stdout
    for path in ("'path': 'ValuePattern'", "'path': 'InvokePattern'", "'path': 'Win32Click'"):
        assert path in result.stdout
    for event in ("PropertyChanged", "StructureChanged", "FocusChanged"):
        assert f"event {event}" in result.stdout
    assert "left: none" in result.stdout
    # One numbered row in the tables per outlined element in the picture.
    table_rows = [line for line in result.stdout.splitlines() if line.strip()[:1].isdigit() and "  " in line]
    # Each window's title bar and its three buttons are among them.
    assert len(element_groups(picture.read_text())) == len(table_rows) == 24


def test_picture_outlines_and_labels_every_perceived_element(demo, initialised, capsys):
    simdesk.set_title_bars(True)   # as the demo has them
    dialog, _ = demo.build_classic_dialog()
    browser, _ = demo.build_browser()
    perceived = []
    for window in (dialog, browser):
        for mode in ("win32", "uia"):
            ostrandcore.configure_cache([], "subtree", mode)
            perceived += [(mode, e) for e in ostrandcore.query_elements_cached(window)]

    windows = demo.perceive_application(dialog, browser)
    groups = element_groups(demo.outline.svg(windows))

    by_key = {}
    for group in groups:
        for mode in ("win32", "uia"):
            key = group.get(f"data-{mode}-key")
            if key is not None:
                by_key[(mode, key)] = group
    # Window-less content is there only for UI Automation.
    assert sum(1 for mode, _ in perceived if mode == "uia") > sum(1 for mode, _ in perceived if mode == "win32")
    for mode, element in perceived:
        group = by_key[(mode, element["runtime_id_key"])]
        outline = group.find(f"{SVG}rect[@class='outline']")
        left, top, right, bottom = element["bounding_rect"]
        assert (outline.get("x"), outline.get("y"), outline.get("width"), outline.get("height")) == \
            (str(left), str(top), str(right - left), str(bottom - top))
        label = group.find(f"{SVG}text[@class='label']").text
        assert label.startswith(group.get("data-number") + " ")
        assert element["name"][:23] in label
    assert len({group.get("data-number") for group in groups}) == len(groups)
