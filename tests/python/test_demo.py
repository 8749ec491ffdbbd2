"""The demo runs from start to end, and its picture outlines and labels
every element that either perception mode finds in the sample application."""

import os
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


def boxes(root, selector):
    return [tuple(float(r.get(k)) for k in ("x", "y", "width", "height")) for r in root.findall(selector)]


def overlap(a, b):
    return min(a[0] + a[2], b[0] + b[2]) > max(a[0], b[0]) and min(a[1] + a[3], b[1] + b[3]) > max(a[1], b[1])


def assert_picture_reads(svg_text, png_path):
    """As an inspector's user sees it: rendered, every label inside the
    picture and clear of the others, each caption drawn once, the legend
    naming only colours that are used."""
    # cairosvg finds libcairo through ctypes.util.find_library, which runs
    # gcc and binutils; under the ASan run they would inherit its preloaded
    # runtime and report their own leaks. The plain run renders.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        import cairosvg
        cairosvg.svg2png(bytestring=svg_text.encode(), write_to=str(png_path))
        assert png_path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    root = ET.fromstring(svg_text)
    x0, y0, w, h = map(float, root.get("viewBox").split())
    tags = boxes(root, f".//{SVG}rect[@class='tag']")
    assert len(tags) == len(element_groups(svg_text))
    for i, tag in enumerate(tags):
        assert x0 <= tag[0] and tag[0] + tag[2] <= x0 + w and y0 <= tag[1] and tag[1] + tag[3] <= y0 + h, tag
        assert not [other for other in tags[i + 1:] if overlap(tag, other)], tag
    drawn = [t.text for t in root.find(f".//{SVG}g[@id='application']").iter(f"{SVG}text")]
    for title in ("Sample Application", "Inbox - Mail - Browser", "Name:"):
        assert drawn.count(title) == 1, title
    used = {g.get("data-modes") for g in element_groups(svg_text)}
    assert {g.get("data-modes") for g in root.findall(f".//{SVG}g[@class='entry']")} == used


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
    assert_picture_reads(picture.read_text(), tmp_path / "app.png")


def test_picture_outlines_and_labels_every_perceived_element(demo, initialised, capsys, tmp_path):
    simdesk.set_title_bars(True)   # as the demo has them
    dialog, controls = demo.build_classic_dialog()
    browser, parts = demo.build_browser()
    # An Edit shows its own text, not its name (its label's).
    simdesk.set_window_text(controls["Edit"], "Ada")
    simdesk.set_element(parts["search"], value="from:ada")
    perceived = []
    for window in (dialog, browser):
        for mode in ("win32", "uia"):
            ostrandcore.configure_cache([], "subtree", mode)
            perceived += [(mode, e) for e in ostrandcore.query_elements_cached(window)]

    windows = demo.perceive_application(dialog, browser)
    picture = demo.outline.svg(windows, demo.shown_in_edits(dialog, browser))
    groups = element_groups(picture)
    assert_picture_reads(picture, tmp_path / "app.png")
    drawn = [t.text for t in ET.fromstring(picture).find(f".//{SVG}g[@id='application']").iter(f"{SVG}text")]
    assert "Ada" in drawn and "from:ada" in drawn and "Search mail" not in drawn

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
