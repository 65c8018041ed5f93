"""Threads calling into shared and private matrices at once, with callbacks
that switch threads in the middle of a call."""
import sys
import threading

import pytest

from helpers import Idx, time_limit
from zendrik import Matrix

THREADS = 6
CALLS_PER_THREAD = 2_000
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


@pytest.fixture(autouse=True)
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_no_crash_deadlock_or_lost_update():
    shared = Matrix([[1] * 64, [0] * 64])
    done = [0] * THREADS  # successful additions into the shared matrix, per thread
    failures = []

    def worker(n):
        own = Matrix([[1, 0], [0, 1]])
        # The callback runs Python code inside a call, so the interpreter may
        # hand the lock to another thread while the shared matrix is borrowed.
        slow_one = Idx(lambda: sum(range(50)) and 1)
        for i in range(CALLS_PER_THREAD):
            try:
                shared.add_rows(slow_one, 0)
                done[n] += 1
                shared.get(slow_one, 63)
                shared.echelon_form()
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    failures.append(e)
            own.add_rows(i % 2, slow_one)  # never contended
            own.append_column([i % 2, 1])
        if own.nrows() != 2 or own.ncols() != 2 + CALLS_PER_THREAD:
            failures.append(own.to_list())

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=time_limit(120))
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert failures == []
    # Every successful addition toggled row 1 exactly once.
    assert shared.to_list()[1] == [sum(done) % 2] * 64
    assert 0 < sum(done) <= THREADS * CALLS_PER_THREAD
    shared.swap_rows(0, 1)  # free again
