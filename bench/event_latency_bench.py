"""Latency from a UI change to the Python callback: the desktop raises a
property change on its own thread, the engine patches the store and hands
the event to Python under the interpreter lock."""

import sys
import time

import ostrandcore
import simdesk


def main():
    ostrandcore.initialise()
    top = simdesk.create_window(class_name="Chrome_WidgetWin_1", text="Bench", rect=(0, 0, 100, 100))
    row = simdesk.add_element(top, name="Row", rect=(0, 0, 10, 10), runtime_id=[42, 1, 1])
    ostrandcore.configure_cache([], "subtree", "uia")
    ostrandcore.query_elements_cached(top)
    arrived = []
    ostrandcore.subscribe_events(top, ["PropertyChanged"], "subtree",
                                 lambda event: arrived.append(time.perf_counter_ns()))
    latencies = []
    for i in range(5000):
        start = time.perf_counter_ns()
        simdesk.fire_property_changed(row, 30005, "n%d" % i)
        simdesk.wait_for_events(10.0)   # releases the interpreter lock while it waits
        latencies.append(arrived[-1] - start)
    latencies.sort()
    p50 = latencies[len(latencies) // 2] / 1e3
    p99 = latencies[int(len(latencies) * 0.99)] / 1e3
    print("event to Python callback: p50 %.1f us, p99 %.1f us (target p99 <= 1000 us), %d events"
          % (p50, p99, len(latencies)))
    ostrandcore.shutdown()
    simdesk.reset()
    return 0


if __name__ == "__main__":
    sys.exit(main())
