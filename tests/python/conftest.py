import os
import re
import subprocess
import sys
import textwrap
import time

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


def _log_lines():
    """How many lines the log has dropped from its front, and the rest."""
    log = ostrandcore.get_diagnostic_log()
    notice = re.match(r"\((\d+) earlier lines dropped\)\n", log)
    if not notice:
        return 0, log
    return int(notice.group(1)), log[notice.end():]


def log_mark():
    """The number of lines written so far (the log keeps only its newest)."""
    dropped, body = _log_lines()
    return dropped + body.count("\n")


def log_since(mark):
    dropped, body = _log_lines()
    assert mark >= dropped, "the lines since the mark are no longer in the log"
    return "\n".join(body.split("\n")[mark - dropped:])


def wait_for(condition, timeout=10.0):
    """Until `condition()` holds; a structure change, say, reaches the
    callback from the refresh that follows it, after the handler returned."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.001)


def run_python(code, timeout=60, env=None):
    """Runs code in a fresh interpreter (a new process, a new module state),
    with `env` over this process's environment."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, **(env or {})})
