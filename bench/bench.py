"""Times zendrik against numpy, galois and ldpc, in one process.

Implementations take turns (each repetition runs every one of them once, in a
rotating order) and the table shows medians, with the garbage collector left on
as a user has it; only the log floor is also timed with it off. Before a case is
timed, every peer that follows the same rules is checked to give the same answer.
A call that takes under a millisecond is timed in batches of many calls, each
batch one sample; every implementation is an expression timed in the same
loop, so a cheap call pays no wrapper that its peer does not.

    python bench/bench.py [--quick] [--json PATH] [--plot PATH] [--before PATH]
    python bench/bench.py --recipes [--quick] [--json PATH]   # the guide's recipes alone
    python bench/bench.py --circuit-peers [--quick] [--json PATH] [--plot PATH]
        # qiskit and pyzx: rank, inverse, elimination and CNOT circuits, alone
"""

import argparse
import gc
import itertools
import json
import os
import platform
import runpy
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import numpy_reference as ref
from zendrik import Matrix

HERE = Path(__file__).resolve().parent
SEED = 20260
# A peer is skipped at larger sizes once one call took over a minute, and
# wherever one call is predicted to take over two (or its own limit).
SKIP_AFTER_S = 60.0


@dataclass
class Impl:
    """An expression to time, with the names it reads, and the longest call
    predicted for it that is still made.

    A single call's result is dropped outside the timing; in a batch every
    call's result is dropped by the next one, as for any peer.
    """
    name: str
    expr: str
    names: dict
    gc_off: bool = False
    limit_s: float = 2 * SKIP_AFTER_S
    timed: object = field(init=False, repr=False)

    def __post_init__(self):
        # Its own names start with an underscore, out of the way of the expression's.
        source = ("def timed(_calls, _clock=time.perf_counter):\n"
                  "    _start = _clock()\n"
                  "    for _ in range(_calls):\n"
                  f"        _result = {self.expr}\n"
                  "    return _clock() - _start, _result\n")
        scope = {**globals(), **self.names}
        exec(source, scope)
        self.timed = scope["timed"]


@dataclass
class Settings:
    sizes: list
    wide: tuple
    grown: list
    budget_s: float  # timing budget per implementation and case
    max_reps: int
    min_reps: int  # for calls under 10 s
    batch_reps: int  # samples of a call timed in batches
    batch_s: float  # length of one batch
    circuit_sizes: list  # n of the comparison with qiskit and pyzx
    conversion_n: int = 2000


# The sizes of the small-size targets; the reductions run at every size of the settings too.
SMALL = [4, 8, 16]
# Batches are short, so that on a busy machine most of them run without being
# interrupted, and the median is one of those.
FULL = Settings(sizes=[4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096], wide=(512, 2048),
                grown=[256, 1024], budget_s=2.0, max_reps=15, min_reps=3, batch_reps=61, batch_s=2e-4,
                circuit_sizes=[8, 16, 32, 64, 128, 256, 512, 1024, 2048])
QUICK = Settings(sizes=[4, 16, 64, 256, 512, 1024], wide=(512, 2048), grown=[256],
                 budget_s=0.4, max_reps=5, min_reps=1, batch_reps=21, batch_s=2e-4,
                 circuit_sizes=[8, 32, 128, 512])


def random_bits(shape, seed):
    # PCG64: the Mersenne Twister would cap the rank of large random matrices.
    return np.random.default_rng([SEED, seed]).integers(0, 2, size=shape, dtype=np.uint8)


def one_call(impl, calls=1):
    """Seconds per call over `calls` calls, and the last result."""
    gc_was_on = gc.isenabled()
    if impl.gc_off:
        gc.disable()
    try:
        elapsed, result = impl.timed(calls)
    finally:
        if gc_was_on:
            gc.enable()
    return elapsed / calls, result


