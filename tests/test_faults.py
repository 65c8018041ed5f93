"""Every allocation of every method fails in turn (fault_sweep.py): the call
raises MemoryError, prints nothing, changes nothing, leaks nothing, and works
once memory is back."""
import json
import os
import subprocess
import sys

import pytest
from helpers import fault_hooks, lists_survive_no_memory, needs_plain_allocator, time_limit

FAULTS = os.path.join(os.path.dirname(__file__), "faults")
SWEEP = os.path.join(FAULTS, "fault_sweep.py")


def sweep(kind, script=SWEEP):
    done = subprocess.run([sys.executable, script, kind], capture_output=True, text=True,
                          timeout=time_limit(600))
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return {entry["case"]: entry for entry in map(json.loads, done.stdout.splitlines())}


@pytest.fixture(scope="module")
def cpp():
    if not fault_hooks:
        pytest.skip("needs the build whose allocations fail on demand (make test-faults)")
    return sweep("cpp")


@pytest.fixture(scope="module")
def python():
    pytest.importorskip("_testcapi")
    if lists_survive_no_memory.args[0]:  # a fixture takes no marks
        pytest.skip(lists_survive_no_memory.kwargs["reason"])
    return sweep("python")


def cases():
    sys.path.insert(0, FAULTS)
    import fault_sweep
    return list(fault_sweep.CASES)


# Calls that must reach the module's own storage.
ALLOCATING = {"new/lists", "copy/ragged", "copy/bits", "repr/bits", "append_row/list",
              "append_column/list", "echelon_form/bits", "echelon_form/other",
              "echelon_form_last_row/shift", "kernel/bits", "kernel/other"}


# Calls that need no storage of the module's own: a matched call allocates nothing.
NOT_ALLOCATING = {"to_list/bits", "nrows", "get", "add_rows", "swap_rows", "is_zero_row"}


@pytest.mark.parametrize("case", cases())
def test_cpp_allocations(cpp, case):
    assert cpp[case]["problems"] == []
    assert cpp[case]["points"] > 0 or case not in ALLOCATING
    assert cpp[case]["points"] == 0 or case not in NOT_ALLOCATING


@pytest.mark.parametrize("case", cases())
def test_python_allocations(python, case):
    if case not in python:
        pytest.skip("the interpreter's error printer cannot run out of memory on this version")
    assert python[case]["problems"] == []
    assert python[case]["points"] > 0


@pytest.mark.parametrize("kind", ["cpp", "python"])
@needs_plain_allocator
def test_sweeps_leak_nothing(request, kind):
    leaks = request.getfixturevalue(kind)["leaks"]
    assert abs(leaks["blocks"]) < 100
    assert leaks["resident"] < 1 << 20


@pytest.mark.parametrize("kind", ["cpp", "python"])
def test_first_initialisation(kind):
    if kind == "cpp" and not fault_hooks:
        pytest.skip("needs the build whose allocations fail on demand (make test-faults)")
    pytest.importorskip("_testcapi")
    if kind == "python" and sys.version_info >= (3, 13):
        # 3.13.0 itself crashes when memory runs out while it files away a
        # module that initialised successfully.
        pytest.skip("the interpreter's import cannot run out of memory on this version")
    result = sweep(kind, os.path.join(FAULTS, "import_sweep.py"))["import"]
    assert result["problems"] == []
    assert result["points"] > 0 or kind == "cpp"
