"""How a collection in another thread and zendrik's long calls wait for each
other, beside CPython's own C loops doing as much (run it on a free-threaded
build, where calls and collections run at once; with the GIL it shows what a
collection costs a call, which must not change).

    python bench/collection_waits.py [--size 4096]

For one n x n reduction and its log: the longest and the median time one
gc.collect() in another thread took while each ran (its wait for the world
to stop, and the collection), and each call's time with collections running
against its time alone; the same for to_list() of 2**20 one-column rows
beside [r[:] for r in rows], before, during and after collections.
"""
import argparse
import gc
import statistics
import sys
import threading
import time

import numpy as np
from zendrik import Matrix


class Collector:
    """Calls gc.collect() every `every` seconds in a thread of its own, timing each."""

    def __init__(self, every=0.002):
        self.every, self.times, self.running = every, [], True
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while self.running:
            start = time.perf_counter()
            gc.collect()
            self.times.append(time.perf_counter() - start)
            time.sleep(self.every)

    def __enter__(self):
        self.thread.start()
        time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def under_collections(call):
    with Collector() as collector:
        seconds, _ = timed(call)
        collector.times.clear()
        seconds, _ = timed(call)
        waits = list(collector.times)
    return seconds, max(waits, default=0.0), statistics.median(waits) if waits else 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    n = parser.parse_args().size
    print(f"CPython {sys.version.split()[0]}, GIL {'on' if getattr(sys, '_is_gil_enabled', lambda: True)() else 'off'}")
    m = Matrix(np.random.default_rng(1).integers(0, 2, (n, n), dtype=np.uint8))
    alone, (_, log) = timed(m.row_echelon_full_matrix)
    targets, sources = [t for t, _ in log], [s for _, s in log]
    zip_alone, _ = timed(lambda: list(zip(targets, sources)))
    del log
    rows = [[i & 1] for i in range(1 << 20)]
    tall = Matrix(rows)
    cases = [(f"row_echelon_full_matrix {n} x {n}", m.row_echelon_full_matrix, alone),
             (f"list(zip(a, b)) of its log ({len(targets)} pairs)",
              lambda: list(zip(targets, sources)), zip_alone),
             ("to_list() of 2**20 one-column rows", tall.to_list, timed(tall.to_list)[0]),
             ("[r[:] for r in rows], the same rows", lambda: [r[:] for r in rows],
              timed(lambda: [r[:] for r in rows])[0])]
    print(f"{'call':48} {'alone':>9} {'collecting':>11} {'ratio':>6} {'longest wait':>13} {'median':>8}")
    for name, call, before in cases:
        during, longest, median = under_collections(call)
        print(f"{name:48} {before * 1e3:7.1f}ms {during * 1e3:9.1f}ms {during / before:6.2f} "
              f"{longest * 1e3:11.1f}ms {median * 1e3:6.1f}ms")
    after, _ = timed(tall.to_list)
    print(f"to_list() after the collections: {after * 1e3:.1f} ms, "
          f"{after / cases[2][2]:.2f} times its time before them")


if __name__ == "__main__":
    main()
