"""Running out of memory inside a call raises MemoryError and leaves the interpreter working."""
import pytest
from helpers import free_threaded, limits_address_space, needs_plain_allocator, only_on_linux, run_python

pytestmark = [needs_plain_allocator, only_on_linux("address-space limits (resource) and /proc"),
              limits_address_space, pytest.mark.skipif(
    free_threaded, reason="without the GIL the interpreter's own allocator reserves whole arenas "
    "ahead (and can be replaced by none): an address-space limit starves the interpreter itself")]

SCRIPT = """
    import itertools, resource, struct
    from zendrik import Matrix

    class Seq:
        def __init__(self, it, n):
            self.it, self.n = it, n
        def __getitem__(self, i):
            raise IndexError(i)
        def __len__(self):
            return self.n
        def __iter__(self):
            return self.it()

    row = bytes(range(256)) * 65536
    big = Matrix([row] * 4)                # 64 MiB
    columns = (64 << 20) // struct.calcsize("P")
    wide = Matrix([bytes(columns)])        # 64 MiB as a list, at any word width
    small = Matrix([[1, 0], [0, 1]])
    pages = int(open("/proc/self/statm").read().split()[0])
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (pages * resource.getpagesize() + (48 << 20), hard))
    cases = {
        "copy": lambda: big.copy(),
        "to_list": lambda: big.to_list(),
        "list_of_ints": lambda: wide.to_list(),
        "repr": lambda: repr(big),
        "endless_row": lambda: Matrix([Seq(lambda: itertools.repeat(1), 2**62)]),
        "endless_rows": lambda: Matrix(Seq(lambda: itertools.repeat(b""), 2**62)),
        "lying_row": lambda: Matrix([Seq(lambda: iter([1, 1]), 2**62)]).to_list(),
        "lying_rows": lambda: Matrix(Seq(lambda: iter([[1], []]), 2**62)).to_list(),
        "huge_range_row": lambda: Matrix([range(10**12)]),
        "huge_range_rows": lambda: Matrix(range(10**12)),
        # kernel tables of columns x free columns: too big, and (at 32 bits) past the word, then wrapping to 0
        "kernel_table": lambda: Matrix([bytes(200_000)]).kernel(),
        "kernel_table_wraps": lambda: Matrix([bytes(1 << 20)]).kernel(),
        "byte_kernel_table_wraps": lambda: Matrix([b"\\x02" + bytes((1 << 16) - 1)]).kernel(),
    }
    for name, call in cases.items():
        try:
            outcome = call()
        except BaseException as e:
            outcome = type(e).__name__
        intact = (small.to_list() == [[1, 0], [0, 1]] and big.nrows() == 4
                  and big.get(3, len(row) - 1) == 255 and wide.ncols() == columns)
        print(name, outcome, intact, flush=True)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print("afterwards", big.copy().to_list() == [list(row)] * 4 and repr(wide.copy())[:7] == "[[0, 0,")
"""


@pytest.fixture(scope="module")
def outcomes():
    out, err = run_python(SCRIPT)
    assert err == ""
    return {line.split(" ", 1)[0]: line.split(" ", 1)[1] for line in out.splitlines()}


@pytest.mark.parametrize("case, outcome", [
    ("copy", "MemoryError"), ("to_list", "MemoryError"), ("list_of_ints", "MemoryError"),
    ("repr", "MemoryError"), ("endless_row", "MemoryError"), ("endless_rows", "MemoryError"),
    ("lying_row", "[[1, 1]]"), ("lying_rows", "[[1], []]"),
    ("huge_range_row", "OverflowError"), ("huge_range_rows", "TypeError"),
    ("kernel_table", "MemoryError"), ("kernel_table_wraps", "MemoryError"), ("byte_kernel_table_wraps", "MemoryError"),
])
def test_out_of_memory(outcomes, case, outcome):
    assert outcomes[case] == outcome + " True"
    assert outcomes["afterwards"] == "True"


def test_failed_growth_changes_nothing():
    out, err = run_python("""
        import resource
        from zendrik import Matrix
        full = Matrix([bytes(1 << 20)] * 80).copy()  # every row at capacity: growing moves it
        pages = int(open("/proc/self/statm").read().split()[0])
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (pages * resource.getpagesize() + (48 << 20), hard))
        try:
            full.append_column([1] * 80)
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        widths = set()
        for i in range(80):
            full.swap_rows(0, i)
            widths.add(full.ncols())
        print(widths, all(full.is_zero_row(i) for i in range(80)))
    """)
    assert (out, err) == ("MemoryError\n{1048576} True\n", "")
