"""The memory soak (make soak) at a small size: the same script, so that it
keeps working; its figures are printed, not compared here beyond its own
generous bound."""

import os
import subprocess
import sys

SOAK = os.path.join(os.path.dirname(__file__), "..", "soak", "memory_soak.py")


def test_memory_soak_smoke():
    result = subprocess.run([sys.executable, SOAK, "--elements", "1000", "--events", "20000", "--rounds", "4"],
                            capture_output=True, text=True, timeout=300)
    assert (result.returncode, result.stderr) == (0, ""), result.stdout
    assert "20000 property events delivered of 20000 fired" in result.stdout
