"""Fails every allocation of the module's first initialisation in turn: run as
a script by test_faults.py.

    python import_sweep.py cpp|python

The module is made once per process, so each failure point runs in a forked
child of a process that has found the module but not loaded it. The child
arms the failure, initialises the module, then initialises it again with
memory restored and uses it. Prints one JSON line: {"case", "points", "problems"}.
"""
import ctypes
import importlib.util
import json
import os
import sys

import _imp
from capture import Stderr

SPEC = importlib.util.find_spec("zendrik")


def child(kind, n, report):
    """Runs in the child; writes (outcome, reached, printed, retry) to `report`."""
    if kind == "cpp":
        hooks = ctypes.CDLL(SPEC.origin)  # the same object the import loads
        hooks.zendrik_fault_arm.argtypes = [ctypes.c_ulong, ctypes.c_ulong]
        hooks.zendrik_fault_count.restype = ctypes.c_ulong
        arm, disarm = (lambda: hooks.zendrik_fault_arm(n, 0)), (lambda: hooks.zendrik_fault_arm(0, 0))
    else:
        import _testcapi
        arm, disarm = (lambda: _testcapi.set_nomemory(n, 0)), _testcapi.remove_mem_hooks
    with Stderr() as printed:
        arm()
        try:
            _imp.create_dynamic(SPEC)
        except BaseException as e:  # noqa: BLE001 - judged by the parent
            disarm()
            outcome = [type(e).__name__, str(e)]
            del e
        else:
            disarm()
            outcome = "ok"
    # The interpreter's allocations are not counted: the first N at which
    # the initialisation completes is taken as one past its last.
    reached = kind == "cpp" and hooks.zendrik_fault_count() >= n
    with Stderr() as again:
        try:
            module = _imp.create_dynamic(SPEC)
            m = module.Matrix([[0, 1], [1, 1]])
            retry = [module.__all__, repr(m.echelon_form())]
            try:
                m.get(0, 5)
            except BaseException as e:  # noqa: BLE001
                retry.append([type(e).__name__, str(e)])
        except BaseException as e:  # noqa: BLE001
            retry = ["failed", type(e).__name__, str(e)]
    os.write(report, json.dumps([outcome, reached, printed.text, retry, again.text]).encode())


def main():
    kind = sys.argv[1]
    expected_retry = [["Matrix"], "([[1, 0], [0, 1]], [(0, 1), (1, 0), (0, 1), (0, 1)])",
                      ["PanicException", "index out of bounds: the len is 2 but the index is 5"]]
    problems = []
    for n in range(1, 5000):
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read)
            try:
                child(kind, n, write)
            finally:
                os.close(write)
            if os.environ.get("ZENDRIK_SANITIZED") == "1":
                os._exit(0)  # the leak checker would judge the half-made interpreter
            sys.exit(0)  # a normal exit, so that coverage counts are written
        os.close(write)
        with os.fdopen(read, "rb") as pipe:
            data = pipe.read()
        _, status = os.waitpid(pid, 0)
        if status != 0 or not data:
            problems.append(f"N={n}: child ended with status {status:#x}")
            break
        outcome, reached, printed, retry, again = json.loads(data)
        if outcome == "ok":
            if reached:
                problems.append(f"N={n}: failure swallowed")
            break
        if outcome != ["MemoryError", ""] or printed:
            problems.append(f"N={n}: {outcome} printed {printed!r}"[:300])
        if retry != expected_retry or "index out of bounds" not in again:
            problems.append(f"N={n}: afterwards {retry}"[:300])
    print(json.dumps({"case": "import", "points": n - 1, "problems": problems[:10]}), flush=True)


if __name__ == "__main__":
    main()
