"""Threads calling into shared and private matrices at once: with callbacks
that switch threads in the middle of a call, and with plain calls, which an
interpreter without the GIL runs on several cores at the same moment."""
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from helpers import Idx, free_threaded, run_python, time_limit
from zendrik import Matrix

THREADS = 6
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
WIDTH = 256
GROWN_COLUMNS = 2_000


@pytest.fixture(autouse=True)
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def switching_one():
    # Runs Python code inside a call, so the interpreter may hand the lock to
    # another thread while the shared matrix is borrowed.
    return Idx(lambda: sum(range(50)) and 1)


# Calls that overlap only without the GIL: there, claims of one flag collide
# thousands of times a second, which a flag not claimed atomically does not
# survive. With the GIL no two such calls overlap, and nothing is to be found.
needs_parallel_calls = pytest.mark.skipif(not free_threaded, reason="with the GIL, calls into C never overlap")


@pytest.mark.parametrize("one, calls, seconds", [
    pytest.param(switching_one, 2_000, 120, id="switching"),
    pytest.param(lambda: 1, 10**9, 4, id="parallel", marks=needs_parallel_calls),
])
def test_no_crash_deadlock_or_lost_update(one, calls, seconds):
    # An interpreter without the GIL turns it back on, with a mere warning,
    # for a module that does not declare it can run without: nothing would
    # then run in parallel here.
    assert not (free_threaded and sys._is_gil_enabled())
    shared = Matrix([[1] * WIDTH, [0] * WIDTH])
    done = [0] * THREADS  # successful additions into the shared matrix, per thread
    refused = [0] * THREADS
    failures = []
    deadline = time.monotonic() + seconds

    def worker(n):
        own = Matrix([[1, 0], [0, 1]])
        index = one()
        i = 0
        try:
            while i < calls and time.monotonic() < deadline:
                try:
                    shared.add_rows(index, 0)
                    done[n] += 1
                except RuntimeError as e:
                    refused[n] += 1
                    if str(e) not in BORROW_ERRORS:
                        failures.append(e)
                try:
                    shared.get(index, WIDTH - 1)
                    # Row 0 is all ones and row 1 all zeros or all ones,
                    # unless a read overlapped a write.
                    rows = shared.to_list()
                    if any(len(set(row)) != 1 for row in rows) or rows[0][0] != 1:
                        failures.append(("torn", rows))
                    shared.echelon_form()
                except RuntimeError as e:
                    refused[n] += 1
                    if str(e) not in BORROW_ERRORS:
                        failures.append(e)
                # No other thread has this one: never refused, nothing lost.
                own.add_rows(i % 2, index)
                if i < GROWN_COLUMNS:
                    own.append_column([i % 2, 1])
                i += 1
        except BaseException as e:
            failures.append(e)
        if own.nrows() != 2 or own.ncols() != 2 + min(i, GROWN_COLUMNS):
            failures.append(own.to_list())

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=seconds + time_limit(120))
    assert not any(t.is_alive() for t in threads), "deadlock"
    torn = sum(1 for f in failures if isinstance(f, tuple) and f[0] == "torn")
    try:  # no claim outlives its call: the matrix is free for both kinds
        shared.swap_rows(0, 1)
        shared.swap_rows(0, 1)
        final = shared.to_list()
        stuck = 0
    except RuntimeError:
        final, stuck = None, 1
    print(f"additions {sum(done)}, calls refused {sum(refused)}, torn reads {torn}, "
          f"stuck flags {stuck}")
    assert failures[:3] == [] and stuck == 0
    # Every successful addition toggled row 1 exactly once.
    assert final == [[1] * WIDTH, [sum(done) % 2] * WIDTH]
    assert 0 < sum(done)


# Two threads build matrices from a list that two others change: each row
# replaced is freed at once, so an item read without a reference of its own
# is read after it was freed. Each generation's rows hold other values, so
# a row read from memory that a newer row took over comes out mixed.
CHANGING_LIST = """
    import threading, time
    from zendrik import Matrix
    rows = [[255] * 32 for _ in range(64)]
    deadline = time.monotonic() + {seconds}
    wrong = []
    threading.excepthook = wrong.append

    def build():
        while time.monotonic() < deadline:
            wrong.extend(r for r in Matrix(rows).to_list() if len(r) != 32 or len(set(r)) != 1)

    def change():
        i = 0
        while time.monotonic() < deadline:
            rows[i % 32] = [i % 256] * 32
            if i % 3 == 0:
                rows.append([i % 256] * 32)
            elif len(rows) > 40:  # never below 32 rows, both threads popping
                rows.pop()
            i += 1

    threads = [threading.Thread(target=f) for f in (build, build, change, change)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(wrong[:3])
"""


