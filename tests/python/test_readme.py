"""The README's Python examples run as they stand, each in a fresh
interpreter, and print what the README says they print."""

import pathlib
import re

import pytest

from conftest import run_python

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
# A python block, and the text block after "prints" that shows its output.
EXAMPLE = re.compile(r"```python\n(.*?)```\n(?:\nprints\n\n```text\n(.*?)```\n)?", re.S)


def examples():
    found = EXAMPLE.findall(README.read_text())
    return [pytest.param(code, output, id=f"example{i + 1}") for i, (code, output) in enumerate(found)]


def test_readme_has_examples_with_outputs():
    assert len(examples()) >= 5
    assert all(p.values[1] for p in examples())
    # Only the module and the simulated desktop's control module are used.
    for p in examples():
        imported = set(re.findall(r"^(?:import|from) (\w+)", p.values[0], re.M))
        assert imported <= {"ostrandcore", "simdesk", "threading", "typing"}, imported


@pytest.mark.parametrize("code, output", examples())
def test_readme_example(code, output):
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout == output
