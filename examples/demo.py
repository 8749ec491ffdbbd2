"""The ostrandcore demo on the simulated Windows desktop: bring the core up,
show its mode, metrics and diagnostic log, and take it down again."""

import ostrandcore
import simdesk


def build_sample_application():
    """A classic dialog with a few controls, as the simulated desktop shows it."""
    dialog = simdesk.create_window(class_name="#32770", text="Sample Application",
                                   rect=(100, 100, 500, 400))
    for cls, text, rect in [
        ("Static", "Name:", (110, 130, 170, 150)),
        ("Edit", "", (180, 130, 480, 150)),
        ("Button", "OK", (300, 350, 380, 380)),
        ("Button", "Cancel", (390, 350, 470, 380)),
    ]:
        simdesk.create_window(parent=dialog, class_name=cls, text=text, rect=rect)
    return dialog


def main():
    dialog = build_sample_application()
    info = simdesk.window(dialog)
    print(f"Sample application: window 0x{dialog:X} '{info['text']}' "
          f"({info['class_name']}) with {len(info['children'])} child windows")

    print(f"\nactive mode before initialise: {ostrandcore.get_active_mode()}")
    print(f"initialise() -> {ostrandcore.initialise()}")
    print(f"active mode: {ostrandcore.get_active_mode()}")

    perception = [t for t in simdesk.threads() if t["alive"] and t["apartment"] == "sta"]
    for t in perception:
        print(f"perception thread: id {t['id']}, apartment {t['apartment'].upper()}, "
              f"message queue {'ready' if t['has_queue'] else 'missing'}")

    print("\nmetrics:")
    for key, value in ostrandcore.get_benchmark_metrics().items():
        print(f"  {key:16} {value!r}")

    ostrandcore.shutdown()
    print(f"\nshutdown() -> active mode {ostrandcore.get_active_mode()}")
    print("diagnostic log:")
    for line in ostrandcore.get_diagnostic_log().splitlines():
        print(f"  | {line}")

    leaks = simdesk.leaks()
    print(f"\nlive COM objects, BSTRs, SAFEARRAYs left: {leaks or 'none'}")
    return 1 if leaks else 0


if __name__ == "__main__":
    raise SystemExit(main())