@needs_parallel_calls
def test_a_list_that_another_thread_changes_is_read_safely():
    out, _ = run_python(CHANGING_LIST.format(seconds=3))
    assert out == "[]\n"


# A writer grows a shared matrix by rows and by columns (each growth may move
# its rows, or the elements of every row) while readers reduce, copy and read
# it: a reader that overlapped a move would read freed storage. The writer
# adds only ones and keeps the matrix rectangular.
@needs_parallel_calls
def test_readers_meet_a_matrix_that_changes_shape():
    start = [[1] * 8 for _ in range(8)]
    box = [Matrix(start)]
    failures = []
    deadline = time.monotonic() + 3

    def grow():
        i = 0
        while time.monotonic() < deadline:
            m = box[0]
            try:
                if i % 2:
                    m.append_row([1] * m.ncols())
                else:
                    m.append_column([1] * m.nrows())
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    failures.append(e)
            if m.nrows() > 300:
                box[0] = Matrix(start)
            i += 1

    def read():
        while time.monotonic() < deadline:
            m = box[0]
            try:
                for rows in (m.to_list(), m.copy().to_list(), m.echelon_form()[0].to_list()):
                    if len({len(row) for row in rows}) != 1 or any(x > 1 for row in rows for x in row):
                        failures.append(rows)
                m.rank()
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    failures.append(e)
            except BaseException as e:
                failures.append(e)

    threads = [threading.Thread(target=f) for f in (grow, read, read, read)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures[:3] == []


# Many threads make their first calls at one instant in a fresh process: the
# first results need the small ints that are made once on first use (a table
# seen by another thread before it is whole hands out empty slots), and the
# first failures are reported at once. (The module's other cells, its type
# and the panic class among them, are filled by the import, which the import
# lock keeps to one thread.)
FIRST_CALLS = """
    import threading
    from zendrik import Matrix
    barrier = threading.Barrier(16)
    results, failures = [], []

    def first():
        m = Matrix({rows})
        barrier.wait()
        results.append(repr((m.to_list(), m.echelon_form()[0].to_list())))
        for call in (lambda: m.get("0", 0), lambda: m.get(2, 0)):
            try:
                call()
            except BaseException as e:
                failures.append(type(e))

    threads = [threading.Thread(target=first) for _ in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(results.count({expected!r}), len(failures), sorted(c.__name__ for c in set(failures)))
"""


@needs_parallel_calls
def test_first_calls_of_many_threads_at_once():
    rows = [list(range(256)), [1] * 256]  # every small int, the last made last
    expected = repr((rows, Matrix(rows).echelon_form()[0].to_list()))
    out, _ = run_python(FIRST_CALLS.format(rows=rows, expected=expected))
    assert out == "16 32 ['PanicException', 'TypeError']\n"


# Threads build matrices from an argument that others change meanwhile: it is
# read as it stands at each moment, never from storage that was freed. (A
# numpy array cannot be freed under a call that reads it: its caller holds
# it, and numpy resizes an array only when nothing else does.)
CHANGING_ARGUMENT = """
    import threading, time
    from zendrik import Matrix
    kind = {kind!r}
    if kind == "bytearray":
        argument = bytearray(b"\\x01" * 64)
    else:
        argument = tuple([1] * 64 for _ in range(4))
    deadline = time.monotonic() + {seconds}
    wrong = []
    threading.excepthook = wrong.append

    def change():
        i = 0
        while time.monotonic() < deadline:
            size, value = 1 + i % 97, i % 2
            if kind == "bytearray":
                argument[:] = bytes([value]) * size
            else:
                row = argument[i % 4]
                row[:] = [value] * size
            i += 1

    def build():
        while time.monotonic() < deadline:
            rows = Matrix(argument if kind == "tuple of lists" else [argument]).to_list()
            wrong.extend(r for r in rows if len(r) > 97 or any(x > 1 for x in r))

    threads = [threading.Thread(target=f) for f in (build, build, change)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(wrong[:3])
"""


@needs_parallel_calls
@pytest.mark.parametrize("kind", [
    # 3.13t's own bytearray methods resize it without the lock the module
    # copies it under: a copy may read the storage a resize freed.
    pytest.param("bytearray", marks=pytest.mark.skipif(
        sys.version_info < (3, 14), reason="the interpreter's bytearray resizes without its lock before 3.14")),
    "tuple of lists",
])
def test_an_argument_that_another_thread_changes(kind):
    out, _ = run_python(CHANGING_ARGUMENT.format(kind=kind, seconds=3))
    assert out == "[]\n"


# A long reduction in one thread while another collects garbage: without the
# GIL the core works detached from the interpreter, so the collection need not
# wait for it, and the result is the one a reduction alone gives. Rows this
# wide, holding a 2, are reduced byte by byte: long work with a short log.
# (In a process of its own, whose few objects a collection gets through at
# once; what a collection takes by itself is taken off its wait.)
COLLECTION_DURING_A_REDUCTION = """
    import gc, threading, time
    import numpy as np
    from zendrik import Matrix
    rows = np.random.default_rng(7).integers(0, 2, (48, 1 << 21), dtype=np.uint8)
    rows[0, -1] = 2
    m = Matrix(rows)
    del rows

    def seconds(call):
        start = time.perf_counter()
        call()
        return time.perf_counter() - start
    alone = seconds(m.echelon_form)
    by_itself = min(seconds(gc.collect) for _ in range(3))
    started, logs = threading.Event(), []
    reducer = threading.Thread(target=lambda: started.set() or logs.append(m.echelon_form()[1]))
    reducer.start()
    started.wait()
    time.sleep(alone / 10)
    waited = seconds(gc.collect) - by_itself
    reducer.join()
    print(logs == [m.echelon_form()[1]], waited / alone)
"""


@needs_parallel_calls
@pytest.mark.skipif(os.environ.get("ZENDRIK_SANITIZED") == "thread",
                    reason="timed, and ThreadSanitizer makes the core a hundred times as slow")
def test_a_collection_during_a_long_reduction():
    out, _ = run_python(COLLECTION_DURING_A_REDUCTION)
    same, waited = out.split()
    assert same == "True" and float(waited) < 0.5, out


# Conversions keep their speed while another thread collects garbage every
# few milliseconds, and after: they hold a collection off, as CPython's own
# loops that build a list do, rather than stopping for it. (In a process of
# its own, whose few objects a collection gets through at once: a pause for
# one, which the timing of a call may take in, is short there.)
CONVERSIONS_BESIDE_COLLECTIONS = """
    import gc, threading, time, timeit
    from zendrik import Matrix
    tall = Matrix([[i & 1] for i in range(1 << 20)])

    def seconds():
        return min(timeit.repeat(tall.to_list, number=1, repeat=5))
    before = seconds()
    collecting = True

    def collect():
        while collecting:
            gc.collect()
            time.sleep(0.002)
    collector = threading.Thread(target=collect)
    collector.start()
    during = seconds()
    collecting = False
    collector.join()
    print(during / before, seconds() / before)
"""


@needs_parallel_calls
def test_conversions_keep_their_speed_beside_collections():
    out, _ = run_python(CONVERSIONS_BESIDE_COLLECTIONS)
    during, after = map(float, out.split())
    assert during < 3 and after < 3, out


# Threads inside calls when the interpreter ends: CPython 3.12 and 3.13 end a
# thread that wants the interpreter back once finalisation has begun by
# unwinding its stack through the module, 3.14 on leave it waiting; either
# way the process ends, neither aborting nor hanging. The calls run Python
# code in the middle (an __index__, a sequence of rows), run none, or panic.
DAEMONS_AT_EXIT = """
    import threading, time
    from zendrik import Matrix
    m = Matrix([[1, 0, 1] * 20, [0, 1, 1] * 20] * 20)

    class Index:
        def __index__(self):
            time.sleep(0.0001)  # gives up the interpreter here
            return 0

    class Rows:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i == 2:
                raise IndexError(i)
            time.sleep(0.0001)
            return [1, 0, 1]

    def panic():
        try:
            m.get(99, 0)
        except BaseException:
            pass

    call = {{"index": lambda: m.get(Index(), 0), "rows": lambda: Matrix(Rows()),
             "none": lambda: (m.rank(), m.copy(), m.echelon_form()), "panic": panic}}[{kind!r}]

    def loop():
        while True:
            call()

    for _ in range(4):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.1)
"""


@pytest.mark.parametrize("kind", ["index", "rows", "none", "panic"])
def test_daemon_threads_inside_calls_at_exit(kind):
    def run(_):
        # A process that could not be started (Wine, under load, now and then
        # fails to) says nothing of the module: it is started again.
        for attempt in range(3):
            try:
                return subprocess.run([sys.executable, "-c", textwrap.dedent(DAEMONS_AT_EXIT.format(kind=kind))],
                                      capture_output=True, text=True, timeout=time_limit(60))
            except OSError:
                if attempt == 2:
                    raise
    with ThreadPoolExecutor(4) as runs:
        ended = list(runs.map(run, range(20)))
    failed = [(e.returncode, e.stderr[-300:]) for e in ended if e.returncode != 0]
    assert failed == []
