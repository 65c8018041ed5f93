"""The stubs shipped in the wheel match the module and are what mypy reads."""
import pathlib
import re
import subprocess
import sys

import pytest

from helpers import sanitized

HERE = pathlib.Path(__file__).resolve().parent / "typing"
pytestmark = pytest.mark.skipif(sanitized, reason="type checking runs no module code")


def run(tmp, *args):
    # From an empty directory, so only the installed stubs can be found.
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp, capture_output=True,
                          text=True, timeout=600)


def test_stubtest_finds_no_difference(tmp_path):
    done = run(tmp_path, "mypy.stubtest", "zendrik", "--mypy-config-file", "/dev/null")
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("mypy")
    done = run(tmp, "mypy", "--strict", "--no-error-summary", "--show-error-codes",
               "--config-file", "/dev/null", str(HERE / "good.py"), str(HERE / "bad.py"))
    assert done.returncode == 1, done.stdout + done.stderr
    errors = {}
    for line in done.stdout.splitlines():
        found = re.match(r"(.*?):(\d+): (error|note): (.*)", line)
        assert found, line
        if found[3] == "note":
            continue
        errors.setdefault((pathlib.Path(found[1]).name, int(found[2])), []).append(found[4])
    return errors


def test_correct_use_type_checks(mypy_errors):
    assert [key for key in mypy_errors if key[0] == "good.py"] == []


BAD_LINES = [(number, line.partition("  # error")[0])
             for number, line in enumerate((HERE / "bad.py").read_text().splitlines(), 1)
             if "# error" in line]


@pytest.mark.parametrize("number,call", BAD_LINES, ids=[c for _, c in BAD_LINES])
def test_wrong_call_is_reported(mypy_errors, number, call):
    assert ("bad.py", number) in mypy_errors, f"line {number} ({call}) passed mypy"


def test_error_names_the_wrong_call(mypy_errors):
    text = " ".join(mypy_errors[("bad.py", 7)])
    assert '"get" of "Matrix"' in text and '"str"' in text and "SupportsIndex" in text
