"""The generators of committed literal tables reproduce them."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_compact_levels_are_the_generators_output():
    out = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_compact_levels.py")],
                         capture_output=True, text=True, check=True).stdout
    assert out == (ROOT / "src" / "compact" / "levels.cpp").read_text()
