"""Memory soak: a 10,000-element window refreshed again and again by both
perception paths, and 1,000,000 property changes pushed through a
subscription to a Python callback. Resident memory is sampled before, during
and after; the run fails when it grows by more than the bound below once
warmed up, or when anything is left behind (live COM objects, BSTRs,
SAFEARRAYs, VARIANTs, references to the callback).

    python tests/soak/memory_soak.py                    # the full soak (make soak)
    python tests/soak/memory_soak.py --elements 1000 --events 20000 --rounds 4   # a smoke run
"""

import argparse
import gc
import os
import sys
import time

import ostrandcore
import simdesk

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
from query_bench import build_window  # noqa: E402  (ten child windows a parent, level by level)

NAME = simdesk.UIA_NamePropertyId
MIB = 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")
# A leak of one allocation per event costs at least 32 bytes (glibc's
# smallest chunk), 30 MiB over a million events; a snapshot of 10,000 records
# leaked per refresh costs megabytes each round. 16 MiB of growth after the
# warm-up catches either, and leaves room for the allocator's fragmentation
# and the interpreter's free lists, which settle within the warm-up.
BOUND_MIB = 16
# Under AddressSanitizer freed memory waits in its quarantine (up to 256 MiB)
# before it is reused, so resident memory says nothing there; its leak
# checker does that job instead.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
BATCH = 2000  # events fired between waits for their delivery: bounds the backlog


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def windows(root):
    """The handles of `root` and every window below it."""
    found, todo = [], [root]
    while todo:
        h = todo.pop()
        found.append(h)
        todo.extend(simdesk.window(h)["children"])
    return found


class Counter:
    def __init__(self):
        self.calls = 0

    def __call__(self, event):
        self.calls += 1


def refresh(root, mode, expected):
    ostrandcore.configure_cache(["name", "class_name", "control_type", "bounding_rect", "is_enabled"],
                                "subtree", mode)
    count = len(ostrandcore.query_elements_cached(root))
    if count != expected:
        raise SystemExit("%s refresh saw %d elements, not %d" % (mode, count, expected))


def push(handles, first, count):
    """Fires `count` name changes round the window's elements and waits for
    every one to reach the callback."""
    for i in range(first, first + count):
        simdesk.fire_property_changed(handles[i % len(handles)], NAME, "n%d" % (i % 997))
        if (i + 1) % BATCH == 0 and not simdesk.wait_for_events(60.0):
            raise SystemExit("deliveries did not settle")
    if not simdesk.wait_for_events(60.0):
        raise SystemExit("deliveries did not settle")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elements", type=int, default=10000)
    parser.add_argument("--events", type=int, default=1000000)
    parser.add_argument("--rounds", type=int, default=20, help="refreshes and event batches after the warm-up")
    args = parser.parse_args()

    started = time.monotonic()
    before = resident()
    root = build_window(args.elements)
    handles = windows(root)
    ostrandcore.initialise()
    callback = Counter()
    baseline_refs = sys.getrefcount(callback)
    refresh(root, "uia", args.elements)
    ostrandcore.subscribe_events(root, ["PropertyChanged"], "subtree", callback)

    # Warm-up: one round of each path and a share of the events, so that the
    # store, the allocator and the interpreter reach their working size.
    per_round = args.events // (args.rounds + 1)
    sent = 0
    for mode in ("uia", "win32"):
        refresh(root, mode, args.elements)
    push(handles, sent, per_round)
    sent += per_round
    gc.collect()
    warm = resident()

    samples = []
    for r in range(args.rounds):
        refresh(root, "uia" if r % 2 == 0 else "win32", args.elements)
        n = per_round if r < args.rounds - 1 else args.events - sent
        push(handles, sent, n)
        sent += n
        gc.collect()
        samples.append(resident())

    delivered = callback.calls
    ostrandcore.shutdown()
    gc.collect()
    after = resident()
    left = simdesk.leaks()
    refs = sys.getrefcount(callback) - baseline_refs

    peak = max(samples)
    growth = peak - warm
    print("memory soak: %d elements, %d property events delivered of %d fired, %d refreshes (both paths), %.0f s"
          % (args.elements, delivered, sent, args.rounds + 3, time.monotonic() - started))
    print("  resident MiB: before %.1f, warmed up %.1f, during min %.1f / max %.1f, last %.1f, after shutdown %.1f"
          % (before / MIB, warm / MIB, min(samples) / MIB, peak / MIB, samples[-1] / MIB, after / MIB))
    print("  growth after warm-up: %+.1f MiB (bound %s); per round: %s"
          % (growth / MIB, "none under ASan" if SANITIZED else "%d MiB" % BOUND_MIB,
             " ".join("%+.1f" % ((s - warm) / MIB) for s in samples)))
    failures = []
    if growth > BOUND_MIB * MIB and not SANITIZED:
        failures.append("resident memory grew by %.1f MiB after the warm-up" % (growth / MIB))
    if delivered != sent:
        failures.append("%d events fired, %d delivered" % (sent, delivered))
    if left:
        failures.append("platform objects left after shutdown: %s" % left)
    if refs:
        failures.append("the callback kept %d more references after shutdown" % refs)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
