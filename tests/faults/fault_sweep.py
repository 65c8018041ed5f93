"""Fails every allocation of a call in turn: run as a script by test_faults.py.

    python fault_sweep.py cpp|python [case ...]

`cpp` fails the module's own C++ allocations through the hooks of the
fault-injecting build; `python` fails the interpreter's allocations through
_testcapi.set_nomemory. For each case and N = 1, 2, ... the call runs with the
Nth allocation failing (and, separately, every allocation from the Nth on)
until it completes without reaching N. Prints one JSON line per case:
{"case", "points", "problems"}; the caller also requires empty stderr.
"""
import ctypes
import gc
import json
import os
import random
import sys

# Before numpy, so that the C++ runtime is loaded with the module and its
# allocations for the module reach the module's own operator new.
import zendrik
from zendrik import Matrix

import numpy as np
from capture import Stderr

HOOKS = ctypes.CDLL(zendrik.__file__)
if hasattr(HOOKS, "zendrik_fault_arm"):  # only in the fault-injecting builds
    HOOKS.zendrik_fault_arm.argtypes = [ctypes.c_ulong, ctypes.c_ulong]
    HOOKS.zendrik_fault_count.restype = ctypes.c_ulong


class Failed(tuple):
    """The outcome of a call that raised: (class name, text)."""


class Seq:
    """A sequence that is neither list, tuple, bytes nor an array: read item by item."""
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Byte(int):
    """An int subclass: read through the general conversion."""


def dense(rows, cols, seed):
    rnd = random.Random(seed)
    return [[rnd.getrandbits(1) for _ in range(cols)] for _ in range(rows)]


def reduced(rows):
    return Matrix(rows).echelon_form()[0].to_list()


SQUARE = dense(48, 48, 1)        # about 1200 log entries: the log grows five times
WIDE = dense(6, 130, 2)          # rows across three words
BLOCKED = dense(70, 130, 4)      # enough rows for either reduction to go 64 columns at a time
OTHER = [row[:] for row in SQUARE[:12]]
OTHER[5][7] = 2                  # a byte other than 0 and 1: the byte store
RAGGED = [row[:12] + ([1, 0, 1] if i % 2 else []) for i, row in enumerate(SQUARE[:12])]
KERNEL_BITS = reduced(dense(20, 70, 3)[:12])
KERNEL_BYTES = [row[:] for row in KERNEL_BITS]
KERNEL_BYTES[0][-1] = 3
# Last-row reductions: placement, reduction and shift passes; reduction,
# placement and final passes; the first again with ragged rows.
LAST_SHIFT = [[0, 0, 0, 0, 0, 1], [0, 0, 0, 0, 1, 0], [1, 0, 0, 1, 1, 1], [0, 0, 1, 0, 1, 0],
              [1, 1, 0, 1, 1, 0], [0, 1, 0, 0, 0, 1]]
LAST_FINAL = [[1, 0, 1, 1, 0, 1, 0], [0, 0, 1, 1, 0, 0, 1], [0, 0, 1, 0, 1, 0, 1],
              [0, 0, 1, 0, 0, 0, 1], [1, 0, 0, 1, 0, 0, 1], [0, 0, 1, 0, 0, 0, 0],
              [1, 0, 0, 0, 1, 1, 0]]
LAST_RAGGED = [LAST_SHIFT[0]] + [row + [0] for row in LAST_SHIFT[1:]]
ROW = [1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1]


def build(rows):
    # Rows held at exactly their length, so that any growth must move them.
    return Matrix(rows).copy()


def snapshot(value):
    """Everything observable about a receiver or an argument."""
    if isinstance(value, Matrix):
        return ("Matrix", value.to_list())
    if isinstance(value, np.ndarray):
        return ("ndarray", value.shape, value.strides, value.tobytes())
    if isinstance(value, (bytes, bytearray)):
        return (type(value).__name__, bytes(value))
    if isinstance(value, Seq):
        return ("Seq", snapshot(value.items))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [snapshot(v) for v in value])
    if isinstance(value, Idx):
        return ("Idx",)
    if isinstance(value, range):
        return ("range", value.start, value.stop)
    return (type(value).__name__, value)


def outcome(result):
    if isinstance(result, Failed):
        return result
    if isinstance(result, Matrix):
        return ("Matrix", result.to_list())
    if isinstance(result, tuple):
        return tuple(outcome(r) for r in result)
    return result


