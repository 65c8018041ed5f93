"""Every program under examples/ runs and prints exactly its recorded output."""
import pathlib
import subprocess
import sys

import pytest
from helpers import time_limit

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = sorted(p.stem for p in (ROOT / "examples").glob("*.py"))


def test_every_example_has_recorded_output():
    assert EXAMPLES == sorted(p.stem for p in (ROOT / "tests" / "expected").glob("*.txt"))


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_output(name):
    done = subprocess.run([sys.executable, str(ROOT / "examples" / f"{name}.py")],
                          capture_output=True, text=True, timeout=time_limit(120))
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert done.stdout == (ROOT / "tests" / "expected" / f"{name}.txt").read_text()
