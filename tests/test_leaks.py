"""Every method, on success and on each failure path, many times over: no
reference and no memory may be left behind."""
import gc
import sys

import numpy as np
from helpers import (Idx, PanicException, limits_address_space, lists_survive_no_memory, needs_plain_allocator,
                     only_on_linux, resident_bytes, run_python)
from zendrik import Matrix

ROUNDS = 2_000


def reentering(method):
    """An index whose __index__ calls `method` on the matrix being called."""
    return lambda m: Idx(lambda: getattr(m, method)() and 0)


ROW = [1, 0, 1]
INDEX = Idx(lambda: 1)
ARRAY = np.array([ROW, ROW], dtype=np.uint8)


def cleared_while_read():
    row = [1, 0, 1, 1]
    row[1] = Idx(lambda: row.clear() or 1)
    return row
CALLS = {
    # successes
    "get": lambda m: m.get(INDEX, 0),
    "to_list": lambda m: m.to_list(),
    "repr": repr,
    "copy": lambda m: m.copy(),
    "add_rows": lambda m: m.add_rows(0, INDEX),
    "swap_rows": lambda m: m.swap_rows(0, 1),
    "is_zero_row": lambda m: m.is_zero_row(1),
    "append_row": lambda m: m.append_row(ROW),
    "append_column": lambda m: m.append_column(ROW),
    "echelon_form": lambda m: m.echelon_form(),
    "row_echelon_full_matrix": lambda m: m.row_echelon_full_matrix(),
    "echelon_form_last_row": lambda m: m.echelon_form_last_row(),
    "rank": lambda m: m.rank(),
    "kernel": lambda m: m.kernel(),
    "new": lambda m: Matrix([ROW, ROW]),
    "new, read whole": lambda m: Matrix((tuple(ROW), bytes(ROW), bytearray(ROW), ARRAY[0])),
    "new from an array": lambda m: Matrix(ARRAY),
    "new, read by items": lambda m: Matrix(ARRAY[:, ::2]),
    "append an array": lambda m: m.append_row(ARRAY[1]),
    "list cleared while read": lambda m: Matrix([cleared_while_read(), ROW]),
    # argument errors, borrow errors, panics, resumed panics
    "parse": lambda m: m.get(0, 0, zzz=1),
    "missing": lambda m: m.add_rows(0),
    "prefixed": lambda m: m.get(1.5, 0),
    "overflow": lambda m: m.append_row([1, 256]),
    "overflow, wide int": lambda m: Matrix(([1, 2**70],)),
    "refused array": lambda m: Matrix(ARRAY.astype(np.int8) - 2),
    "str refused": lambda m: Matrix(["01"]),
    "not a sequence": lambda m: m.append_column(None),
    "user error": lambda m: m.get(Idx(lambda: 1 // 0), 0),
    "shared then exclusive": lambda m: m.get(reentering("echelon_form_last_row")(m), 0),
    "exclusive then shared": lambda m: m.add_rows(reentering("nrows")(m), 0),
    "panic": lambda m: m.get(7, 0),
    "panic in reduction": lambda m: Matrix([[1, 1], [1]]).echelon_form(),
    "resumed panic": lambda m: m.get(Idx(lambda: Matrix([]).get(0, 0)), 0),
}


def run_all(rounds):
    for _ in range(rounds):
        for call in CALLS.values():
            m = Matrix([[1, 0, 1], [0, 1, 1]])
            try:
                call(m)
            except BaseException:
                pass


@needs_plain_allocator
def test_no_reference_or_memory_growth(capfd):
    tracked = (Matrix, PanicException, ROW, INDEX, TypeError, RuntimeError, ARRAY)
    run_all(200)  # warm caches and the allocator
    gc.collect()
    counts, memory = [sys.getrefcount(o) for o in tracked], resident_bytes()
    run_all(ROUNDS)
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == counts
    # A leak of even one small block per call would be several megabytes here.
    assert resident_bytes() - memory < 1 << 20
    capfd.readouterr()  # the panics' reports


@needs_plain_allocator
@only_on_linux("address-space limits (resource) and /proc")
@limits_address_space
@lists_survive_no_memory
def test_failed_allocations_leave_nothing_behind():
    stdout, stderr = run_python("""
        import resource
        from zendrik import Matrix
        def resident():
            return int(open("/proc/self/statm").read().split()[1]) * 4096
        big = Matrix([bytes(1 << 20)] * 300)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (resident() + (100 << 20), hard))
        failures = 0
        for i in range(30):
            if i == 8:
                start = resident()
            for call in (big.copy, big.to_list, big.echelon_form):
                try:
                    call()
                except MemoryError:
                    failures += 1
        assert failures == 90, failures
        assert resident() - start < 4 << 20, resident() - start
        assert big.nrows() == 300 and big.is_zero_row(299)
        print("ok")
    """)
    assert stdout.strip() == "ok" and stderr == ""