def method(name, rows, *args):
    """Case: Matrix(rows).name(*args); args are made anew for every run."""
    return lambda: (build(rows), args), lambda m, *a: getattr(m, name)(*a)


def constructing(make):
    return lambda: (None, (make(),)), lambda _, a: Matrix(a)


def arguments(name, rows, make):
    return lambda: (build(rows), (make(),)), lambda m, a: getattr(m, name)(a)


CASES = {
    "new/lists": constructing(lambda: [row[:] for row in SQUARE[:10]]),
    "new/tuples": constructing(lambda: tuple(tuple(row) for row in WIDE)),
    "new/bytes": constructing(lambda: [bytes(row) for row in WIDE]),
    "new/bytearrays": constructing(lambda: [bytearray(row) for row in OTHER]),
    "new/ndarray": constructing(lambda: np.array(WIDE, dtype=np.uint8)),
    "new/ndarray rows": constructing(lambda: list(np.array(WIDE, dtype=np.uint8))),
    "new/ndarray strided": constructing(lambda: np.array(WIDE, dtype=np.uint8)[:, ::2]),
    "new/sequences": constructing(lambda: Seq([Seq(row) for row in RAGGED[:4]])),
    "new/ranges": constructing(lambda: [range(5), range(0), range(3)]),
    "new/int subclasses": constructing(lambda: [[Byte(x) for x in row] for row in OTHER[:3]]),
    "new/mixed": constructing(lambda: (ROW, bytes(ROW), bytearray(ROW),
                                        np.array(ROW, dtype=np.uint8), tuple(ROW), range(2))),
    "repr/bits": (lambda: (build(WIDE), ()), lambda m: repr(m)),
    "repr/other": (lambda: (build(OTHER), ()), lambda m: repr(m)),
    "to_list/bits": method("to_list", WIDE),
    "to_list/ragged": method("to_list", RAGGED),
    "nrows": method("nrows", RAGGED),
    "ncols": method("ncols", RAGGED),
    "copy/ragged": method("copy", RAGGED),
    "copy/bits": method("copy", WIDE),
    "get": method("get", OTHER, 5, 7),
    "get/int subclass": method("get", OTHER, Byte(5), Byte(7)),
    "add_rows": method("add_rows", RAGGED, 1, 3),
    "add_rows/wide": method("add_rows", WIDE, 0, 5),
    "swap_rows": method("swap_rows", RAGGED, 0, 3),
    "is_zero_row": method("is_zero_row", OTHER, 5),
    "append_row/list": arguments("append_row", WIDE, lambda: WIDE[0][:]),
    "append_row/bytes": arguments("append_row", OTHER, lambda: bytes(range(40))),
    "append_row/bytearray": arguments("append_row", OTHER, lambda: bytearray(ROW)),
    "append_row/ndarray": arguments("append_row", WIDE, lambda: np.array(ROW, dtype=np.uint8)),
    "append_row/sequence": arguments("append_row", RAGGED, lambda: Seq(ROW)),
    "append_column/list": arguments("append_column", RAGGED, lambda: [1] * 12),
    "append_column/bytes": arguments("append_column", WIDE, lambda: bytes([1, 2, 3, 4, 5, 6, 7])),
    "append_column/ndarray": arguments("append_column", WIDE,
                                       lambda: np.array([1, 0, 1, 1, 0, 1], dtype=np.uint8)),
    "echelon_form/bits": method("echelon_form", SQUARE),
    "echelon_form/wide": method("echelon_form", WIDE),
    "echelon_form/blocked": method("echelon_form", BLOCKED),
    "echelon_form/other": method("echelon_form", OTHER),
    "echelon_form/ragged": method("echelon_form", RAGGED),
    "row_echelon_full_matrix/bits": method("row_echelon_full_matrix", SQUARE),
    "row_echelon_full_matrix/blocked": method("row_echelon_full_matrix", BLOCKED),
    "row_echelon_full_matrix/other": method("row_echelon_full_matrix", OTHER),
    "echelon_form_last_row/shift": method("echelon_form_last_row", LAST_SHIFT),
    "echelon_form_last_row/final": method("echelon_form_last_row", LAST_FINAL),
    "echelon_form_last_row/ragged": method("echelon_form_last_row", LAST_RAGGED),
    "rank/bits": method("rank", KERNEL_BITS),
    "rank/other": method("rank", KERNEL_BYTES),
    "kernel/bits": method("kernel", KERNEL_BITS),
    "kernel/other": method("kernel", KERNEL_BYTES),
}


