import os
import subprocess
import sys
import textwrap

import pytest

import ostrandcore
import simdesk


@pytest.fixture(autouse=True)
def clean_desktop():
    """Each test starts on a new desktop and must leave no live COM object,
    BSTR, SAFEARRAY or filled VARIANT once the framework is shut down."""
    simdesk.reset()
    yield
    simdesk.clear_faults()
    ostrandcore.shutdown()
    assert simdesk.leaks() == {}


@pytest.fixture
def initialised():
    assert ostrandcore.initialise() == 0
    yield
    ostrandcore.shutdown()


def log_mark():
    return len(ostrandcore.get_diagnostic_log())


def log_since(mark):
    return ostrandcore.get_diagnostic_log()[mark:]


def run_python(code, timeout=60):
    """Runs code in a fresh interpreter (a new process, a new module state)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ))
