import os
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest

import ostrandcore
import simdesk
from conftest import log_mark, log_since, run_python

INIT_LINE = "NativeCore initialised (Win32 path ready, UIA deferred)\n"
DOWN_LINE = "NativeCore shut down\n"


def perception_threads():
    me = simdesk.current_thread_id()
    return [t for t in simdesk.threads() if t["alive"] and t["apartment"] == "sta" and t["id"] != me]


def waiting_perception_thread():
    """The perception thread, once it waits in its message loop."""
    for _ in range(2000):  # a hang guard, not a timing requirement
        threads = perception_threads()
        if len(threads) == 1 and threads[0]["waits"] >= 1:
            return threads[0]
        time.sleep(0.005)
    raise AssertionError(f"no perception thread waiting: {simdesk.threads()}")


def test_first_initialise_of_a_process():
    result = run_python("""
        import ostrandcore
        assert ostrandcore.get_diagnostic_log() == ""
        assert ostrandcore.get_active_mode() == "not_initialised"
        assert ostrandcore.initialise() == 0
        m = ostrandcore.get_benchmark_metrics()
        assert list(m) == ["diag_log", "cache_valid", "snapshot_count", "perception_mode", "uia_ready"], m
        assert m == {"diag_log": "NativeCore initialised (Win32 path ready, UIA deferred)\\n",
                     "cache_valid": False, "snapshot_count": 0, "perception_mode": "auto",
                     "uia_ready": False}, m
        assert ostrandcore.get_active_mode() == "auto"
        ostrandcore.shutdown()
        assert ostrandcore.get_diagnostic_log().endswith("NativeCore shut down\\n")
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_initialise_and_shutdown_are_idempotent():
    mark = log_mark()
    assert ostrandcore.initialise() == 0
    assert ostrandcore.initialise() == 0
    assert log_since(mark) == INIT_LINE
    assert len(perception_threads()) == 1
    assert ostrandcore.shutdown() is None
    assert ostrandcore.shutdown() is None
    assert log_since(mark) == INIT_LINE + DOWN_LINE
    assert ostrandcore.get_active_mode() == "not_initialised"


def test_cycles_repeat_without_leaks_and_the_log_keeps_growing():
    mark = log_mark()
    for _ in range(20):
        assert ostrandcore.initialise() == 0
        assert ostrandcore.get_active_mode() == "auto"
        assert ostrandcore.shutdown() is None
        assert simdesk.leaks() == {}
        assert perception_threads() == []
    assert log_since(mark) == (INIT_LINE + DOWN_LINE) * 20


def test_metrics_while_initialised(initialised):
    metrics = ostrandcore.get_benchmark_metrics()
    assert metrics["diag_log"] == ostrandcore.get_diagnostic_log()
    assert metrics["diag_log"].endswith(INIT_LINE)
    assert (metrics["cache_valid"], metrics["snapshot_count"], metrics["perception_mode"],
            metrics["uia_ready"]) == (False, 0, "auto", False)
    assert type(metrics["cache_valid"]) is bool and type(metrics["uia_ready"]) is bool


def test_perception_thread_has_its_own_apartment_and_pumps_messages(initialised):
    [thread] = perception_threads()
    assert thread["id"] != simdesk.current_thread_id()
    assert thread["has_queue"]
    before = simdesk.calls("DispatchMessageW")
    for i in range(5):
        assert simdesk.post_thread_message(thread["id"], simdesk.WM_USER + i) == (True, 0)
    for _ in range(2000):  # a hang guard, not a timing requirement
        if simdesk.calls("DispatchMessageW") >= before + 5:
            break
        time.sleep(0.005)
    assert simdesk.calls("DispatchMessageW") >= before + 5
    [thread] = perception_threads()
    assert thread["queued"] == 0


def test_shutdown_stops_the_thread_by_its_quit_message():
    ostrandcore.initialise()
    thread = waiting_perception_thread()
    ostrandcore.shutdown()
    [ended] = [t for t in simdesk.threads() if t["id"] == thread["id"]]
    assert not ended["alive"]
    assert ended["last_wait_result"] == simdesk.WAIT_OBJECT_0


def test_shutdown_still_stops_the_thread_when_the_quit_message_is_lost():
    ostrandcore.initialise()
    thread = waiting_perception_thread()
    simdesk.fail("PostThreadMessageW", simdesk.ERROR_INVALID_THREAD_ID)
    ostrandcore.shutdown()  # the thread notices at its next one-second wake
    [ended] = [t for t in simdesk.threads() if t["id"] == thread["id"]]
    assert not ended["alive"]
    assert ended["last_wait_result"] == simdesk.WAIT_TIMEOUT
    assert ostrandcore.get_active_mode() == "not_initialised"


def test_thread_whose_apartment_fails_leaves_initialise_working():
    simdesk.fail("CoInitializeEx", simdesk.E_OUTOFMEMORY)
    assert ostrandcore.initialise() == 0
    assert perception_threads() == []
    assert ostrandcore.get_active_mode() == "auto"
    assert ostrandcore.shutdown() is None
    assert simdesk.calls("PostThreadMessageW") == 0


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer needs an unlimited address space")
def test_thread_that_cannot_be_created_raises_and_builds_nothing():
    # The perception thread's stack cannot be mapped under this address-space
    # limit, so creating the thread fails as it does when the system refuses.
    result = run_python("""
        import resource
        import ostrandcore, simdesk

        def vm_size():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 4 * 1024 * 1024, hard))
        try:
            ostrandcore.initialise()
        except RuntimeError as e:
            error = str(e)
        else:
            error = None
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert error and error.startswith("initialise failed: "), error
        assert ostrandcore.get_active_mode() == "not_initialised"
        try:
            ostrandcore.get_benchmark_metrics()
        except RuntimeError as e:
            assert str(e) == "Framework not initialised"
        assert ostrandcore.get_diagnostic_log() == (
            "NativeCore initialised (Win32 path ready, UIA deferred)\\nNativeCore shut down\\n")
        assert simdesk.leaks() == {}
        assert ostrandcore.initialise() == 0
        assert ostrandcore.get_active_mode() == "auto"
        ostrandcore.shutdown()
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_interpreter_exits_cleanly_while_initialised():
    result = run_python("""
        import ostrandcore
        ostrandcore.initialise()
        print("exiting")
    """, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "exiting"
    assert result.stderr == ""


def test_the_framework_stays_down_once_the_exit_hook_has_run():
    # atexit runs its hooks last registered first: this one runs after the
    # module's, as a daemon thread's late initialise would.
    result = run_python("""
        import atexit

        def late():
            try:
                ostrandcore.initialise()
                print("initialised")
            except RuntimeError as e:
                print(e)
            print(ostrandcore.get_active_mode())

        atexit.register(late)
        import ostrandcore
        ostrandcore.initialise()
    """)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "initialise failed: the interpreter is exiting\nnot_initialised\n"


def test_the_time_bound_of_a_test_ends_a_deadlock_that_holds_the_interpreter_lock(tmp_path):
    """As a shutdown stuck in a join with the interpreter lock held would: no
    Python watchdog can run then. The suite's own settings, with its bounds
    cut to seconds, end the run with the stuck test's traceback."""
    stuck = tmp_path / "test_stuck.py"
    stuck.write_text(textwrap.dedent("""
        import ctypes

        def test_stuck_with_the_interpreter_lock():
            ctypes.PyDLL(None).pause()   # a PyDLL call keeps the lock; nothing wakes it
    """))
    settings = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-c", str(settings),
                             "--rootdir", str(tmp_path), "-o", "timeout=1", "-o", "faulthandler_timeout=2", str(stuck)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "Timeout (0:00:02)!" in result.stderr, result.stderr
    assert "in test_stuck_with_the_interpreter_lock" in result.stderr, result.stderr