class Idx:
    def __init__(self, f):
        self.f = f

    def __index__(self):
        return self.f()


class Unprintable:
    def __str__(self):
        raise ValueError("no text")

    @staticmethod
    def fail():
        raise TypeError(Unprintable())


def reentering(name, action):
    """m.name(Idx, 0) where the index's __index__ runs `action` on m itself."""
    def setup():
        m = build(OTHER)
        return m, (Idx(lambda: action(m)), 0)
    return setup, lambda m, *a: getattr(m, name)(*a)


def failing(call, rows=OTHER):
    return lambda: (build(rows), ()), call


# Calls that end in an error of their own: the sweep runs until that error.
CASES.update({
    "error/unexpected keyword": failing(lambda m: m.get(0, 0, zzz=1)),
    "error/missing": failing(lambda m: m.add_rows(0)),
    "error/too many": failing(lambda m: m.swap_rows(0, 1, 2)),
    "error/twice": failing(lambda m: m.get(0, row=1)),
    "error/not an index": failing(lambda m: m.get(1.5, 0)),
    "error/overflow": failing(lambda m: m.append_row([1, 256])),
    "error/str refused": failing(lambda m: Matrix(["01"])),
    "error/not a sequence": failing(lambda m: m.append_column(None)),
    "error/refused array": failing(lambda m: Matrix(np.array([[1, -2]], dtype=np.int8))),
    "error/user": reentering("get", lambda m: 1 // 0),
    "error/unprintable": reentering("get", lambda m: Unprintable.fail()),
    "error/borrowed": reentering("get", lambda m: m.append_row([1]) or 0),
    "error/mutably borrowed": reentering("add_rows", lambda m: m.nrows() and 0),
    "panic/get": failing(lambda m: m.get(70, 0)),
    "panic/reduction": failing(lambda m: m.echelon_form(), [[1, 1], [1]]),
    "panic/last row": failing(lambda m: m.echelon_form_last_row(), []),
    "panic/resumed": reentering("get", lambda m: Matrix([]).get(0, 0)),
})


# Calls that print an error through the interpreter's error printer.
PRINTS_ERRORS = {"panic/resumed", "error/unprintable"}


def cpp_arm(first, until):
    HOOKS.zendrik_fault_arm(first, until)


def cpp_disarm():
    HOOKS.zendrik_fault_arm(0, 0)


def forget(error):
    """Drops the tracebacks of an exception and of those it was raised from: with
    the collector off, their frames would keep the values alive."""
    while error is not None:
        error.__traceback__ = None
        error.__cause__, error.__context__, error = None, None, error.__context__ or error.__cause__


def run_once(case, arm, disarm):
    """One armed call on fresh values. Returns the failure (None when the call
    ended as it does with memory to spare), the outcome, the receiver and
    arguments, their snapshot before, and their reference counts before and after."""
    setup, call = CASES[case]
    receiver, args = setup()
    before = snapshot((receiver, args))
    counts = [sys.getrefcount(receiver)] + [sys.getrefcount(a) for a in args]
    # Take every free tuple and list, so that the call must allocate each one.
    spare = [((i,), (i, i), (i, i, i), [i]) for i in range(2100)]
    with Stderr() as printed:
        arm()
        try:
            result = call(receiver, *args)
        except BaseException as e:  # noqa: BLE001 - every outcome is judged below
            disarm()
            # Only its kind and text: the traceback would hold the values alive.
            result = Failed((type(e).__name__, str(e)))
            forget(e)
            del e
        else:
            disarm()
    del spare
    raised = result if isinstance(result, Failed) and result != EXPECTED[case][0] else None
    if raised is not None and printed.text:
        raised = Failed(raised + (printed.text,))
    after = [sys.getrefcount(receiver)] + [sys.getrefcount(a) for a in args]
    return raised, result, receiver, args, before, (counts, after)


def check_failure(case, n, raised, receiver, args, before, counts, problems):
    label = f"N={n}"
    if raised[0] != "MemoryError" or raised[1] != "":
        problems.append(f"{label}: {raised}"[:300])
        return
    if snapshot((receiver, args)) != before:
        problems.append(f"{label}: receiver or arguments changed")
    if counts[0] != counts[1]:
        problems.append(f"{label}: reference counts {counts[0]} -> {counts[1]}")
    # Memory restored: the same values give the right answer.
    _, call = CASES[case]
    with Stderr() as retry:  # a panic's report
        try:
            again = outcome(call(receiver, *args))
        except BaseException as e:  # noqa: BLE001
            again = Failed((type(e).__name__, str(e)))
    if (again, snapshot((receiver, args))) != EXPECTED[case]:
        problems.append(f"{label}: retry gave a different result")
    # Nothing printed but the start of what the call prints anyway: the report
    # of a panic that happened before the allocation failed.
    if len(raised) > 2 and not retry.text.startswith(raised[2]) and not (
            # The interpreter's error printer, called by these as they must,
            # ran out of memory too and printed what it could instead.
            case in PRINTS_ERRORS and raised[2].startswith(retry.text[:21])):
        problems.append(f"{label}: printed {raised[2]!r}"[:300])


def expected(case):
    setup, call = CASES[case]
    receiver, args = setup()
    with Stderr():
        try:
            result = outcome(call(receiver, *args))
        except BaseException as e:  # noqa: BLE001
            result = Failed((type(e).__name__, str(e)))
    return result, snapshot((receiver, args))


def sweep_cpp(case, problems, limit=5000):
    """Returns the number of allocation points of the call."""
    points = 0
    for persistent in (False, True):
        for n in range(1, limit):
            raised, result, receiver, args, before, counts = run_once(
                case, lambda: cpp_arm(n, 0 if persistent else n + 1), cpp_disarm)
            reached = HOOKS.zendrik_fault_count() >= n
            if raised is not None and not reached:
                problems.append(f"N={n}: failed with every allocation granted: {raised}"[:300])
                break
            if raised is None:
                if reached:
                    problems.append(f"N={n}{'+' if persistent else ''}: failure swallowed")
                elif (outcome(result), snapshot((receiver, args))) != EXPECTED[case]:
                    problems.append(f"N={n}: unarmed part gave a different result")
                points = max(points, n - 1)
                break
            check_failure(case, f"{n}{'+' if persistent else ''}", raised, receiver, args,
                          before, counts, problems)
    return points


def sweep_python(case, problems, limit=20000):
    import _testcapi

    # Allocations from the Nth on fail; the first N at which the call
    # completes is one past its last allocation.
    for n in range(1, limit):
        raised, result, receiver, args, before, counts = run_once(
            case, lambda: _testcapi.set_nomemory(n, 0), _testcapi.remove_mem_hooks)
        if raised is None:
            if (outcome(result), snapshot((receiver, args))) != EXPECTED[case]:
                problems.append(f"N={n}: completed with a different result {result}"[:300])
            return n - 1
        check_failure(case, n, raised, receiver, args, before, counts, problems)
    problems.append("never completed")
    return limit


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    kind, names = sys.argv[1], sys.argv[2:] or list(CASES)
    if kind == "python" and sys.version_info >= (3, 13):
        # Out of memory, 3.13's error printer (written in Python there) can
        # loop without end inside the interpreter: the cases that print an
        # error through it are swept on 3.12 only.
        names = [case for case in names if case not in PRINTS_ERRORS]
    sweep = sweep_cpp if kind == "cpp" else sweep_python
    gc.disable()  # a collection inside an armed call would move the failure points
    global EXPECTED
    EXPECTED = {case: expected(case) for case in CASES}
    for case in names:
        problems = []
        points = sweep(case, problems)
        print(json.dumps({"case": case, "points": points, "problems": problems[:10]}), flush=True)
    # Leaks: the sweep again must hold memory and object counts flat (the
    # resumed panic's tracebacks are left out: their printing is the slow part).
    gc.collect()
    blocks, memory = sys.getallocatedblocks(), resident()
    for case in names:
        if case != "panic/resumed":
            sweep(case, [])
            gc.collect()
    gc.collect()
    print(json.dumps({"case": "leaks", "blocks": sys.getallocatedblocks() - blocks,
                      "resident": resident() - memory}), flush=True)


if __name__ == "__main__":
    main()
