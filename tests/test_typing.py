"""The stubs shipped in the wheel match the module and are what type checkers read."""
import importlib.util
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

from helpers import sanitized, time_limit

HERE = pathlib.Path(__file__).resolve().parent / "typing"
FILES = [str(HERE / "good.py"), str(HERE / "bad.py")]
pytestmark = pytest.mark.skipif(sanitized, reason="type checking runs no module code")


def run(tmp, *command):
    # From an empty directory, so only the installed stubs can be found.
    return subprocess.run(command, cwd=tmp, capture_output=True, text=True, timeout=time_limit(600))


def test_stubtest_finds_no_difference(tmp_path):
    done = run(tmp_path, sys.executable, "-m", "mypy.stubtest", "zendrik",
               "--mypy-config-file", os.devnull)
    assert done.returncode == 0, done.stdout + done.stderr


def mypy_errors(tmp):
    done = run(tmp, sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
               "--config-file", os.devnull, *FILES)
    assert done.returncode == 1, done.stdout + done.stderr
    for line in done.stdout.splitlines():
        found = re.match(r"(.*?):(\d+): (error|note): (.*)", line)
        assert found, line
        if found[3] == "error":
            yield pathlib.Path(found[1]).name, int(found[2]), found[4]


def pyright_errors(tmp):
    # The pyright engine, as editors run it.
    if importlib.util.find_spec("basedpyright") is None:  # its Node.js has no build for some platforms (32-bit x86)
        pytest.skip("basedpyright is not installed")
    done = run(tmp, sys.executable, "-m", "basedpyright", "--pythonpath", sys.executable, "--outputjson", *FILES)
    for found in json.loads(done.stdout)["generalDiagnostics"]:
        if found["severity"] == "error":
            yield (pathlib.Path(found["file"]).name, found["range"]["start"]["line"] + 1,
                   found["message"])


@pytest.fixture(scope="module", params=[mypy_errors, pyright_errors], ids=["mypy", "pyright"])
def errors(request, tmp_path_factory):
    found = {}
    for name, line, message in request.param(tmp_path_factory.mktemp("check")):
        found.setdefault((name, line), []).append(message)
    return found


def test_correct_use_type_checks(errors):
    assert {key: text for key, text in errors.items() if key[0] == "good.py"} == {}


BAD_LINES = [(number, line.partition("  # error")[0])
             for number, line in enumerate((HERE / "bad.py").read_text().splitlines(), 1)
             if "# error" in line]


@pytest.mark.parametrize("number,call", BAD_LINES, ids=[c for _, c in BAD_LINES])
def test_wrong_call_is_reported(errors, number, call):
    assert ("bad.py", number) in errors, f"line {number} ({call}) passed the type check"


def test_error_names_the_wrong_call(errors):
    text = " ".join(errors[("bad.py", 7)])
    # The call, the parameter's type and the offending argument are all named.
    assert '"get"' in text and '"SupportsIndex"' in text
    assert '"str"' in text or "Literal['0']" in text
