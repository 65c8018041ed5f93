"""How a collection in another thread and zendrik's long calls wait for each
other, beside CPython's own C loops doing as much work (free-threaded builds
run calls and collections at once; with the GIL it shows what collections
cost a call, which must not change). The interpreter's own collections are
switched off: only the collector thread collects.

    python bench/collection_waits.py [--size 4096]

A collector thread calls gc.collect() every 2 ms, timing each. For each call
(an n x n reduction with its log, list(zip(a, b)) of a list of as many pairs,
to_list() of 2**20 one-column rows and CPython's [list(r) for r in rows] of
as many rows), run over and over for a second or two: the longest
collection meanwhile, against the longest while nothing else ran (what a
collection takes by itself); and the call's time beside the collections
against its time alone (fastest run, so that a pause of the calling thread
for a collection between two calls does not count; its median does).
"""
import argparse
import gc
import sys
import threading
import time

import numpy as np
from zendrik import Matrix


class Collector:
    """Calls gc.collect() every 2 ms in a thread of its own, timing each."""

    def __init__(self):
        self.times, self.running = [], True
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while self.running:
            start = time.perf_counter()
            gc.collect()
            self.times.append(time.perf_counter() - start)
            time.sleep(0.002)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()


def runs(call, seconds=1.5, at_least=3):
    """The times of repeated calls, for `seconds` and at least `at_least` of them."""
    found, deadline = [], time.perf_counter() + seconds
    while len(found) < at_least or time.perf_counter() < deadline:
        start = time.perf_counter()
        call()
        found.append(time.perf_counter() - start)
    return found


def main():
    # Only the collector thread collects: the calls alone see no collection.
    gc.disable()
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    n = parser.parse_args().size
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {sys.version.split()[0]}, GIL {'on' if gil else 'off'}")
    m = Matrix(np.random.default_rng(1).integers(0, 2, (n, n), dtype=np.uint8))
    log = m.row_echelon_full_matrix()[1]
    targets, sources = [t for t, _ in log], [s for _, s in log]
    del log
    tall = Matrix(np.random.default_rng(2).integers(0, 2, (1 << 20, 1), dtype=np.uint8))
    rows = [(i & 1,) for i in range(1 << 20)]  # tuples: the collector leaves them once seen
    cases = [(f"row_echelon_full_matrix {n} x {n}", m.row_echelon_full_matrix),
             (f"list(zip(a, b)) of {len(targets)} pairs", lambda: list(zip(targets, sources))),
             ("to_list() of 2**20 one-column rows", tall.to_list),
             ("[list(r) for r in rows], as many rows", lambda: [list(r) for r in rows])]
    alone = {name: min(runs(call)) for name, call in cases}
    with Collector() as collector:
        time.sleep(1.5)
        idle = max(collector.times)
        beside = {}
        for name, call in cases:
            collector.times.clear()
            found = runs(call)
            beside[name] = (min(found), sorted(found)[len(found) // 2], max(collector.times, default=0))
    after = {name: min(runs(call)) for name, call in cases}
    print(f"longest collection while nothing else runs: {idle * 1e3:.1f} ms")
    print(f"{'call':44} {'alone':>9} {'beside':>9} {'ratio':>6} {'median':>9} {'after':>6} "
          f"{'longest collection':>19}")
    for name, _ in cases:
        fastest, median, longest = beside[name]
        print(f"{name:44} {alone[name] * 1e3:7.1f}ms {fastest * 1e3:7.1f}ms "
              f"{fastest / alone[name]:6.2f} {median * 1e3:7.1f}ms {after[name] / alone[name]:6.2f} "
              f"{longest * 1e3:17.1f}ms")


if __name__ == "__main__":
    main()