@dataclass
class Bench:
    settings: Settings
    rows: list = field(default_factory=list)  # one per (case, implementation)
    checks: list = field(default_factory=list)
    predicted: dict = field(default_factory=dict)  # (group, impl) -> (seconds, work) of the last call

    def check(self, what, ok, detail=""):
        self.checks.append({"check": what, "ok": bool(ok), "detail": detail})
        print(f"  check {'ok  ' if ok else 'FAIL'} {what}{': ' + detail if detail else ''}", flush=True)

    def time_case(self, group, case, size, impls, check=None, work=None):
        """Times every implementation; `check(name, first_result)` runs once per implementation.

        Peers are skipped as SKIP_AFTER_S and their limit say, predicted from
        their last call in this group scaled by `work`, a number proportional to
        the cost; zendrik is always timed.
        """
        work = size if work is None else work
        print(f"{group}: {case}", flush=True)
        samples, skipped = {}, {}
        for impl in impls:
            last = self.predicted.get((group, impl.name))
            if last and impl.name != "zendrik":
                guess = last[0] * work / last[1]
                if (last[0] > SKIP_AFTER_S and work >= last[1]) or guess > impl.limit_s:
                    skipped[impl.name] = f"skipped: one call predicted at {guess:.0f} s"
                    continue
            elapsed, result = one_call(impl)
            self.predicted[(group, impl.name)] = (elapsed, work)
            if check:
                check(impl.name, result)
            del result
            samples[impl.name] = [elapsed]
        # A call under a millisecond is timed in batches of about batch_s seconds each.
        st = self.settings
        calls = {n: 1 if s[0] >= 1e-3 else max(1, int(st.batch_s / max(s[0], 1e-8))) for n, s in samples.items()}
        for n, s in samples.items():
            if calls[n] > 1:  # a better first guess of the batch length, from a short batch
                s[0] = one_call(next(i for i in impls if i.name == n), max(1, calls[n] // 10))[0]
                calls[n] = max(1, int(st.batch_s / max(s[0], 1e-8)))
        # The first call of each is kept only where there is time for no second.
        reps = {n: st.batch_reps if calls[n] > 1 else
                max(st.min_reps if s[0] < 10 else 1, min(st.max_reps, int(st.budget_s / s[0])))
                for n, s in samples.items()}
        for n, s in samples.items():
            if reps[n] > 1:
                s.clear()
        active = [i for i in impls if i.name in samples]
        for rep in range(max(reps.values(), default=0)):
            turn = active[rep % len(active):] + active[:rep % len(active)]
            for impl in turn:
                if len(samples[impl.name]) < reps[impl.name]:
                    elapsed, result = one_call(impl, calls[impl.name])
                    del result
                    samples[impl.name].append(elapsed)
        for impl in impls:
            row = {"group": group, "case": case, "size": size, "impl": impl.name}
            if impl.name in samples:
                row.update(median_s=statistics.median(samples[impl.name]), reps=len(samples[impl.name]),
                           calls=calls[impl.name])
            else:
                row.update(median_s=None, reps=0, note=skipped[impl.name])
            self.rows.append(row)

    def median(self, group, case, impl):
        return median_in(self.rows, group, case, impl)


def as_array(m):
    return np.array(m.to_list(), dtype=np.uint8).reshape(m.nrows(), m.ncols())


# --- cases


def small_matrices(b, count=600):
    """The numpy implementations against zendrik on small matrices, bytes 2, 3 and 255 included."""
    print("numpy implementations on small matrices", flush=True)
    rng = np.random.default_rng([SEED, 0])
    values = np.array([0, 1, 1, 1, 2, 3, 255], dtype=np.uint8)
    disagree = []
    for i in range(count):
        shape = tuple(rng.integers(0, 8, size=2))
        a = rng.choice(values, size=shape) if i % 3 == 0 else rng.integers(0, 2, size=shape, dtype=np.uint8)
        m = Matrix(a.tolist())
        for name in ("echelon_form", "row_echelon_full_matrix"):
            mine, log = getattr(m, name)()
            theirs, their_log = getattr(ref, name)(a)
            if mine.to_list() != theirs.tolist() or log != their_log:
                disagree.append((name, a.tolist()))
        for x in (a, as_array(m.echelon_form()[0]).reshape(shape)):
            mx = Matrix(x.tolist())
            if mx.rank() != ref.rank(x):
                disagree.append(("rank", x.tolist()))
            for kernel in (ref.kernel, ref.kernel_per_pivot):
                if mx.kernel() != kernel(x).tolist():
                    disagree.append((kernel.__name__, x.tolist()))
    b.check(f"numpy implementations on {count} small matrices: same matrices, logs, ranks and kernels",
            not disagree, f"first difference: {disagree[0]}" if disagree else "")


def conversions(b):
    n = b.settings.conversion_n
    a = random_bits((n, n), 1)
    lst = a.tolist()
    byte_rows = [bytes(r) for r in lst]
    m = Matrix(lst)
    group, size = "conversions", n

    def same_matrix(name, result):
        if name == "zendrik":
            b.check(f"Matrix(...) of {n} x {n} holds its input", result.to_list() == lst)

    case = f"Matrix(list of lists) {n}x{n}"
    names = locals()
    b.time_case(group, case, size, [Impl("zendrik", "Matrix(lst)", names),
                                    Impl("numpy.array(lst)", "np.array(lst, dtype=np.uint8)", names)], same_matrix)
    case = f"Matrix(uint8 ndarray) {n}x{n}"
    b.time_case(group, case, size, [Impl("zendrik", "Matrix(a)", names),
                                    Impl("numpy.array(lst)", "np.array(lst, dtype=np.uint8)", names),
                                    Impl("ndarray.copy()", "a.copy()", names)], same_matrix)
    case = f"Matrix(list of bytes) {n}x{n}"
    b.time_case(group, case, size, [Impl("zendrik", "Matrix(byte_rows)", names),
                                    Impl("numpy.array(lst)", "np.array(lst, dtype=np.uint8)", names)], same_matrix)

    def same_list(name, result):
        if name == "zendrik":
            b.check("to_list gives the rows back", result == lst)
    b.time_case(group, f"to_list {n}x{n}", size, [Impl("zendrik", "m.to_list()", names),
                                                 Impl("ndarray.tolist()", "a.tolist()", names),
                                                 Impl("[r[:] for r in lst]", "[r[:] for r in lst]", names)], same_list)

    def same_text(name, result):
        if name == "zendrik":
            b.check("repr is the text of the lists", result == str(lst))
    b.time_case(group, f"repr {n}x{n}", size, [Impl("zendrik", "repr(m)", names),
                                              Impl("str(lst)", "str(lst)", names)], same_text)


# What CPython needs to build the same result objects from Python data, for each method timed
# on small matrices; the goal is the largest ratio zendrik / baseline allowed at every size of SMALL.
COPY_AND_LOG = "copy() and the log's pairs"
SMALL_BASELINES = {
    "to_list": ("[r[:] for r in rows]", 1.3),
    "echelon_form": (COPY_AND_LOG, 1.3),
    "row_echelon_full_matrix": (COPY_AND_LOG, 1.3),
    "echelon_form_last_row": (COPY_AND_LOG, 1.3),
    "kernel": ("[r[:] for r in vectors]", 1.5),
    **{method: ("d.get(3, 4)", 1.2) for method in ("get", "add_rows", "swap_rows", "is_zero_row", "nrows", "ncols")},
}


def small_calls(b):
    """The fixed cost of a call, on the small matrices of decoders and puzzle solvers."""
    for n in SMALL:
        rows = random_bits((n, n), 5).tolist()
        m = Matrix(rows)
        changed = Matrix(rows)  # receives the row operations
        d = {3: 4}
        half = random_bits((n // 2, n), 6)
        mixed = np.vstack([half, random_bits((n - n // 2, n // 2), 7) @ half % 2]).astype(np.uint8)
        reduced = Matrix(mixed).echelon_form()[0]  # rank at most n / 2: n / 2 kernel vectors or more
        vectors = reduced.kernel()
        grown = Matrix(Matrix(rows[:-1]).echelon_form()[0].to_list() + [rows[-1]])
        names = locals()
        group = "small"

        def same(what, want):
            def check(name, got):
                if name == "zendrik":
                    b.check(f"{what} {n}x{n}", got == want)
            return check

        b.time_case(group, f"to_list {n}x{n}", n, [Impl("zendrik", "m.to_list()", names),
                                                   Impl("[r[:] for r in rows]", "[r[:] for r in rows]", names)],
                    same("to_list gives the rows back", rows))
        for method, receiver in (("echelon_form", "m"), ("row_echelon_full_matrix", "m"),
                                 ("echelon_form_last_row", "grown")):
            log = getattr(names[receiver], method)()[1]
            pairs = {"targets": [t for t, _ in log], "sources": [s for _, s in log], **names}
            b.time_case(group, f"{method} {n}x{n}", n,
                        [Impl("zendrik", f"{receiver}.{method}()", pairs),
                         Impl(COPY_AND_LOG, f"({receiver}.copy(), list(zip(targets, sources)))", pairs)])
        b.time_case(group, f"kernel {n}x{n}", n, [Impl("zendrik", "reduced.kernel()", names),
                                                  Impl("[r[:] for r in vectors]", "[r[:] for r in vectors]", names)],
                    same("kernel as the numpy version finds it", ref.kernel(as_array(reduced)).tolist()))
        for method, call in (("get", "m.get(1, 2)"), ("add_rows", "changed.add_rows(1, 2)"),
                             ("swap_rows", "changed.swap_rows(1, 2)"), ("is_zero_row", "m.is_zero_row(1)"),
                             ("nrows", "m.nrows()"), ("ncols", "m.ncols()")):
            b.time_case(group, f"{method} {n}x{n}", n, [Impl("zendrik", call, names),
                                                        Impl("d.get(3, 4)", "d.get(3, 4)", names)])


def peers():
    """galois and ldpc, where installed; either may be missing."""
    found = {}
    try:
        import galois
        gf2 = galois.GF(2)
        gf2(np.eye(4, dtype=np.uint8)).row_reduce()  # compiles its kernels once, outside the timing
        np.linalg.matrix_rank(gf2(np.eye(4, dtype=np.uint8)))
        gf2(np.eye(4, dtype=np.uint8)).null_space()
        found["galois"] = gf2
    except ImportError:
        print("galois is not installed: its rows are left out")
    try:
        from ldpc import mod2
        mod2.row_echelon(np.eye(4, dtype=np.uint8), full=True)
        found["ldpc"] = mod2
    except ImportError:
        print("ldpc is not installed: its rows are left out")
    return found


def reductions(b, peer, shapes):
    logs = {}
    for shape in shapes:
        a = random_bits(shape, 2)
        m = Matrix(a)
        size = max(shape)
        label = f"{shape[0]}x{shape[1]}"
        reduced, log = m.echelon_form()
        want = {"rank": reduced.rank()}
        targets, sources = [t for t, _ in log], [s for _, s in log]
        del reduced, log

        def check_echelon(name, result, method):
            if name == "zendrik":
                want["matrix"], want["log"] = as_array(result[0]), result[1]
            elif name == "numpy":
                same = np.array_equal(result[0], want["matrix"]) and result[1] == want["log"]
                b.check(f"numpy {method} {label}: same matrix and log", same,
                        f"{len(want['log'])} log entries")
            elif name == "galois row_reduce" and method == "echelon_form":
                b.check(f"galois row_reduce {label}: same matrix", np.array_equal(np.asarray(result), want["matrix"]))
            elif name.startswith("ldpc"):
                # ldpc orders its work differently; its echelon form need only have the same rank.
                b.check(f"{name} {label}: same rank", result[1] == want["rank"], f"rank {result[1]}")

        names = {**locals(), **peer}
        impls = [Impl("zendrik", "m.echelon_form()", names), Impl("numpy", "ref.echelon_form(a)", names)]
        if "galois" in peer:
            impls.append(Impl("galois row_reduce", "galois(a).row_reduce()", names))
        if "ldpc" in peer:
            impls.append(Impl("ldpc row_echelon(full=True)", "ldpc.row_echelon(a, full=True)", names))
        # The log floor: as many pairs as the log has, each a new tuple of two ints.
        # The same call with the collector off: the collector's first pass after the call walks
        # the new list of pairs once, and the floor below is timed both ways too.
        impls.append(Impl("zendrik (gc off)", "m.echelon_form()", names, gc_off=True))
        impls += [Impl("log floor (gc on)", "list(zip(targets, sources))", names),
                  Impl("log floor (gc off)", "list(zip(targets, sources))", names, gc_off=True)]
        work = shape[0] * shape[1] * min(shape)
        b.time_case("echelon_form", f"echelon_form {label}", size, impls,
                    lambda name, r: check_echelon(name, r, "echelon_form"), work)
        logs[label] = len(targets)
        del targets, sources, impls, names  # a large log's lists would slow the collector from here on

        names = {**locals(), **peer}
        impls = [Impl("zendrik", "m.row_echelon_full_matrix()", names),
                 Impl("numpy", "ref.row_echelon_full_matrix(a)", names)]
        if "ldpc" in peer:
            impls.append(Impl("ldpc row_echelon(full=False)", "ldpc.row_echelon(a, full=False)", names))
        b.time_case("row_echelon_full_matrix", f"row_echelon_full_matrix {label}", size, impls,
                    lambda name, r: check_echelon(name, r, "row_echelon_full_matrix"), work)
    return logs


def rank_and_kernel(b, peer, shapes):
    for shape in shapes:
        label = f"{shape[0]}x{shape[1]}"
        reduced = Matrix(random_bits(shape, 3)).echelon_form()[0]
        a = as_array(reduced)
        size = max(shape)
        want = {}

        def check_rank(name, result):
            if name == "zendrik":
                want["rank"] = result
            else:
                b.check(f"{name} rank {label}", result == want["rank"], f"rank {result}")

        names = {**locals(), **peer}
        impls = [Impl("zendrik", "reduced.rank()", names), Impl("numpy", "ref.rank(a)", names)]
        if "galois" in peer:
            impls.append(Impl("galois matrix_rank", "np.linalg.matrix_rank(galois(a))", names))
        b.time_case("rank", f"rank {label}", size, impls, check_rank, shape[0] * shape[1])

        def check_kernel(name, result):
            k = np.array(result, dtype=np.uint8).reshape(-1, shape[1])
            if name == "zendrik":
                want["kernel"] = k
                b.check(f"zendrik kernel {label} solves the system", not (a.astype(np.int64) @ k.T % 2).any(),
                        f"{k.shape[0]} vectors")
            elif name.startswith("numpy"):
                b.check(f"{name} kernel {label}: same vectors", np.array_equal(k, want["kernel"]))
            elif "galois" in peer:
                gf2, mine = peer["galois"], want["kernel"]
                ranks = [np.linalg.matrix_rank(gf2(x)) if x.size else 0 for x in (mine, k, np.vstack([mine, k]))]
                b.check(f"{name} {label}: spans the same space", len(set(ranks)) == 1, f"dimension {ranks[0]}")

        impls = [Impl("zendrik", "reduced.kernel()", names), Impl("numpy", "ref.kernel(a)", names),
                 Impl("numpy per pivot", "ref.kernel_per_pivot(a)", names),
                 # zendrik returns lists, as the numpy versions do after tolist()
                 Impl("numpy, then tolist()", "ref.kernel(a).tolist()", names)]
        if "galois" in peer:
            impls.append(Impl("galois null_space", "galois(a).null_space()", names))
        b.time_case("kernel", f"kernel {label}", size, impls, check_kernel, shape[0] * shape[1] ** 2)


def grown_system(b, peer, n, equations):
    """n zero rows of width n; each equation is appended, worked in, and the leftover last row dropped."""
    print(f"grown system: n = {n}, {equations} equations", flush=True)
    eqs = random_bits((equations, n), 4).tolist()
    m = Matrix([[0] * n for _ in range(n)])
    t_last, t_copy = [], []
    replay_ok = True
    for i, eq in enumerate(eqs):
        m.append_row(eq)
        for turn in ((0, 1) if i % 2 else (1, 0)):
            if turn == 0:
                start = time.perf_counter()
                reduced, log = m.echelon_form_last_row()
                t_last.append(time.perf_counter() - start)
            else:
                start = time.perf_counter()
                c = m.copy()
                t_copy.append(time.perf_counter() - start)
                del c
        if i % 64 == 0:  # replaying the log on the receiver must give the result
            replay = m.copy()
            for target, source in log:
                replay.add_rows(target, source)
            replay_ok &= replay.to_list() == reduced.to_list()
        m = Matrix(reduced.to_list()[:-1])
    b.check(f"grown system n = {n}: logs replay to the results", replay_ok)
    if "galois" in peer:
        expected = int(np.linalg.matrix_rank(peer["galois"](np.array(eqs, dtype=np.uint8))))
        b.check(f"grown system n = {n}: rank as galois finds it", m.rank() == expected, f"rank {expected}")
    last, copy = statistics.median(t_last), statistics.median(t_copy)
    for impl, value in (("zendrik echelon_form_last_row", last), ("zendrik copy()", copy)):
        b.rows.append({"group": "grown system", "case": f"grown system n={n}", "size": n, "impl": impl,
                       "median_s": value, "reps": len(t_last)})
    return last / copy


# --- the GF(2) routines of quantum circuit compilers

CIRCUIT_GROUPS = ("rank of any matrix", "inverse", "full elimination", "CNOT circuit")


def compiler_routines():
    """qiskit's GF(2) routines and pyzx's matrices, where installed; either may be missing."""
    found = {}
    try:
        from qiskit.synthesis import linear
        found["qiskit"] = linear
    except ImportError:
        print("qiskit is not installed: its rows are left out")
    try:
        from pyzx.linalg import Mat2
        found["Mat2"] = Mat2
    except ImportError:
        print("pyzx is not installed: its rows are left out")
    return found


def random_invertible(n, seed):
    """The first invertible one of a stream of random n x n matrices."""
    for attempt in itertools.count():
        a = np.random.default_rng([SEED, seed, attempt]).integers(0, 2, size=(n, n), dtype=np.uint8)
        if Matrix(a).echelon_form()[0].rank() == n:
            return a


def circuit_map(n, circuit):
    """The matrix of a circuit of (control, target) CNOTs, worked out in numpy: the
    identity's rows, packed in bytes, added to each other as the gates add bits."""
    m = np.packbits(np.eye(n, dtype=np.uint8), axis=1)
    for control, target in circuit:
        m[target] ^= m[control]
    return np.unpackbits(m, axis=1, count=n)


def circuit_peers(b, sizes):
    """zendrik against qiskit's and pyzx's GF(2) routines on the same random matrices:
    the rank of any matrix, the inverse, full elimination and a CNOT circuit (its time
    and its gates); beside them the inverse as the guide had it before and the circuit
    from the log of A reversed. Returns the gates and depth of each circuit, by n."""
    import recipes
    guide = recipes.guide_recipes()
    inverse, cnot_circuit, inverse_before = guide["inverse"], guide["cnot_circuit"], recipes.inverse_before
    example = runpy.run_path(str(HERE.parent / "examples" / "cnot_circuits.py"))
    reversed_log_circuit, depth = example["reversed_log_circuit"], example["depth"]
    peer = compiler_routines()
    qiskit, Mat2 = peer.get("qiskit"), peer.get("Mat2")
    circuits = {}
    for n in sizes:
        label, work = f"{n}x{n}", n ** 3
        a = random_bits((n, n), 8)                  # any matrix, for the rank and the elimination
        m, bools = Matrix(a), a.astype(bool)
        reduced, log = m.echelon_form()
        want, targets, sources = as_array(reduced), [t for t, _ in log], [s for _, s in log]
        del reduced, log
        invertible = random_invertible(n, 9)          # for the inverse and the circuit
        invertible_list, invertible_bools = invertible.tolist(), invertible.astype(bool)
        want_inverse = np.array(inverse(invertible)[0], dtype=np.uint8)
        if Mat2:
            mat2, invertible_mat2 = Mat2(a.tolist()), Mat2(invertible_list)
            # pyzx's circuit of a Mat2 maps x to the transpose of that matrix times x.
            invertible_mat2_t = Mat2(invertible.T.tolist())
        circuits[n] = {}

        def check_rank(name, result):
            b.check(f"{name} rank {label}", result == int(want.any(axis=1).sum()), f"rank {result}")

        def check_inverse(name, result):
            if name.startswith(("zendrik", "before")):
                result = result[0]
            elif name.startswith("pyzx"):
                result = result.data
            b.check(f"{name} {label}: the same inverse",
                    np.array_equal(np.array(result, dtype=np.uint8), want_inverse))

        def check_elimination(name, result):
            if name.startswith("qiskit"):       # which works in place, on a copy here
                result = bools.copy()
                qiskit.gauss_elimination(result, full_elim=True)
            elif name.startswith("pyzx"):
                result = result[0].data
            elif name == "zendrik":
                result = as_array(result[0])
            else:
                return
            b.check(f"{name} {label}: the same reduced matrix", np.array_equal(np.array(result, dtype=np.uint8), want))

        def check_circuit(name, result):
            if name.startswith("qiskit"):
                cx = [gate for gate in result.data if gate.operation.name == "cx"]
                b.check(f"{name} {label}: CNOTs alone", len(cx) == len(result.data))
                result = [tuple(result.find_bit(qubit).index for qubit in gate.qubits) for gate in cx]
            elif name.startswith("pyzx"):
                result = [(gate.control, gate.target) for gate in result]
            circuits[n][name] = {"gates": len(result), "depth": depth(result, n)}
            b.check(f"{name} {label}: maps x to A x", np.array_equal(circuit_map(n, result), invertible),
                    f"{len(result)} CNOTs")

        # For each measure: zendrik's ways, qiskit's and pyzx's call, and the check of the first result.
        # The log floor is what CPython needs to make as many pairs as the log has. pyzx, in pure
        # Python, is not run where one call is predicted at over a minute.
        measures = [
            ([("zendrik", "m.echelon_form()[0].rank()")], ("qiskit compute_rank", "qiskit.compute_rank(bools)"),
             ("pyzx Mat2.rank", "mat2.rank()"), check_rank),
            ([("zendrik", "inverse(invertible)"), ("zendrik, lists", "inverse(invertible_list)"),
              ("before: log replayed", "inverse_before(invertible)"),
              ("before: log replayed, lists", "inverse_before(invertible_list)")],
             ("qiskit calc_inverse_matrix", "qiskit.calc_inverse_matrix(invertible_bools)"),
             ("pyzx Mat2.inverse", "invertible_mat2.inverse()"), check_inverse),
            ([("zendrik", "m.echelon_form()"), ("log floor", "list(zip(targets, sources))")],
             ("qiskit gauss_elimination", "qiskit.gauss_elimination(bools.copy(), full_elim=True)"),
             ("pyzx Mat2.gauss", "(reduced := mat2.copy(), reduced.gauss(full_reduce=True))"), check_elimination),
            ([("zendrik", "cnot_circuit(invertible)"),
              ("zendrik, the log of A reversed", "reversed_log_circuit(invertible)")],
             ("qiskit PMH", "qiskit.synth_cnot_count_full_pmh(invertible_bools)"),
             ("pyzx Mat2.to_cnots", "invertible_mat2_t.to_cnots()"), check_circuit),
        ]
        names = {**locals(), **peer}
        for group, (own, qiskit_call, pyzx_call, check) in zip(CIRCUIT_GROUPS, measures):
            impls = [Impl(name, expr, names) for name, expr in own + [qiskit_call] * bool(qiskit)]
            if Mat2:
                impls.append(Impl(*pyzx_call, names, limit_s=SKIP_AFTER_S))
            b.time_case(group, f"{group} {label}", n, impls, check, work)
    return circuits


def circuit_tables(b, circuits):
    """Markdown tables: zendrik's time for each measure with qiskit's and pyzx's over it;
    the guide's inverse against the replay it replaced; the circuits' gates and depth."""
    def median(group, n, impl):
        case = next(r["case"] for r in b.rows if r["group"] == group and r["size"] == n)
        return median_in(b.rows, group, case, impl)

    def shown(seconds):
        return duration(seconds).strip().replace("us", "µs")

    def short(impl):
        return impl if impl.startswith("log floor") else impl.split()[0]

    def over(group, n, impl, base="zendrik"):
        peer = median(group, n, impl)
        return "not run" if peer is None else f"{peer / median(group, n, base):.3g}"

    peers = {group: [impl for impl in dict.fromkeys(r["impl"] for r in b.rows if r["group"] == group)
                     if impl.startswith(("qiskit", "pyzx", "log floor"))] for group in CIRCUIT_GROUPS}
    lines = ["| n | " + " | ".join(CIRCUIT_GROUPS) + " |", "|---" * (len(CIRCUIT_GROUPS) + 1) + "|"]
    for n in circuits:
        cells = [f"{shown(median(group, n, 'zendrik'))}: " +
                 ", ".join(f"{short(impl)} {over(group, n, impl)}" for impl in peers[group])
                 for group in CIRCUIT_GROUPS]
        lines.append(f"| {n} | " + " | ".join(cells) + " |")
    lines += ["", "| n | uint8 array: the recipe | the replay / the recipe | lists: the recipe | "
              "the replay / the recipe |", "|---|---|---|---|---|"]
    for n in circuits:
        group = CIRCUIT_GROUPS[1]
        lines.append(f"| {n} | {shown(median(group, n, 'zendrik'))} | {over(group, n, 'before: log replayed')} | "
                     f"{shown(median(group, n, 'zendrik, lists'))} | "
                     f"{over(group, n, 'before: log replayed, lists', 'zendrik, lists')} |")
    names = list(dict.fromkeys(name for found in circuits.values() for name in found))
    lines += ["", "| n | " + " | ".join(f"{name}: gates, depth" for name in names) + " |",
              "|---" * (len(names) + 1) + "|"]
    for n, found in circuits.items():
        cells = [f"{found[name]['gates']:,}, {found[name]['depth']:,}" if name in found else "not run"
                 for name in names]
        lines.append(f"| {n} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def plot_circuit_peers(b, circuits, path):
    """Each peer's time over zendrik's for each measure, and the gates of each circuit over n²."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    def style(impl):
        """One colour a family, in every panel: qiskit, pyzx, zendrik's other ways, the log floor."""
        family = ["qiskit", "pyzx", "before", "zendrik"]
        colour = next((f"C{i}" for i, name in enumerate(family) if impl.startswith(name)), "grey")
        return {"color": "black" if impl == "zendrik" else colour,
                "linestyle": ":" if impl.startswith("log floor") else "--" if "lists" in impl else "-"}

    fig, grid = plt.subplots(2, 3, figsize=(16, 11))
    axes = list(grid.flat[:len(CIRCUIT_GROUPS) + 1])
    grid.flat[-1].axis("off")
    for ax, group in zip(axes, CIRCUIT_GROUPS):
        rows = [r for r in b.rows if r["group"] == group]
        for impl in dict.fromkeys(r["impl"] for r in rows if r["impl"] != "zendrik"):
            pts = [(r["size"], r["median_s"] / median_in(b.rows, group, r["case"], "zendrik"))
                   for r in rows if r["impl"] == impl and r["median_s"] is not None]
            if pts:
                ax.plot(*zip(*pts), marker="o", label=impl, **style(impl))
        ax.axhline(1, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda y, _: f"{y:g}"))
        ax.set_title(f"{group}: time / zendrik's")
    for name in dict.fromkeys(name for found in circuits.values() for name in found):
        pts = [(n, found[name]["gates"] / n ** 2) for n, found in circuits.items() if name in found]
        axes[-1].plot(*zip(*pts), marker="o", label=name, **style(name))
    axes[-1].set_title("CNOT circuit: gates / n²")
    sizes = sorted(circuits)
    for ax in axes:
        ax.set_xscale("log", base=2)
        ax.set_xticks(sizes, [str(n) for n in sizes], fontsize=8)
        ax.minorticks_off()
        ax.set_xlabel("n")
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=1)
    for ax in (axes[0], axes[3]):
        ax.set_ylabel("time / zendrik's time (above 1: zendrik is faster)")
    fig.suptitle("zendrik against qiskit and pyzx on random n x n matrices\n"
                 "(invertible for the inverse and the circuit), medians of one run")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    print(f"plot written to {path}")


# --- report


def table(b):
    lines, last_case = [], None
    width = max(len(r["impl"]) for r in b.rows)
    lines.append(f"{'case':42} {'implementation':{width}} {'median':>11} {'reps':>5} {'peer/zendrik':>13}")
    for row in b.rows:
        if row["case"] != last_case:
            last_case = row["case"]
            base = b.median(row["group"], row["case"], "zendrik")
            lines.append("")
        head = row["case"] if row["impl"] in ("zendrik", "zendrik echelon_form_last_row") else ""
        if row["median_s"] is None:
            lines.append(f"{head:42} {row['impl']:{width}} {row['note']}")
            continue
        ratio = f"{row['median_s'] / base:13.2f}" if base and row["impl"] != "zendrik" else ""
        lines.append(f"{head:42} {row['impl']:{width}} {duration(row['median_s'])} {row['reps']:5}{ratio}")
    return "\n".join(lines)


def duration(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.3f} us"
    return f"{seconds * 1e3:9.2f} ms"


def median_in(rows, group, case, impl):
    for row in rows:
        if (row["group"], row["case"], row["impl"]) == (group, case, impl):
            return row["median_s"]
    return None


def targets(b, grown_ratio, before=None):
    """The speed targets, as ratios within this run; None where the case was not run.

    "No slower than today" compares the ratio to a peer with the same ratio in
    `before`, the results of an earlier run, allowing 10% for noise.
    """
    def ratio(group, case, peer, inverse=False, rows=b.rows):
        z, p = median_in(rows, group, case, "zendrik"), median_in(rows, group, case, peer)
        if z is None or p is None:
            return None
        return z / p if inverse else p / z

    n, c = 2048, b.settings.conversion_n
    ef, full = f"echelon_form {n}x{n}", f"row_echelon_full_matrix {n}x{n}"
    w = "x".join(map(str, b.settings.wide))
    rows = [
        ("1", f"echelon_form {n}: numpy / zendrik", ratio("echelon_form", ef, "numpy"), ">=", 7),
        ("1", f"echelon_form {n}: galois row_reduce / zendrik",
         ratio("echelon_form", ef, "galois row_reduce"), ">=", 15),
        ("1", f"echelon_form {n}: zendrik / log floor (gc off)",
         ratio("echelon_form", ef, "log floor (gc off)", inverse=True), "<=", 1.5),
        ("1", f"echelon_form {n}: zendrik (gc off) / log floor (gc off)",
         (lambda z, p: z / p if z and p else None)(median_in(b.rows, "echelon_form", ef, "zendrik (gc off)"),
                                                   median_in(b.rows, "echelon_form", ef, "log floor (gc off)")),
         "<=", 1.15),
        ("1", f"row_echelon_full_matrix {n}: numpy / zendrik",
         ratio("row_echelon_full_matrix", full, "numpy"), ">=", 7),
        ("3", f"kernel {w}: numpy / zendrik", ratio("kernel", f"kernel {w}", "numpy"), ">=", 5),
        ("3", f"kernel {w}: numpy per pivot / zendrik", ratio("kernel", f"kernel {w}", "numpy per pivot"), ">=", 5),
        ("3", f"kernel {w}: numpy, then tolist() / zendrik",
         ratio("kernel", f"kernel {w}", "numpy, then tolist()"), ">=", 5),
        ("4", "Matrix(list of lists): numpy.array(lst) / zendrik",
         ratio("conversions", f"Matrix(list of lists) {c}x{c}", "numpy.array(lst)"), ">=", 2.5),
        ("4", "Matrix(uint8 ndarray): numpy.array(lst) / zendrik",
         ratio("conversions", f"Matrix(uint8 ndarray) {c}x{c}", "numpy.array(lst)"), ">=", 10),
        ("4", "Matrix(list of bytes): numpy.array(lst) / zendrik",
         ratio("conversions", f"Matrix(list of bytes) {c}x{c}", "numpy.array(lst)"), ">=", 10),
        ("4", "to_list: zendrik / [r[:] for r in lst]",
         ratio("conversions", f"to_list {c}x{c}", "[r[:] for r in lst]", inverse=True), "<=", 1.3),
        ("4", "repr: str(lst) / zendrik", ratio("conversions", f"repr {c}x{c}", "str(lst)"), ">=", 10),
        ("5", "grown system n = 1024: echelon_form_last_row / copy()", grown_ratio.get(1024), "<=", 3),
    ]
    for method, (baseline, goal) in SMALL_BASELINES.items():
        values = [ratio("small", f"{method} {k}x{k}", baseline, inverse=True) for k in SMALL]
        shown = ", ".join("-" if v is None else f"{v:.2f}" for v in values)
        rows.append(("small", f"{method}: zendrik / {baseline} at n = {', '.join(map(str, SMALL))} ({shown})",
                     None if None in values else max(values), "<=", goal))
    for shape in (f"{n}x{n}", w):
        then = before and ratio("rank", f"rank {shape}", "numpy", rows=before["results"])
        if then:
            now = ratio("rank", f"rank {shape}", "numpy")
            rows.append(("3", f"rank {shape}: numpy / zendrik, no less than before", now, ">=", round(0.9 * then, 2)))
    out = []
    for item, what, value, op, goal in sorted(rows, key=lambda row: row[0]):
        met = None if value is None else (value >= goal if op == ">=" else value <= goal)
        out.append({"target": item, "what": what, "ratio": value, "goal": f"{op} {goal}", "met": met})
    return out


def plot(b, path):
    """For each reduction, every peer's time over zendrik's against n: above 1, zendrik is faster."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker
    groups = ("echelon_form", "row_echelon_full_matrix")
    fig, axes = plt.subplots(1, len(groups), figsize=(12, 6), sharey=True)
    colours = {}
    for ax, group in zip(axes, groups):
        square = [r for r in b.rows if r["group"] == group and r["case"].endswith(f" {r['size']}x{r['size']}")]
        for impl in dict.fromkeys(r["impl"] for r in square):
            if impl.startswith("zendrik"):
                continue
            # A floor timed with the collector off is set against zendrik timed the same way.
            mine = "zendrik (gc off)" if impl.endswith("(gc off)") else "zendrik"
            pts = [(r["size"], median_in(b.rows, group, r["case"], impl) / median_in(b.rows, group, r["case"], mine))
                   for r in square if r["impl"] == impl and r["median_s"] is not None
                   and median_in(b.rows, group, r["case"], mine)]
            if pts:
                xs, ys = zip(*pts)
                family = impl.split(" row_")[0].split(" (")[0]
                colour = colours.setdefault(family, f"C{len(colours)}")
                style = ":" if impl.endswith("(gc off)") else "-"
                label = impl if not impl.startswith("log floor") else \
                    f"{impl}: list(zip(targets, sources)) of the log's length"
                ax.plot(xs, ys, style, color=colour, marker="o", label=label)
        ax.axhline(1, color="black", linewidth=0.8)
        ax.set_xscale("log", base=2)
        sizes = sorted({r["size"] for r in square})
        ax.set_xticks(sizes, [str(n) for n in sizes], fontsize=8)
        ax.minorticks_off()
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda y, _: f"{y:g}"))
        ax.set_xlabel("n (random dense 0/1 n x n)")
        ax.set_title(f"{group}, log included")
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=2)
    axes[0].set_ylabel("peer time / zendrik time (above 1: zendrik is faster)")
    fig.suptitle("zendrik against its peers, medians of one run")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


def versions():
    out = {"python": platform.python_version(), "machine": platform.machine(), "cpus": os.cpu_count(),
           "numpy": np.__version__}
    for name in ("galois", "ldpc", "matplotlib", "qiskit", "pyzx", "stim"):
        try:
            out[name] = __import__(name).__version__
        except (ImportError, AttributeError):
            out[name] = None
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer repetitions")
    parser.add_argument("--json", help="where the results go (default bench/results.json, or results-quick.json)")
    parser.add_argument("--plot", help="where the plot goes (default bench/echelon.png, or echelon-quick.png)")
    parser.add_argument("--before", default=str(HERE / "results-before.json"),
                        help="an earlier run's results, for the targets that say 'no slower than today'")
    parser.add_argument("--recipes", action="store_true",
                        help="time only the guide's recipes (bench/recipes.py), into recipes-results.json")
    parser.add_argument("--circuit-peers", action="store_true",
                        help="time only zendrik against qiskit and pyzx, into circuit-peers.json and .png")
    args = parser.parse_args()
    # A quick run leaves the full run's results and plot (the one the README shows) alone.
    suffix = "-quick" if args.quick else ""
    if args.recipes:
        return recipes_only(args.quick, args.json or str(HERE / f"recipes-results{suffix}.json"))
    if args.circuit_peers:
        return circuit_peers_only(args.quick, args.json or str(HERE / f"circuit-peers{suffix}.json"),
                                  args.plot or str(HERE / f"circuit-peers{suffix}.png"))
    args.json = args.json or str(HERE / f"results{suffix}.json")
    args.plot = args.plot or str(HERE / f"echelon{suffix}.png")
    settings = QUICK if args.quick else FULL
    b = Bench(settings)
    began = time.perf_counter()

    small_matrices(b)
    small_calls(b)
    conversions(b)
    peer = peers()
    shapes = [(n, n) for n in settings.sizes] + [settings.wide]
    logs = reductions(b, peer, shapes)
    rank_and_kernel(b, peer, [shape for shape in shapes if max(shape) >= 256])
    grown = {n: grown_system(b, peer, n, n) for n in settings.grown}

    print()
    print(table(b))
    print()
    for n, r in grown.items():
        print(f"grown system n = {n}: one echelon_form_last_row call costs {r:.1f} x a copy()")
    print("\ntargets (ratios within this run):")
    before = None
    if Path(args.before).is_file() and Path(args.before).resolve() != Path(args.json).resolve():
        before = json.loads(Path(args.before).read_text())
    met = targets(b, grown, before)
    for t in met:
        value = "not measured" if t["ratio"] is None else f"{t['ratio']:.2f}"
        verdict = "n/a" if t["met"] is None else ("met" if t["met"] else "NOT met")
        print(f"  {t['target']:5}  {t['what']:58} {value:>12}  goal {t['goal']:8} {verdict}")
    failed = [c for c in b.checks if not c["ok"]]
    print(f"\nchecks: {len(b.checks) - len(failed)} agree, {len(failed)} disagree")
    elapsed = time.perf_counter() - began
    print(f"whole run: {elapsed:.0f} s")

    result = {"mode": "quick" if args.quick else "full", "seed": SEED, "versions": versions(),
              "log_lengths": logs, "results": b.rows, "grown_ratio": grown, "targets": met,
              "checks": b.checks, "seconds": round(elapsed, 1)}
    Path(args.json).write_text(json.dumps(result, indent=1) + "\n")
    print(f"results written to {args.json}")
    plot(b, args.plot)
    return 1 if failed else 0


def recipes_only(quick, path):
    import recipes
    b = Bench(QUICK if quick else FULL)
    began = time.perf_counter()
    result = recipes.run(quick, b.check)
    failed = [c for c in b.checks if not c["ok"]]
    print(f"\nchecks: {len(b.checks) - len(failed)} agree, {len(failed)} disagree")
    result.update(mode="quick" if quick else "full", versions=versions(), checks=b.checks,
                  seconds=round(time.perf_counter() - began, 1))
    Path(path).write_text(json.dumps(result, indent=1) + "\n")
    print(f"results written to {path}")
    return 1 if failed else 0


def circuit_peers_only(quick, path, plot_path):
    b = Bench(QUICK if quick else FULL)
    began = time.perf_counter()
    circuits = circuit_peers(b, b.settings.circuit_sizes)
    print()
    print(table(b))
    tables = circuit_tables(b, circuits)
    print()
    print(tables)
    failed = [c for c in b.checks if not c["ok"]]
    print(f"\nchecks: {len(b.checks) - len(failed)} agree, {len(failed)} disagree")
    elapsed = time.perf_counter() - began
    print(f"whole run: {elapsed:.0f} s")
    result = {"mode": "quick" if quick else "full", "seed": SEED, "versions": versions(), "results": b.rows,
              "circuits": circuits, "tables": tables, "checks": b.checks, "seconds": round(elapsed, 1)}
    Path(path).write_text(json.dumps(result, indent=1) + "\n")
    print(f"results written to {path}")
    plot_circuit_peers(b, circuits, plot_path)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
